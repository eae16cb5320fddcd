#include "encoder/graph/vp8_encoder.h"

#include <algorithm>
#include <limits>

#include "encoder/graph/properties.h"

namespace nerko {

Status configure_vp8_encoder(GstElement *encoder, const VideoSettings &s) {
  if (Status e = set_int_property(encoder, "target-bitrate", s.target_video_bitrate))
    return e;
  // A key frame at least every 30 frames bounds how long a late joiner waits.
  if (Status e = set_int_property(encoder, "keyframe-max-dist", 30))
    return e;
  // More threads than cores make libvpx's row threads spin waiting for each
  // other. A count beyond 32 bits signed is out of any range vp8enc takes:
  // clamped, it is refused as out of range like any other too large value.
  const uint32_t threads = std::min<uint32_t>(s.encoder_threads(), std::numeric_limits<int32_t>::max());
  if (Status e = set_int_property(encoder, "threads", static_cast<int32_t>(threads)))
    return e;
  if (Status e = set_int_property(encoder, "cpu-used", -16))
    return e;
  // 1 µs per frame: libvpx's real-time mode.
  if (Status e = set_int64_property(encoder, "deadline", 1))
    return e;
  set_property_from_text(encoder, "end-usage", s.end_usage.c_str());
  if (s.uses_cq_level())
    if (Status e = set_int_property(encoder, "cq-level", s.cq_level))
      return e;
  if (Status e = set_int_property(encoder, "sharpness", s.sharpness))
    return e;
  if (Status e = set_int_property(encoder, "dropframe-threshold", s.dropframe_threshold))
    return e;
  if (Status e = set_int_property(encoder, "buffer-initial-size", s.buffer_initial_size))
    return e;
  if (Status e = set_int_property(encoder, "buffer-optimal-size", s.buffer_optimal_size))
    return e;
  if (Status e = set_int_property(encoder, "buffer-size", s.buffer_size))
    return e;
  if (Status e = set_int_property(encoder, "undershoot", s.undershoot))
    return e;
  if (Status e = set_bool_property(encoder, "resize-allowed", s.resize_allowed))
    return e;
  set_property_from_text(encoder, "error-resilient", "default");
  return std::nullopt;
}

}  // namespace nerko
