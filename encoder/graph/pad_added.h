// What happens when the decoder exposes a stream.
#pragma once

#include <gst/gst.h>

#include "contexts.h"

namespace nerko {

// The "pad-added" handler of uridecodebin; `data` is a PadAddedContext.
void on_pad_added(GstElement *element, GstPad *pad, gpointer data);

}  // namespace nerko
