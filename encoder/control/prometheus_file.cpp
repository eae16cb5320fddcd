#include "encoder/control/prometheus_file.h"

#include "encoder/control/atomic_file.h"
#include "encoder/control/build_revision.h"
#include "encoder/control/prometheus_text.h"

namespace nerko {

void export_prometheus_tick(PrometheusExport &target, const SenderCounts &counts, bool ready, std::FILE *err,
                            const SendLag &lag, const InputHealth *input,
                            const std::vector<AlarmSample> *alarms, std::optional<uint32_t> video_threads) {
  Status failure = write_file_atomically(target.path, prometheus_text(counts, ready, build_revision, target.channel,
                                                                      lag, input, alarms, video_threads));
  if (failure && !target.failing)
    std::fprintf(err, "Warning, failed to write Prometheus file %s: %s\n", target.path.c_str(),
                 failure->message().c_str());
  target.failing = failure.has_value();
}

}  // namespace nerko
