// Keeps the stream on air when its input stalls, fails or ends. The output
// part (live-rate heads, encoders, rtpbin, senders) plays for the whole run;
// the input part (the decoder and what it made) is torn down when the input
// is lost and made anew after a back-off of 1 s, doubling up to 30 s and
// back to 1 s once an input has delivered for 60 s. Runs on the main thread.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/input_health.h"
#include "encoder/control/input_supervision.h"
#include "encoder/graph/input_decoder.h"
#include "encoder/graph/pad_added.h"

namespace nerko {

class InputSupervisor : public InputSupervision {
 public:
  // Everything a new input needs; `pad_added` is copied into the context of
  // each new decoder.
  struct Parts {
    ElementRef pipeline;
    std::string uri;
    PadAddedContext pad_added;
    uint32_t input_timeout_s;  // 0: silence never counts as a loss
    // NERKO_LATENCY_MS for each new decoder, and the headroom to keep
    // instead of the usual 250 ms (see redistribute_latency).
    std::optional<uint32_t> input_latency_ms = std::nullopt;
    std::optional<GstClockTime> output_headroom = std::nullopt;
  };

  explicit InputSupervisor(Parts parts, std::FILE *err = stderr);
  ~InputSupervisor() override;
  InputSupervisor(const InputSupervisor &) = delete;
  InputSupervisor &operator=(const InputSupervisor &) = delete;

  // Makes the first input in the playing pipeline. An input that cannot be
  // made or started is lost like any other and made anew after the back-off.
  void start();

  // For the bus watch: true when `message` was the input's (an error of the
  // decoder or of anything it made, an error of an input already torn down,
  // or a report of the decoded-pad probes) and has been dealt with here.
  bool handle_message(GstMessage *message) override;

  // For the watchdog: the input has been silent for the timeout.
  void silence_expired();

  InputHealth health() override;

  // For the bus watch, instead of gst_bin_recalculate_latency: while the
  // input is torn down the live-rate heads have no upstream and their
  // latency answer fails, and GStreamer would then configure no latency at
  // all, so that made-up buffers reach the senders late, and a returning
  // input would pause the output while the latency grew back. The
  // pipeline's latency is therefore fixed at the largest live latency seen,
  // with some headroom for the encoders and senders.
  bool redistribute_latency() override;

 private:
  Status open_input();
  void lose(const std::string &reason);
  void tear_down();
  void reopen();
  void input_flowing();

  Parts parts_;
  std::FILE *err_;
  std::unique_ptr<InputDecoder> input_;
  uint64_t generation_ = 0;
  guint reopen_id_ = 0;
  uint32_t next_delay_s_ = 1;
  bool lost_ = false;
  gint64 lost_at_us_ = 0;
  gint64 flowing_since_us_ = 0;  // 0 while the current input has not delivered
  uint64_t restarts_ = 0;
};

}  // namespace nerko
