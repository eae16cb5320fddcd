// What the run's own handlers carry (the bus watch and the statistics timer);
// the media graph's handlers keep their contexts beside them. Every context
// releases its references when GLib destroys the connection, watch or timer
// that owns it.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "encoder/control/alarm_report.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/input_supervision.h"
#include "encoder/control/latency_report.h"
#include "encoder/control/prometheus_settings.h"
#include "encoder/control/stream_sinks.h"

namespace nerko {

// How the main loop ended: written by the bus watch, the statistics timer or
// the input watchdog (all on the main thread), read by the run sequence,
// which alone ends the process on a fatal stop or chooses the exit status.
enum class RunEnd { Running, EndOfStream, Error, FatalStop };

struct RunOutcome {
  RunEnd end = RunEnd::Running;
  std::string fatal_text;  // with FatalStop: the line the stop writes
  // A clean stop drains the stream: the pipeline's end of stream may come
  // before every session has sent its BYE, so the stop says when it is over.
  bool draining = false;
};
using SharedRunOutcome = std::shared_ptr<RunOutcome>;

// Records how the run ends and quits `main_loop` (when given); nothing
// replaces a fatal stop once recorded.
void end_run(RunOutcome &outcome, GMainLoop *main_loop, RunEnd end, std::string fatal_text = "");

// The bus watch.
struct BusWatchContext {
  MainLoopRef main_loop;
  ElementRef pipeline;
  SharedRunOutcome outcome = std::make_shared<RunOutcome>();
  // Set when the stream outlives its input: it takes the input's errors and
  // reports.
  std::shared_ptr<InputSupervision> keep_alive = nullptr;
  // Set when the console tells the pipeline's latency (NERKO_LATENCY_MS set
  // or keep-alive on); used only on the main thread.
  std::shared_ptr<LatencyReport> latency_report = nullptr;
};

// The five-second statistics timer; used only on the main thread.
struct StatsTimerContext {
  SharedStreamSinks sinks;
  // A statistics file that cannot be written ends the run through these.
  MainLoopRef main_loop;
  SharedRunOutcome outcome = std::make_shared<RunOutcome>();
  uint64_t last_audio_rtp_bytes = 0;
  std::string stats_path;  // used exactly as given
  bool ready_printed = false;
  bool write_stats_file = true;
  // Set when the tick also leaves a Prometheus text file.
  std::optional<PrometheusExport> prometheus;
  // Set when the stream outlives its input: the input's health joins the
  // Prometheus file.
  std::shared_ptr<InputSupervision> keep_alive = nullptr;
  // Set when content alarms are watched: they join the Prometheus file.
  std::shared_ptr<AlarmSource> alarms = nullptr;
  // Set when the video encoder may change its threads: the count it works
  // with joins the Prometheus file.
  std::function<uint32_t()> video_threads;
};

// GDestroyNotify / GClosureNotify adapters for the contexts above.
template <typename Context>
void destroy_context(gpointer data) {
  delete static_cast<Context *>(data);
}
template <typename Context>
void destroy_context_closure(gpointer data, GClosure *) {
  delete static_cast<Context *>(data);
}

}  // namespace nerko
