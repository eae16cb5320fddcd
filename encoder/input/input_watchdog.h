// The input watchdog: a live input whose sender stopped, or that never sent
// anything, would otherwise keep the encoder running for ever with nothing
// to send. Checked twice a second on the main loop.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <cstdio>
#include <memory>

#include "encoder/control/contexts.h"
#include "encoder/input/input_activity.h"

namespace nerko {

class InputSupervisor;

struct WatchdogContext {
  SharedInputActivity activity;
  uint32_t timeout_s;
  MainLoopRef main_loop;
  SharedRunOutcome outcome;
  // Set when the stream outlives its input: silence is a lost input then,
  // not the end of the run.
  std::shared_ptr<InputSupervisor> keep_alive = nullptr;
  ElementRef pipeline = ElementRef();
  // The pipeline was PLAYING at the last check.
  bool was_playing = false;
};

// One check: after `timeout_s` without a decoded buffer (or since the input
// was opened, or since the pipeline reached PLAYING: a short file is decoded
// whole while the pipeline starts, and a loaded machine can take long to
// start) it writes "Error! No input for N s" on `err` and ends the run
// as an error, or hands the silence to the keep-alive supervisor.
void check_input_silence(WatchdogContext &context, std::FILE *err);

// Timer handler; `data` is a WatchdogContext. Always returns TRUE.
gboolean on_watchdog_tick(gpointer data);

}  // namespace nerko
