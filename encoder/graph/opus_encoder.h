// opusenc for the audio session: the operator's bitrate, constrained VBR, and
// in-band FEC sized by the audio FEC percentage (0 leaves it off).
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "encoder/control/encoder_error.h"

namespace nerko {

// Stops at the first property that refuses its value.
Status configure_opus_encoder(GstElement *encoder, int32_t target_audio_bitrate,
                              uint32_t audio_fec_percent);

// An input that comes back, or a decoder after a lost packet, marks its
// first buffer discontinuous though its samples follow on within the
// encoder's tolerance. The encoder would keep its timestamps but pass the
// mark on, and the payloader would then take the RTP time afresh from the
// timestamp: a step of a few samples that a receiver conceals. The encoder
// judges continuity by the timestamps alone, and marks a real jump itself.
void judge_continuity_by_timestamps(GstElement *encoder);

}  // namespace nerko
