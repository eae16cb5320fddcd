// The content alarms of a run: every 200 ms on the main loop each input's
// conditions are turned into alarms, and standard error says when one is set
// ("Alarm: video black on the primary input for 10 s") and when it clears
// ("Alarm cleared: video black on the primary input after 42 s").
#pragma once

#include <glib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "encoder/control/alarm_report.h"
#include "encoder/input/content_watch.h"

namespace nerko {

class ContentAlarms : public AlarmSource {
 public:
  struct Watched {
    std::string input;  // "primary" or "backup"
    std::shared_ptr<ContentWatch> watch;
  };

  explicit ContentAlarms(std::vector<Watched> inputs, std::FILE *err = stderr);
  ~ContentAlarms() override;
  ContentAlarms(const ContentAlarms &) = delete;
  ContentAlarms &operator=(const ContentAlarms &) = delete;

  void start();
  void tick(gint64 now_us);
  std::vector<AlarmSample> alarms() override;

 private:
  std::vector<Watched> inputs_;
  std::FILE *err_;
  guint timer_id_ = 0;
};

}  // namespace nerko
