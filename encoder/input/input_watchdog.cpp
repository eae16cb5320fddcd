#include "encoder/input/input_watchdog.h"

#include <string>

#include "encoder/input/keep_alive.h"

namespace nerko {

void check_input_silence(WatchdogContext &context, std::FILE *err) {
  if (context.timeout_s == 0 || context.outcome->end != RunEnd::Running)
    return;
  if (context.pipeline) {
    GST_OBJECT_LOCK(context.pipeline.get());
    const bool playing = GST_STATE(context.pipeline.get()) == GST_STATE_PLAYING;
    GST_OBJECT_UNLOCK(context.pipeline.get());
    if (playing && !context.was_playing)
      restart_silence(*context.activity);
    context.was_playing = playing;
  }
  if (input_silence_ms(*context.activity) < static_cast<gint64>(context.timeout_s) * 1000)
    return;
  if (context.keep_alive) {
    context.keep_alive->silence_expired();
    return;
  }
  std::string line = "Error! No input for " + std::to_string(context.timeout_s) + " s\n";
  std::fwrite(line.data(), 1, line.size(), err);
  std::fflush(err);
  end_run(*context.outcome, context.main_loop.get(), RunEnd::Error);
}

gboolean on_watchdog_tick(gpointer data) {
  check_input_silence(*static_cast<WatchdogContext *>(data), stderr);
  return TRUE;
}

}  // namespace nerko
