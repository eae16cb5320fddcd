#include "encoder/control/latency_report.h"

#include <gst/base/gstbasesink.h>

#include <algorithm>
#include <string>

namespace nerko {

std::optional<GstClockTime> sink_latency(GstElement *sink) {
  if (!sink || !GST_IS_BASE_SINK(sink))
    return std::nullopt;
  GstClockTime latency = gst_base_sink_get_latency(GST_BASE_SINK(sink));
  return GST_CLOCK_TIME_IS_VALID(latency) ? latency : 0;
}

std::optional<GstClockTime> pipeline_latency(GstElement *pipeline) {
  std::optional<GstClockTime> largest;
  GstIterator *sinks = gst_bin_iterate_sinks(GST_BIN(pipeline));
  GValue item = G_VALUE_INIT;
  bool done = false;
  while (!done) {
    switch (gst_iterator_next(sinks, &item)) {
      case GST_ITERATOR_OK:
        if (std::optional<GstClockTime> latency = sink_latency(GST_ELEMENT(g_value_get_object(&item))))
          largest = std::max(largest.value_or(0), *latency);
        g_value_reset(&item);
        break;
      case GST_ITERATOR_RESYNC:
        largest.reset();
        gst_iterator_resync(sinks);
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(sinks);
  return largest;
}

uint64_t whole_milliseconds(GstClockTime latency) { return (latency + GST_MSECOND / 2) / GST_MSECOND; }

std::string pipeline_latency_line(GstClockTime latency) {
  return "Pipeline latency " + std::to_string(whole_milliseconds(latency)) + " ms\n";
}

void LatencyReport::playing(GstElement *pipeline, std::FILE *err) {
  played_ = true;
  report(pipeline, err);
}

void LatencyReport::redistributed(GstElement *pipeline, std::FILE *err) {
  if (played_)
    report(pipeline, err);
}

void LatencyReport::report(GstElement *pipeline, std::FILE *err) {
  std::optional<GstClockTime> latency = pipeline_latency(pipeline);
  if (!latency || whole_milliseconds(*latency) == written_ms_)
    return;
  written_ms_ = whole_milliseconds(*latency);
  std::string line = pipeline_latency_line(*latency);
  std::fwrite(line.data(), 1, line.size(), err);
  std::fflush(err);
}

}  // namespace nerko
