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

// Writes the line on the main thread when the pipeline reaches PLAYING and
// after each redistribution from then on, whenever the latency (in whole
// milliseconds) differs from the last one written. Before the pipeline first
// plays its sinks are still being told their latency, and the figures in
// between would only be noise.
class LatencyReport {
 public:
  void playing(GstElement *pipeline, std::FILE *err);
  void redistributed(GstElement *pipeline, std::FILE *err);

 private:
  void report(GstElement *pipeline, std::FILE *err);

  bool played_ = false;
  std::optional<uint64_t> written_ms_;
};

}  // namespace nerko
