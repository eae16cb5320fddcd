// Leaves each statistics tick in a Prometheus text file, replaced atomically
// so the node exporter never reads half a file.
#pragma once

#include <cstdio>

#include "encoder/control/alarm_report.h"
#include "encoder/control/input_health.h"
#include "encoder/control/prometheus_settings.h"
#include "encoder/control/statistics.h"

namespace nerko {

// One tick's file. A failure never stops the stream: it writes one line
// "Warning, failed to write Prometheus file <path>: <reason>" on `err` when
// writing starts to fail, nothing more while it keeps failing, and warns
// again only after a write has succeeded in between.
void export_prometheus_tick(PrometheusExport &target, const SenderCounts &counts, bool ready, std::FILE *err,
                            const SendLag &lag = {}, const InputHealth *input = nullptr,
                            const std::vector<AlarmSample> *alarms = nullptr,
                            std::optional<uint32_t> video_threads = std::nullopt);

}  // namespace nerko
