#include "encoder/graph/audio_branch.h"

#include <string>

#include "encoder/graph/element_chain.h"
#include "encoder/graph/opus_encoder.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/rtp_session.h"
#include "encoder/graph/settings.h"

namespace nerko {

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
  if (Status s = link_elements({{convert, resample},
                                {resample, encoder_queue},
                                {encoder_queue, encoder},
                                {encoder, payloader},
                                {payloader, session_queue}}))
    return s;
  ElementRef head;
  if (Status s = wire_branch(target, kAudioSession, convert, session_queue, rtp_sender, head))
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
  if (Status s = configure_session_senders(kAudioSession, target.destination, rtp_sender, rtcp_sender,
                                           target.heads != nullptr))
    return s;

  target.sinks.audio_rtp = ref_object(rtp_sender);
  target.sinks.audio_rtcp = ref_object(rtcp_sender);
  if (head)
    target.sinks.audio_head = std::move(head);
  return std::nullopt;
}

}  // namespace nerko
