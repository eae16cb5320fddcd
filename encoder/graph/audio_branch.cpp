#include "encoder/graph/audio_branch.h"

#include <string>

#include "encoder/graph/element_chain.h"
#include "encoder/graph/opus_encoder.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/rtp_session.h"
#include "encoder/graph/settings.h"

namespace nerko {
namespace {

// With a backup or a slate the encoder keeps the first input's sample rate
// and channels, whatever the next input brings.
Result<ElementRef> first_format_filter(GstPad *decoder_pad) {
  Result<std::vector<ElementRef>> made = make_elements({"capsfilter"});
  if (!made)
    return made.error();
  CapsRef caps(gst_pad_get_current_caps(decoder_pad));
  const GstStructure *first = caps ? gst_caps_get_structure(caps.get(), 0) : nullptr;
  int rate = 0, channels = 0;
  if (first && gst_structure_get_int(first, "rate", &rate) && gst_structure_get_int(first, "channels", &channels)) {
    CapsRef kept(gst_caps_new_simple("audio/x-raw", "rate", G_TYPE_INT, rate, "channels", G_TYPE_INT, channels,
                                     nullptr));
    if (Status s = set_caps_property(made.value()[0].get(), "caps", kept.get()))
      return *s;
  }
  return std::move(made.value()[0]);
}

}  // namespace

Status build_audio_branch(const BranchTarget &target, uint32_t audio_fec_percent) {
  // The second queue is made before the payloader but sits behind it.
  Result<std::vector<ElementRef>> made = make_elements(
      {"audioconvert", "audioresample", "queue", "opusenc", "queue", "rtpopuspay", "udpsink", "udpsink"});
  if (!made)
    return made.error();
  const std::vector<ElementRef> &elements = made.value();
  GstElement *convert = elements[0].get();
  GstElement *resample = elements[1].get();
  GstElement *encoder_queue = elements[2].get();
  GstElement *encoder = elements[3].get();
  GstElement *session_queue = elements[4].get();
  GstElement *payloader = elements[5].get();
  GstElement *rtp_sender = elements[6].get();
  GstElement *rtcp_sender = elements[7].get();

  if (Status s = add_elements(target.pipeline, elements))
    return s;
  GstElement *resampled = resample;
  if (target.heads && target.heads->gate) {
    Result<ElementRef> filter = first_format_filter(target.decoder_pad);
    if (!filter)
      return filter.error();
    if (!gst_bin_add(GST_BIN(target.pipeline), filter.value().get()))
      return EncoderError::library("Failed to add elements");
    resampled = filter.value().get();
    if (Status s = link_elements({{resample, resampled}}))
      return s;
  }
  if (Status s = link_elements({{convert, resample},
                                {resampled, encoder_queue},
                                {encoder_queue, encoder},
                                {encoder, payloader},
                                {payloader, session_queue}}))
    return s;
  ElementRef head, funnel;
  if (Status s = wire_branch(target, kAudioSession, convert, session_queue, rtp_sender, head, funnel))
    return s;
  if (Status s = link_rtcp_sender(target.rtpbin, kAudioSession, rtcp_sender))
    return s;
  if (Status s = set_uint_property(payloader, "pt", kAudioSession.payload_type))
    return s;

  Result<int32_t> bitrate = read_target_audio_bitrate();
  if (!bitrate)
    return bitrate.error();
  std::fputs(("Target audio bitrate " + std::to_string(bitrate.value()) + "\n").c_str(), target.console);

  if (Status s = configure_opus_encoder(encoder, bitrate.value(), audio_fec_percent))
    return s;
  judge_continuity_by_timestamps(encoder);
  if (Status s = configure_session_senders(kAudioSession, target.destination, rtp_sender, rtcp_sender,
                                           target.heads != nullptr))
    return s;

  target.sinks.audio_rtp = ref_object(rtp_sender);
  target.sinks.audio_rtcp = ref_object(rtcp_sender);
  target.sinks.audio_entry = ref_object(head ? head.get() : convert);
  if (head)
    target.sinks.audio_head = std::move(head);
  if (funnel)
    target.sinks.audio_funnel = std::move(funnel);
  return std::nullopt;
}

}  // namespace nerko
