// What the status page, /api/status and /metrics tell of the channel, read
// once a second on the main loop: requests only read the last reading, so
// none of them waits for the senders' lock, which a branch being built holds.
#pragma once

#include <gst/gst.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "encoder/control/contexts.h"
#include "encoder/control/input_health.h"
#include "encoder/control/send_lag.h"
#include "encoder/control/statistics.h"
#include "encoder/input/input_activity.h"
#include "encoder/input/keep_alive.h"
#include "encoder/graph/video_encoder_tap.h"

namespace nerko {

struct InputState {
  const char *name;  // "primary" or "backup"
  bool up;
  uint64_t restarts;
};

struct ChannelSnapshot {
  gint64 taken_us = 0;
  gint64 uptime_ms = 0;  // at the reading
  SenderCounts counts;
  // Per sender, in the order of the statistics line, over the last second;
  // nullopt until two readings exist.
  std::array<std::optional<uint64_t>, 4> bits_per_second;
  SendLag lag;
  std::optional<InputHealth> health;  // with keep-alive
  std::string on_air;                 // "primary", "backup" or "fill"
  std::optional<std::string> held;    // "primary", "backup" or "slate"
  std::vector<InputState> inputs;
  bool ready = false;
  std::optional<int32_t> video_target;
  std::vector<AlarmSample> content_alarms;  // every watched one, on or not
  std::vector<std::string> alarms;          // what is wrong now, in words
};

class ChannelStatus {
 public:
  struct Parts {
    SharedStreamSinks sinks;
    const StatsTimerContext *statistics;  // lives as long as the run's main loop
    SharedInputActivity activity;         // the primary input's
    std::shared_ptr<InputSupervisor> supervisor;  // with keep-alive
    std::shared_ptr<VideoEncoderTap> video;
    std::string channel;  // NERKO_PROMETHEUS_CHANNEL
  };

  // Reads at once and then every second.
  explicit ChannelStatus(Parts parts);
  ~ChannelStatus();
  ChannelStatus(const ChannelStatus &) = delete;
  ChannelStatus &operator=(const ChannelStatus &) = delete;

  const ChannelSnapshot &snapshot() const { return snapshot_; }
  const std::string &channel() const { return parts_.channel; }
  InputSupervisor *supervisor() const { return parts_.supervisor.get(); }
  VideoEncoderTap &video() const { return *parts_.video; }
  // Reads again now, for an answer that must show a change just made.
  void refresh();

  // /api/status.
  std::string json() const;
  // /metrics: the samples of the Prometheus file.
  std::string metrics() const;

 private:
  Parts parts_;
  gint64 started_us_;
  ChannelSnapshot snapshot_;
  guint timer_id_ = 0;
};

// "primary", "backup", "slate" or "fill" (for None).
const char *input_role_name(InputRole role);

}  // namespace nerko
