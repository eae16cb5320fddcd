#include "encoder/input/content_alarms.h"

namespace nerko {

ContentAlarms::ContentAlarms(std::vector<Watched> inputs, std::FILE *err) : inputs_(std::move(inputs)), err_(err) {}

ContentAlarms::~ContentAlarms() {
  if (timer_id_ != 0)
    g_source_remove(timer_id_);
}

void ContentAlarms::start() {
  timer_id_ = g_timeout_add_full(
      G_PRIORITY_DEFAULT, 200,
      [](gpointer data) -> gboolean {
        static_cast<ContentAlarms *>(data)->tick(g_get_monotonic_time());
        return G_SOURCE_CONTINUE;
      },
      this, nullptr);
}

void ContentAlarms::tick(gint64 now_us) {
  for (const Watched &input : inputs_) {
    for (const ContentWatch::Change &change : input.watch->update(now_us)) {
      const std::string line =
          (change.on ? "Alarm: " : "Alarm cleared: ") + std::string(alarm_text(change.alarm)) + " on the " +
          input.input + " input " + (change.on ? "for " : "after ") + std::to_string(change.seconds) + " s\n";
      std::fwrite(line.data(), 1, line.size(), err_);
      std::fflush(err_);
    }
  }
}

std::vector<AlarmSample> ContentAlarms::alarms() {
  std::vector<AlarmSample> samples;
  for (const Watched &input : inputs_)
    for (ContentAlarm alarm : kContentAlarms)
      if (input.watch->settings().threshold_s[static_cast<size_t>(alarm)] != 0)
        samples.push_back({input.input, alarm_label(alarm), input.watch->on(alarm)});
  return samples;
}

}  // namespace nerko
