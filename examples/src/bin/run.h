// The run sequence of the encoder program.
#pragma once

#include "contexts.h"
#include "encoder_error.h"

namespace nerko {

// Reads the command line and the FEC settings, builds and plays the top of the
// pipeline, and runs the main loop until the bus watch ends it. Returns how the
// loop ended, or the set-up error. Conditions it cannot recover from are fatal
// stops and do not return.
Result<RunEnd> run(int argc, const char *const *argv);

}  // namespace nerko
