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

}  // namespace nerko
