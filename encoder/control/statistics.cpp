#include "statistics.h"

namespace nerko {

// Placeholder until the statistics tick is built.
gboolean on_stats_tick(gpointer) { return TRUE; }

}  // namespace nerko
