// What the encoder does with one decoded stream.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "encoder_error.h"
#include "sdp_file.h"
#include "stream_sinks.h"

namespace nerko {

// Looks at the caps of `new_pad` and, with `sinks` locked for the whole call,
// parses `output`, builds the video branch for "video/x-raw" or the audio
// branch for "audio/x-raw" (nothing for any other stream), and brings the new
// elements to the pipeline's state. Settings lines go to `console`. With a
// `session_description`, a built branch also rewrites that file.
// A pad without caps, a malformed destination and a malformed setting are
// fatal stops; every other failure is returned.
Status build_branch(StreamSinks &sinks, const std::string &output, GstElement *pipeline,
                    GstElement *rtpbin, GstPad *new_pad, uint32_t audio_fec_percent,
                    std::FILE *console = stdout,
                    SessionDescriptionFile *session_description = nullptr);

}  // namespace nerko
