// Keeps the stream on air when its input stalls, fails or ends. The output
// part (live-rate heads, encoders, rtpbin, senders) plays for the whole run;
// the input part (the decoder and what it made) is torn down when the input
// is lost and made anew after a back-off of 1 s, doubling up to 30 s and
// back to 1 s once an input has delivered for 60 s. Runs on the main thread.
//
// With a backup input the same holds for each of the two, and the supervisor
// also chooses which one is on air (see on_air_tick); with a slate, what
// the video shows while neither is.
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
#include "encoder/input/content_watch.h"
#include "encoder/input/input_decoder.h"
#include "encoder/input/input_feed.h"
#include "encoder/graph/pad_added.h"

namespace nerko {

// What the operator set for a backup input, a slate or a repeated last frame.
struct Redundancy {
  std::string backup_uri;  // empty: no backup
  uint32_t failover_ms = 1000;
  uint32_t failback_s = 10;
  uint32_t repeat_frame_ms = 0;
  bool slate = false;
  // The heads' "fill-mode" the operator chose ("black" for the slate too).
  std::string video_fill_mode = "black";
};

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
    // Set with a backup, a slate or a repeat time: the heads have a gate then.
    std::optional<Redundancy> redundancy = std::nullopt;
  };

  explicit InputSupervisor(Parts parts, std::FILE *err = stderr);
  ~InputSupervisor() override;
  InputSupervisor(const InputSupervisor &) = delete;
  InputSupervisor &operator=(const InputSupervisor &) = delete;

  // Makes the first input (and the backup) in the playing pipeline. An input
  // that cannot be made or started is lost like any other and made anew
  // after the back-off.
  void start();

  // For the bus watch: true when `message` was an input's (an error of a
  // decoder or of anything it made, an error of an input already torn down,
  // or a report of the decoded-pad probes) and has been dealt with here.
  bool handle_message(GstMessage *message) override;

  // For the watchdog: the primary input has been silent for the timeout.
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

  // The backup's content watch; none without a backup or content alarms.
  std::shared_ptr<ContentWatch> backup_content() const;

  // For the operator: keeps `held` on air until it fails or the hold is
  // lifted (nullopt: the automatic choice again). The backup is held only
  // while it delivers; the slate (InputRole::Slate) only when one was set.
  // Returns why a hold cannot be had, or nullopt once it is in force.
  std::optional<std::string> hold(std::optional<InputRole> held);
  // The input on air (None while neither is) and the one held, if any.
  InputRole on_air() const { return on_air_; }
  std::optional<InputRole> held() const { return held_; }

  // For a clean stop, which starves the inputs: from now on nothing is
  // reopened, switched or reported lost.
  void stop_supervising();

 private:
  // One input and its life: opened, delivering, lost, waiting to reopen.
  struct Slot {
    InputRole role;
    std::string uri;
    SharedInputActivity activity;
    SharedInputFeeds feeds;  // none without a gate
    std::unique_ptr<InputDecoder> input;
    uint64_t generation = 0;
    guint reopen_id = 0;
    uint32_t next_delay_s = 1;
    bool lost = false;
    gint64 lost_at_us = 0;
    gint64 flowing_since_us = 0;  // 0 while the current input has not delivered
    uint64_t restarts = 0;
    std::string loss_reason;  // why it went off air last
    InputSupervisor *owner = nullptr;
  };

  void start(Slot &slot);
  Status open_input(Slot &slot);
  void lose(Slot &slot, const std::string &reason);
  void tear_down(Slot &slot);
  void reopen(Slot &slot);
  void input_flowing(Slot &slot);
  Slot *slot_of(GstObject *source);

  // Chooses the input on air and what the video shows, every 40 ms and at
  // every loss: the primary while it delivers; the backup once the primary
  // has delivered nothing for the failover time (or failed, or ended); the
  // primary again once it has delivered for the failback time without a
  // break, or at once when the backup fails; and while neither delivers,
  // made-up frames, the last frame for the repeat time first, or the slate.
  void on_air_tick();
  bool delivering(Slot &slot);
  // A listed content alarm that is on for the input.
  std::optional<ContentAlarm> failing_content(Slot &slot);
  void put_on_air(InputRole role);
  // The held input while it can stay on air; once it fails, the hold is
  // lifted, with a line that says so, and `automatic` stands.
  InputRole held_choice(InputRole automatic, bool primary, bool primary_starting, bool backup);
  void show_picture();
  // The video head's latency, as it last answered.
  gint64 head_latency_us(GstElement *head);

  Parts parts_;
  std::FILE *err_;
  Slot primary_;
  // Owned through a pointer: clang cannot tell that a nested type with
  // member initialisers is default-constructible before the enclosing class
  // is complete, as std::optional needs it to.
  std::unique_ptr<Slot> backup_;
  guint tick_id_ = 0;
  InputRole on_air_ = InputRole::Primary;
  uint64_t switches_ = 0;
  gint64 primary_delivering_since_us_ = 0;
  // When the input on air last delivered; the start of made-up pictures.
  gint64 last_on_air_buffer_us_ = 0;
  std::string head_fill_mode_;
  gint64 head_latency_us_ = 200 * 1000;
  bool stopping_ = false;
  std::optional<InputRole> held_;
};

}  // namespace nerko
