// What the content alarms tell the Prometheus file and the status page.
#pragma once

#include <string>
#include <vector>

namespace nerko {

// One watched alarm of one input: `input` "primary" or "backup", `alarm`
// "video_black", "video_frozen" or "audio_silent".
struct AlarmSample {
  std::string input;
  std::string alarm;
  bool on = false;
};

class AlarmSource {
 public:
  virtual ~AlarmSource() = default;
  // Every alarm that is watched, on or not; used on the main thread.
  virtual std::vector<AlarmSample> alarms() = 0;
};

}  // namespace nerko
