// The five-second bytes-served statistics tick.
#pragma once

#include <glib.h>

#include "contexts.h"

namespace nerko {

// Timer handler; `data` is a StatsTimerContext. Always returns TRUE.
gboolean on_stats_tick(gpointer data);

}  // namespace nerko
