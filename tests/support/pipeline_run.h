// Runs a gst-launch description in the test's own process, for tests that
// make their input files or feed a stream to the program under test.
#pragma once

#include <string>

namespace nerko::testing_support {

// Plays @description until end of stream; an error, a parse failure or no end
// within a generous limit fails the test, naming the description.
void run_pipeline(const std::string &description);

}  // namespace nerko::testing_support
