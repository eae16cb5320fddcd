#include "encoder/graph/opus_encoder.h"

#include "encoder/graph/properties.h"

namespace nerko {

Status configure_opus_encoder(GstElement *encoder, int32_t target_audio_bitrate,
                              uint32_t audio_fec_percent) {
  if (Status e = set_int_property(encoder, "bitrate", target_audio_bitrate))
    return e;
  set_property_from_text(encoder, "bitrate-type", "constrained-vbr");
  if (audio_fec_percent == 0)
    return std::nullopt;
  if (Status e = set_bool_property(encoder, "inband-fec", true))
    return e;
  // The property is signed: the same 32-bit pattern goes in, and values past
  // 2147483647 arrive negative and are refused by its range.
  return set_int_property(encoder, "packet-loss-percentage", static_cast<int32_t>(audio_fec_percent));
}

}  // namespace nerko
