// One statistics tick in Prometheus' text exposition format (version 0.0.4).
#pragma once

#include <string>
#include <string_view>

#include "encoder/control/alarm_report.h"
#include "encoder/control/input_health.h"
#include "encoder/control/statistics.h"

namespace nerko {

// `value` as the inside of a quoted label value: backslash, double quote and
// line feed escaped, and anything that is not UTF-8 made valid.
std::string prometheus_label_value(std::string_view value);

// The bytes-served counter of each sender, the ready gauge, the build
// information and, for each medium whose lag is known, how many seconds it is
// behind real time (0 while it keeps pace), the latency the senders were
// given when `lag` knows it, each with its HELP and TYPE lines; every sample
// carries channel="<channel>" first when `channel` is not empty. With
// `input` (the stream outlives its input) the input's health follows, and
// with `alarms` one sample per watched content alarm, 1 while it is on; with
// `video_threads` (the encoder may change them) the threads it works with.
std::string prometheus_text(const SenderCounts &counts, bool ready, std::string_view revision,
                            std::string_view channel, const SendLag &lag = {},
                            const InputHealth *input = nullptr, const std::vector<AlarmSample> *alarms = nullptr,
                            std::optional<uint32_t> video_threads = std::nullopt);

}  // namespace nerko
