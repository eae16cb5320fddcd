// With NERKO_LATENCY_MS the MPEG-TS demuxer's H.264 and H.265 streams are
// declared one access unit per buffer: a demuxer hands over one PES at a
// time, and live muxers put one frame in each. The parser then passes a
// frame on as it arrives instead of holding it until the next frame's start
// shows where it ends, which costs a frame of latency.
#pragma once

#include <gst/gst.h>

namespace nerko {

// Watches the demuxer's source pads: their H.264 and H.265 byte-stream caps
// without an alignment get "alignment=au" on their way downstream.
void declare_whole_frames(GstElement *demuxer);

}  // namespace nerko
