// The run sequence of the encoder program.
#pragma once

#include "encoder/control/contexts.h"
#include "encoder/control/encoder_error.h"

namespace nerko {

// Reads the command line and the settings, builds and plays the top of the
// pipeline (with keep-alive, starts the input supervisor), and runs the main
// loop until the bus watch, the statistics timer or the input watchdog ends
// it. Returns how the loop ended, or the set-up error. It is the one place
// that ends the process on a fatal stop, wherever the stop was found (set-up
// here, a streaming thread, the bus watch or the timer); that does not return.
Result<RunEnd> run(int argc, const char *const *argv);

}  // namespace nerko
