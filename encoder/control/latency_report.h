// How far behind its input the channel runs, as the pipeline set it: the
// latency every sink was told to add before it sends a buffer. The console
// says it when the operator chose a latency or keep-alive adds its own; the
// Prometheus file always carries it.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace nerko {

// The latency `sink` renders with; nullopt for an element that is no base sink.
std::optional<GstClockTime> sink_latency(GstElement *sink);

// The largest latency among the pipeline's sinks (a sink added since the
// last distribution has not been told yet); nullopt while it has none.
std::optional<GstClockTime> pipeline_latency(GstElement *pipeline);

// The latency in whole milliseconds, rounded to the nearest.
uint64_t whole_milliseconds(GstClockTime latency);

// "Pipeline latency N ms" with its line feed.
std::string pipeline_latency_line(GstClockTime latency);

// Writes the line on the main thread, once the pipeline plays and after each
// redistribution, whenever the latency (in whole milliseconds) differs from
// the last one written.
class LatencyReport {
 public:
  void report(GstElement *pipeline, std::FILE *err);

 private:
  std::optional<uint64_t> written_ms_;
};

}  // namespace nerko
