#include "encoder/control/contexts.h"

#include <utility>

namespace nerko {

void end_run(RunOutcome &outcome, GMainLoop *main_loop, RunEnd end, std::string fatal_text) {
  if (outcome.end == RunEnd::FatalStop)
    return;
  outcome.end = end;
  outcome.fatal_text = std::move(fatal_text);
  if (main_loop)
    g_main_loop_quit(main_loop);
}

}  // namespace nerko
