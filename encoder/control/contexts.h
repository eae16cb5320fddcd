// What each handler of the run carries. Every context releases its references
// when GLib destroys the connection, watch or timer that owns it.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoder/graph/input_activity.h"
#include "encoder/graph/live_rate_head.h"
#include "encoder/graph/sdp_file.h"
#include "gst_ref.h"
#include "prometheus_settings.h"
#include "stream_sinks.h"

namespace nerko {

class InputSupervisor;

// "pad-added" of uridecodebin; read-only after creation.
struct PadAddedContext {
  ElementRef pipeline;
  ElementRef rtpbin;
  std::string output;
  // The destination host as looked up at start; empty when the destination
  // is malformed, which the first decoded stream then stops on.
  std::string host_address;
  SharedStreamSinks sinks;
  uint32_t audio_fec_percent;
  // Rewritten after every branch built; none unless NERKO_SDP_FILE is set.
  std::shared_ptr<SessionDescriptionFile> session_description = nullptr;
  // Told of every decoded buffer that reaches a branch (the input watchdog).
  SharedInputActivity activity = nullptr;
  // Set when the stream outlives its input: branches start with a live-rate
  // element, and branch failures are posted from rtpbin, so that they end
  // the run instead of counting as a failed input.
  std::shared_ptr<const LiveRateHeads> heads = nullptr;
};

// "request-fec-encoder" of rtpbin.
struct FecRequestContext {
  uint32_t video_fec_percent;
};

// How the main loop ended: written by the bus watch, read by the run
// sequence, which chooses the exit status from it.
enum class RunEnd { Running, EndOfStream, Error };

// The bus watch.
struct BusWatchContext {
  MainLoopRef main_loop;
  ElementRef pipeline;
  std::shared_ptr<RunEnd> run_end = std::make_shared<RunEnd>(RunEnd::Running);
  // Set when the stream outlives its input: it takes the input's errors and
  // reports (see keep_alive.h).
  std::shared_ptr<InputSupervisor> keep_alive = nullptr;
};

// The five-second statistics timer; used only on the main thread.
struct StatsTimerContext {
  SharedStreamSinks sinks;
  uint64_t last_audio_rtp_bytes = 0;
  std::vector<std::string> arguments;
  bool ready_printed = false;
  bool write_stats_file = true;
  // Set when the tick also leaves a Prometheus text file.
  std::optional<PrometheusExport> prometheus;
  // Set when the stream outlives its input: the input's health joins the
  // Prometheus file.
  std::shared_ptr<InputSupervisor> keep_alive = nullptr;
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
