// The ULPFEC encoder that rtpbin asks for through "request-fec-encoder".
#pragma once

#include <gst/gst.h>

#include <cstdint>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"

namespace nerko {

// "request-fec-encoder" of rtpbin.
struct FecRequestContext {
  uint32_t video_fec_percent;
  // The pipeline's bus, where a malformed emission is posted as a fatal stop
  // (not the pipeline: rtpbin, which holds this context, is inside it).
  BusRef bus;
};

// Payload type of the FEC packets of session 0.
inline constexpr uint32_t kFecPayloadType = 100;

// An rtpulpfecenc with payload type 100, FEC over several packets and the
// given overhead percentage.
Result<ElementRef> make_fec_encoder(uint32_t video_fec_percent);

// The handler proper. `values` are the emission's parameters: values[0] the
// rtpbin, values[1] the session number; anything else there is a fatal stop,
// posted on the context's bus and answered with null.
// Returns a new reference for session 0 (rtpbin owns it from then on) and
// null for every other session. A failure to make the encoder is posted from
// the rtpbin as "Failed to make FEC encoder" and answered with null.
GstElement *on_request_fec_encoder(const GValue *values, guint n_values, const FecRequestContext &context);

// A closure for "request-fec-encoder" that owns `context` and frees it when
// the connection is destroyed.
GClosure *make_fec_request_closure(FecRequestContext *context);

}  // namespace nerko
