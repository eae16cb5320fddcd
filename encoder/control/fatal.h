// Fatal stops: conditions the encoder cannot recover from.
#pragma once

#include <string_view>

namespace nerko {

// Flushes standard output and error, writes `text` and a line feed on
// standard error and ends the process at once with status 2. It may run on a
// streaming thread, so no destructor may run under threads still using what
// it would destroy: the process ends through _exit.
[[noreturn]] void fatal_stop(std::string_view text);

}  // namespace nerko
