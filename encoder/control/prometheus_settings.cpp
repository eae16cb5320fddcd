#include "encoder/control/prometheus_settings.h"

#include <cstdlib>

namespace nerko {
namespace {

std::string variable(const char *name) {
  const char *value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::optional<PrometheusExport> read_prometheus_export() {
  // An empty value means off, so an env file can list the variable blank.
  std::string path = variable("NERKO_PROMETHEUS_FILE");
  if (path.empty())
    return std::nullopt;
  return PrometheusExport{path, variable("NERKO_PROMETHEUS_CHANNEL")};
}

}  // namespace nerko
