// Failures on streaming threads cannot return to the run sequence; they go to
// the bus as element errors, which the bus watch prints before ending the run.
#pragma once

#include <gst/gst.h>

#include <string>

namespace nerko {

// Source lines that the posted errors name, so operators can tell the two
// failures apart in GStreamer's debug text.
inline constexpr int kPadAddedErrorLine = 476;
inline constexpr int kFecRequestErrorLine = 446;

// Posts a GStreamer library error (code "failed") from `element` with `text`
// as its message and `debug` as its debug text.
void post_library_failure(GstElement *element, const char *text, const std::string &debug, int line);

}  // namespace nerko
