// Whether a decoded stream runs on the pipeline's own time: a live input
// (MPEG-TS over UDP, RTSP, SRT) timestamps what it receives with the
// pipeline's clock and base time, so its buffers are due when they come.
#pragma once

#include <gst/gst.h>

#include <optional>

namespace nerko {

// True when everything upstream of the decoder's `pad` answers the latency
// query as live. Sends a query: call it without holding a lock.
bool is_live_input(GstPad *pad);

// Whether upstream of `pad` is live; nothing when it does not answer (as
// some inputs do not while they start). Sends a query, as is_live_input.
std::optional<bool> answers_live(GstPad *pad);

}  // namespace nerko
