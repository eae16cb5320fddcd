// When the video encoder gives up threads and when it takes them back.
//
// libvpx's VP8 threads wait for each other's rows by spinning. While other
// work needs the cores, a descheduled thread leaves its partner spinning for
// a whole time slice: the encoder then burns more CPU the slower it gets, and
// two channels on two cores can fall seconds behind together where one
// thread each keeps pace. So a channel that falls behind real time with
// frames waiting for its encoder, while the rest of the host's work leaves
// its threads no core of their own, halves the threads it uses. It takes
// them back one step at a time once the host has a core for each of them:
// after keeping pace for a while, or at once if it is behind again. A step
// back that is soon followed by another fall waits twice as long before the
// next one, so two channels never flap.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nerko {

// One look at the channel's pace.
struct PaceReading {
  GstClockTime now = 0;  // any monotonic time
  // How far the video sent lags real time; nullopt where it cannot be told.
  std::optional<GstClockTimeDiff> lag = std::nullopt;
  uint32_t frames_waiting = 0;  // queued in front of the encoder
  // Cores the rest of the host kept busy since the last reading; nullopt
  // where that cannot be told, which counts as a busy host.
  std::optional<double> other_cores = std::nullopt;
};

struct ThreadChange {
  uint32_t from = 0;
  uint32_t to = 0;
  bool shed = false;   // true: down, for being behind; false: back up
  GstClockTimeDiff lag = 0;  // with `shed`: how far behind the video was
};

class ThreadAdaptation {
 public:
  // Falling behind: at least this lag with at least kWaitingFrames frames
  // waiting, on kBehindReadings readings in a row.
  static constexpr GstClockTimeDiff kBehindLag = 250 * GST_MSECOND;
  static constexpr uint32_t kWaitingFrames = 2;
  static constexpr int kBehindReadings = 2;
  // After a change the backlog drains before the pace is judged again.
  static constexpr GstClockTime kSettle = 3 * GST_SECOND;
  // Keeping pace: a lag below this.
  static constexpr GstClockTimeDiff kPaceLag = 100 * GST_MSECOND;
  // A step back needs this long of pace and free cores; a step back that is
  // followed by a fall within twice its wait doubles it, up to kLongestWait.
  static constexpr GstClockTime kFirstWait = 30 * GST_SECOND;
  static constexpr GstClockTime kLongestWait = 600 * GST_SECOND;
  // Behind again with the cores free this long: a step back at once.
  static constexpr GstClockTime kFreeWhileBehind = 2 * GST_SECOND;
  // Cores the rest of the host may use beyond those the threads leave it.
  static constexpr double kOtherCoresSlack = 0.2;

  // `configured`: the threads the encoder starts with; `cores`: the host's.
  ThreadAdaptation(uint32_t configured, uint32_t cores);

  // Whether there is anything to give up: libvpx uses at most one thread a
  // core, so one thread or one core leaves nothing.
  bool can_adapt() const { return levels_.size() > 1; }
  uint32_t threads() const { return levels_[level_]; }
  GstClockTime wait() const { return wait_; }

  // The change to make now, if any.
  std::optional<ThreadChange> observe(const PaceReading &reading);

 private:
  // Whether the rest of the host, as `reading` saw it, leaves a core for
  // each of `threads` (libvpx uses at most one a core).
  bool leaves_cores_for(const PaceReading &reading, uint32_t threads) const;
  std::optional<ThreadChange> shed(const PaceReading &reading);
  std::optional<ThreadChange> step_back(const PaceReading &reading, bool behind);

  std::vector<uint32_t> levels_;  // the configured count first, then halves down to 1
  uint32_t cores_;
  size_t level_ = 0;
  int behind_readings_ = 0;
  std::optional<GstClockTime> settled_at_;    // changes wait until then
  std::optional<GstClockTime> pace_since_;    // free cores, in pace or behind, since then
  std::optional<GstClockTime> stepped_back_;  // the last step back
  GstClockTime wait_ = kFirstWait;
};

// "Video encoder down to 1 thread from 12: video is 0.4 s behind real time"
// or "Video encoder back to 12 threads from 1: the host's cores are free
// again", with its line feed.
std::string thread_change_line(const ThreadChange &change);

}  // namespace nerko
