// A live MPEG-TS input timed without the PCR is timed from its first frame's
// arrival. A sender does not send every frame equally soon after its
// timestamp (a multiplexer holds a frame until the audio that covers it is
// encoded; a key frame spans many datagrams), so a first frame that happened
// to come early in that spread leaves every later frame late by the
// difference, for the whole run: the senders then send late, and with
// keep-alive the live-rate heads make up frames.
#pragma once

#include <gst/gst.h>

namespace nerko {

// Watches how late the demuxer's frames leave it against their running time
// from 1 to 3 s after its first one. When the median frame is late, that much
// is added, once, to the latency the demuxer's source pads answer, and the
// pipeline is asked to take it: the run is then timed as if its first frame
// had come at the sender's median point, and the input's latency is left for
// the frames later than that and the network's jitter. A start whose median
// frame is on time or early pays nothing. Connect before the demuxer leaves
// READY.
void correct_early_start(GstElement *demuxer);

}  // namespace nerko
