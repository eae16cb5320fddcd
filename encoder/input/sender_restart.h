// A live MPEG-TS input timed without the PCR has nothing to follow when its
// sender starts again: the new run's timestamps begin anew (near zero for
// most senders), on the same pads or on the pads of a new program the
// demuxer makes of it, and every frame of the new run would leave the
// demuxer seconds late for good. A decoder then holds its output on the last
// timestamp of the run before; the live-rate heads drop every frame.
#pragma once

#include <gst/gst.h>

namespace nerko {

// Restamps the demuxer's frames so that a sender that starts again goes on
// where the clock is. A run is new when a pad's timestamps step back by a
// second or more, and for every pad of a program announced after the first.
// Its frames are moved to run as late as the frames did before (the median
// of the last few), and the pads of one sender share one move, so its sound
// stays with its picture. Connect before the demuxer leaves READY, and before
// any probe that reads its timestamps.
void follow_sender_restarts(GstElement *demuxer);

}  // namespace nerko
