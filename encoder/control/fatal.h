// Fatal stops: conditions the encoder cannot recover from. Wherever one is
// found it travels as a FatalStop error, or from a streaming thread as a
// message on the bus; only the run sequence ends the process on it.
#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>
#include <string_view>

namespace nerko {

// Flushes standard output and error, writes `text` and a line feed on
// standard error and ends the process at once with status 2. Streaming
// threads may still be running, so no destructor may run under them: the
// process ends through _exit.
[[noreturn]] void fatal_stop(std::string_view text);

// A fatal stop found on a streaming thread: posted on the pipeline's `bus` as
// the application message "nerko-fatal-stop" with the stop's line as "text",
// for the bus watch to end the run on. The thread itself goes on.
void post_fatal_stop(GstBus *bus, const std::string &text);

// The line of a "nerko-fatal-stop" message; nullopt for any other message.
std::optional<std::string> posted_fatal_stop(GstMessage *message);

}  // namespace nerko
