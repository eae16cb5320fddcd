// vp8enc tuned for live multicast: real-time deadline, short key-frame
// distance, error resilience, and the operator's settings.
#pragma once

#include <gst/gst.h>

#include "encoder/control/encoder_error.h"
#include "encoder/graph/settings.h"

namespace nerko {

// Sets the encoder's properties in a fixed order and stops at the first one
// that refuses its value, leaving the rest untouched.
Status configure_vp8_encoder(GstElement *encoder, const VideoSettings &settings);

}  // namespace nerko
