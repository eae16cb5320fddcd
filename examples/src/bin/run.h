// The run sequence of the encoder program.
#pragma once

#include "encoder/control/contexts.h"
#include "encoder/control/encoder_error.h"

namespace nerko {

// Reads the command line and the FEC settings, builds and plays the top of the
// pipeline, and runs the main loop until the bus watch or the statistics timer
// ends it. Returns how the loop ended, or the set-up error. It is the one place
// that ends the process on a fatal stop, wherever the stop was found (set-up
// here, a streaming thread, the bus watch or the timer); that does not return.
Result<RunEnd> run(int argc, const char *const *argv);

}  // namespace nerko
