// Watches an input's decoded pictures and sound for what a live source sends
// once its own source has failed: black, a frozen picture, silence. Probes on
// the decoder's pads judge each picture and each buffer of sound; the main
// loop turns a condition that has held for its set time into an alarm, and
// clears it after 2 s without the condition.
#pragma once

#include <gst/gst.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "encoder/control/encoder_error.h"

namespace nerko {

enum class ContentAlarm { VideoBlack, VideoFrozen, AudioSilent };
inline constexpr std::array<ContentAlarm, 3> kContentAlarms = {ContentAlarm::VideoBlack, ContentAlarm::VideoFrozen,
                                                               ContentAlarm::AudioSilent};

// "video black", "video frozen", "audio silent": for the console.
const char *alarm_text(ContentAlarm alarm);
// "video_black", "video_frozen", "audio_silent": for the Prometheus file.
const char *alarm_label(ContentAlarm alarm);

struct ContentAlarmSettings {
  // Seconds a condition holds before its alarm is set; 0: not watched.
  std::array<uint32_t, 3> threshold_s{};
  // Alarms that make an input count as failed (NERKO_FAILOVER_ON).
  std::array<bool, 3> fails_over{};

  bool any() const { return threshold_s[0] != 0 || threshold_s[1] != 0 || threshold_s[2] != 0; }
};

// NERKO_FAILOVER_ON, a comma-separated list of "black", "frozen" and
// "silence" (empty: none). An unknown word, or a listed condition that is
// not watched, is a set-up error.
Status read_failover_on(const std::string &list, ContentAlarmSettings &settings);

// One input's conditions and alarms; shared by its decoder's probes (the
// streaming threads) and the main loop.
class ContentWatch {
 public:
  explicit ContentWatch(const ContentAlarmSettings &settings) : settings_(settings) {}

  const ContentAlarmSettings &settings() const { return settings_; }

  // From a probe: whether the picture or sound that just came showed the
  // condition; its running time, and the monotonic time in microseconds.
  void observe(ContentAlarm alarm, bool condition, GstClockTime media_time, gint64 now_us);

  // From the main loop: sets the alarms whose condition has held for their
  // time and clears those whose condition has been gone for 2 s.
  struct Change {
    ContentAlarm alarm;
    bool on;
    gint64 seconds;  // set: the threshold; cleared: how long the alarm's condition lasted
  };
  std::vector<Change> update(gint64 now_us);

  bool on(ContentAlarm alarm);
  // The first alarm that is on and makes the input count as failed.
  std::optional<ContentAlarm> failing_alarm();

 private:
  struct Condition {
    bool holding = false;
    GstClockTime since_media = 0;  // the running time it began to hold at
    GstClockTime last_media = 0;   // and of the last picture or sound that showed it
    gint64 last_seen_us = 0;       // when that came
    bool alarm = false;
    gint64 alarm_since_us = 0;  // when the condition of the alarm on began
  };

  const ContentAlarmSettings settings_;
  std::mutex mutex_;
  std::array<Condition, 3> conditions_;  // guarded by mutex_
};

// Judges every picture or buffer of sound that leaves `pad`, a decoder's raw
// pad, for `watch`.
void watch_content(GstPad *pad, const std::shared_ptr<ContentWatch> &watch);

}  // namespace nerko
