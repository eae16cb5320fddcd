// The encoder's reaction to what the pipeline reports on its bus: it ends the
// run on end of stream, an error or a fatal stop posted by a streaming thread, shows errors, info and latency messages to
// the operator, dumps the graph when the pipeline plays and redistributes
// latency when an element asks for it.
#pragma once

#include <gst/gst.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "encoder/control/contexts.h"

namespace nerko {

// Bus watch function; `data` is a BusWatchContext. Writes on standard error
// and always returns TRUE: the watch stays for the life of the process.
gboolean on_bus_message(GstBus *bus, GstMessage *message, gpointer data);

// The watch's work for one message, writing its lines on `err`.
void handle_bus_message(GstMessage *message, const BusWatchContext &context, std::FILE *err);

// `text` as a double-quoted literal: backslash, double quote and control
// characters escaped (\n, \t, \r, \0, \u{1b}); bytes that are not UTF-8 show
// as U+FFFD.
std::string quote_text(std::string_view text);

// Some("debug text") or None.
std::string debug_rendering(const char *debug);

// "Error! <message>: Some(\"<debug>\")" or "...: None" and a line feed, for
// an error message.
std::string error_line(GstMessage *message);

// The text of an error message's error, or `fallback` when it has none.
std::string error_message_text(GstMessage *message, const char *fallback);

// Writes the error line of the first error message waiting on `bus`, if
// any; the messages before it are dropped. For a pipeline that refused to
// start, so the operator reads why before the program stops.
void report_first_error(GstBus *bus, std::FILE *err);

// The multi-line rendering of a whole message used for info messages.
std::string info_rendering(GstMessage *message);

}  // namespace nerko
