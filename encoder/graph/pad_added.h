// What happens when the decoder exposes a stream.
#pragma once

#include <gst/gst.h>

#include "contexts.h"

namespace nerko {

// The "pad-added" handler of uridecodebin; `data` is a PadAddedContext.
// Builds the stream's branch; a failure is posted from `element` as the
// library error "Failed to link decodebin srcpad" with the reason as debug text.
void on_pad_added(GstElement *element, GstPad *pad, gpointer data);

}  // namespace nerko
