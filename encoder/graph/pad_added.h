// What happens when the decoder exposes a stream.
#pragma once

#include <gst/gst.h>

#include "contexts.h"

namespace nerko {

// The "pad-added" handler of uridecodebin; `data` is a PadAddedContext.
// Builds the stream's branch; a failure is posted from `element` as the
// library error "Failed to link decodebin srcpad" with the reason as debug text;
// a fatal stop (also an emission without element or pad) is posted from the
// pipeline for the bus watch.
void on_pad_added(GstElement *element, GstPad *pad, gpointer data);

}  // namespace nerko
