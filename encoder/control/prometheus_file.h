// Leaves each statistics tick in a Prometheus text file, replaced atomically
// so the node exporter never reads half a file.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "input_health.h"
#include "prometheus_settings.h"
#include "statistics.h"

namespace nerko {

// Writes `text` into a hidden temporary file beside `path` (a name the
// textfile collector, which reads only *.prom, ignores) and renames it over
// `path`. Returns the reason on failure; the temporary file is then removed.
std::optional<std::string> write_file_atomically(const std::string &path, std::string_view text);

// One tick's file. A failure never stops the stream: it writes one line
// "Warning, failed to write Prometheus file <path>: <reason>" on `err` when
// writing starts to fail, nothing more while it keeps failing, and warns
// again only after a write has succeeded in between.
void export_prometheus_tick(PrometheusExport &target, const SenderCounts &counts, bool ready, std::FILE *err,
                            const SendLag &lag = {}, const InputHealth *input = nullptr);

}  // namespace nerko
