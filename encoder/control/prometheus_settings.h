// Whether and where the statistics tick also leaves a Prometheus text file.
// Off unless NERKO_PROMETHEUS_FILE names a file.
#pragma once

#include <optional>
#include <string>

namespace nerko {

struct PrometheusExport {
  // The *.prom file the node exporter's textfile collector reads.
  std::string path;
  // Value of a "channel" label on every sample; empty for none. Several
  // encoders feeding one collector need it, or their samples collide.
  std::string channel;
  // The last write failed and was warned about; the next failure stays quiet.
  bool failing = false;
};

// NERKO_PROMETHEUS_FILE (unset or empty: no export) and
// NERKO_PROMETHEUS_CHANNEL (unset or empty: no channel label).
std::optional<PrometheusExport> read_prometheus_export();

}  // namespace nerko
