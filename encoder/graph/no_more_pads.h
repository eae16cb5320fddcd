// The decoder's "no-more-pads": the moment to notice an input that gave the
// encoder nothing to send.
#pragma once

#include <gst/gst.h>

#include <string>

#include "encoder/control/stream_sinks.h"

namespace nerko {

// What the "no-more-pads" handler carries.
struct NoMorePadsContext {
  SharedStreamSinks sinks;
};

// The "no-more-pads" handler of uridecodebin; `data` is a NoMorePadsContext.
// When every stream has been announced and none of them became a branch (a
// subtitle-only file, say), nothing would ever end the run: no sender exists
// to reach end of stream. It then posts a stream error from `decoder`, which
// the bus watch shows and which ends the run with status 1.
void on_no_more_pads(GstElement *decoder, gpointer data);

// The names of the caps of `decoder`'s source pads, comma separated, for
// the debug text of that error ("none" when it has no source pad).
std::string decoded_stream_kinds(GstElement *decoder);

}  // namespace nerko
