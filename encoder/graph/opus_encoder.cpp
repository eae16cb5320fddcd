#include "encoder/graph/opus_encoder.h"

#include "encoder/control/gst_ref.h"
#include "encoder/graph/properties.h"

namespace nerko {

Status configure_opus_encoder(GstElement *encoder, int32_t target_audio_bitrate,
                              uint32_t audio_fec_percent) {
  if (Status e = set_int_property(encoder, "bitrate", target_audio_bitrate))
    return e;
  set_property_from_text(encoder, "bitrate-type", "constrained-vbr");
  if (audio_fec_percent != 0) {
    if (Status e = set_bool_property(encoder, "inband-fec", true))
      return e;
    // The property is signed: the same 32-bit pattern goes in, and values
    // past 2147483647 arrive negative and are refused by its range.
    if (Status e = set_int_property(encoder, "packet-loss-percentage", static_cast<int32_t>(audio_fec_percent)))
      return e;
  }
  // A live input's timestamps jitter by a few milliseconds; followed as they
  // come, each packet's RTP time steps by more or less than its 20 ms, and a
  // receiver's jitter buffer conceals the overlaps and holes it sees. The
  // samples are contiguous, so they are stamped by their count, and a jump
  // beyond the encoder's tolerance (a real hole) still resynchronises.
  if (Status e = set_bool_property(encoder, "perfect-timestamp", true))
    return e;
  return std::nullopt;
}

namespace {

GstPadProbeReturn drop_discont_flag(GstPad *, GstPadProbeInfo *info, gpointer) {
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer || !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT))
    return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  GST_BUFFER_FLAG_UNSET(buffer, GST_BUFFER_FLAG_DISCONT);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

}  // namespace

void judge_continuity_by_timestamps(GstElement *encoder) {
  PadRef sink(gst_element_get_static_pad(encoder, "sink"));
  if (sink)
    gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_BUFFER, drop_discont_flag, nullptr, nullptr);
}

}  // namespace nerko
