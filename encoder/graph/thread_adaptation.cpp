#include "encoder/graph/thread_adaptation.h"

#include <algorithm>
#include <cstdio>

namespace nerko {

ThreadAdaptation::ThreadAdaptation(uint32_t configured, uint32_t cores) : cores_(std::max(cores, 1u)) {
  levels_.push_back(configured);
  for (uint32_t used = std::min(configured, cores_); used > 1;) {
    used /= 2;
    levels_.push_back(used);
  }
}

bool ThreadAdaptation::leaves_cores_for(const PaceReading &reading, uint32_t threads) const {
  const double used = std::min(threads, cores_);
  return reading.other_cores && *reading.other_cores <= cores_ - used + kOtherCoresSlack;
}

std::optional<ThreadChange> ThreadAdaptation::observe(const PaceReading &reading) {
  if (!can_adapt() || (settled_at_ && reading.now < *settled_at_))
    return std::nullopt;
  // Only the spinning of threads that do not fit beside the rest of the
  // host's work is worth giving up: a channel alone that cannot keep up
  // needs every thread it has.
  const bool behind = reading.lag && *reading.lag >= kBehindLag && reading.frames_waiting >= kWaitingFrames;
  const bool crowded = behind && !leaves_cores_for(reading, threads());
  behind_readings_ = crowded ? behind_readings_ + 1 : 0;
  if (behind_readings_ >= kBehindReadings && level_ + 1 < levels_.size())
    return shed(reading);
  return step_back(reading, behind);
}

std::optional<ThreadChange> ThreadAdaptation::shed(const PaceReading &reading) {
  // A fall soon after a step back says the cores were not free after all.
  if (stepped_back_ && reading.now - *stepped_back_ < 2 * wait_)
    wait_ = std::min(2 * wait_, kLongestWait);
  stepped_back_.reset();
  ThreadChange change{threads(), levels_[level_ + 1], true, *reading.lag};
  ++level_;
  behind_readings_ = 0;
  pace_since_.reset();
  settled_at_ = reading.now + kSettle;
  return change;
}

std::optional<ThreadChange> ThreadAdaptation::step_back(const PaceReading &reading, bool behind) {
  if (level_ == 0)
    return std::nullopt;
  const bool free_cores = leaves_cores_for(reading, levels_[level_ - 1]);
  const bool pace = reading.lag && *reading.lag < kPaceLag;
  if (!free_cores || !(pace || behind)) {
    pace_since_.reset();
    return std::nullopt;
  }
  // Behind with the cores free: the threads given up are what it lacks now,
  // once the cores stay free a moment (the readings are short and noisy).
  if (!pace_since_)
    pace_since_ = reading.now;
  if (reading.now - *pace_since_ < (pace ? wait_ : kFreeWhileBehind))
    return std::nullopt;
  ThreadChange change{threads(), levels_[level_ - 1], false, 0};
  --level_;
  pace_since_.reset();
  stepped_back_ = reading.now;
  settled_at_ = reading.now + kSettle;
  return change;
}

std::string thread_change_line(const ThreadChange &change) {
  char text[160];
  const char *noun = change.to == 1 ? "thread" : "threads";
  if (change.shed)
    std::snprintf(text, sizeof text, "Video encoder down to %u %s from %u: video is %.1f s behind real time\n",
                  change.to, noun, change.from, static_cast<double>(change.lag) / GST_SECOND);
  else
    std::snprintf(text, sizeof text, "Video encoder back to %u %s from %u: the host's cores are free again\n",
                  change.to, noun, change.from);
  return text;
}

}  // namespace nerko
