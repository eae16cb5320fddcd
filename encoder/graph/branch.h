// What the encoder does with one decoded stream.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "encoder/control/encoder_error.h"
#include "encoder/graph/live_rate_head.h"
#include "encoder/graph/sdp_file.h"
#include "encoder/control/stream_sinks.h"

namespace nerko {

// Looks at the caps of `new_pad` and, with `sinks` locked for the whole call,
// parses `output`, builds the video branch for "video/x-raw" or the audio
// branch for "audio/x-raw" (nothing for any other stream), and brings the new
// elements to the pipeline's state. A stream of a kind that is sent already
// is decoded into a discarding sink, with one line on standard error.
// Settings lines go to `console`. With a `session_description`, a built
// branch also rewrites that file. A non-empty `host_address` (the host as
// resolved at start) replaces the host of `output` for the senders.
// With `heads` every branch starts with a live-rate element, and a stream of
// a kind whose branch an earlier input built is linked to that branch's head
// instead, while the head is free; with the heads' gate, every input's
// stream of a kind feeds that branch's funnel through `feeds`, the first
// only of each kind.
// A pad without caps, a malformed destination and a malformed setting are
// FatalStop errors. Once `sinks.stopping` is set it builds nothing.
Status build_branch(StreamSinks &sinks, const std::string &output, GstElement *pipeline,
                    GstElement *rtpbin, GstPad *new_pad, uint32_t audio_fec_percent,
                    std::FILE *console = stdout,
                    SessionDescriptionFile *session_description = nullptr,
                    const std::string &host_address = "", const LiveRateHeads *heads = nullptr,
                    InputFeeds *feeds = nullptr);

}  // namespace nerko
