#include "encoder/graph/video_branch.h"

#include "encoder/graph/element_chain.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/rtp_session.h"
#include "encoder/graph/settings.h"
#include "encoder/graph/vp8_encoder.h"

namespace nerko {

Status build_video_branch(const BranchTarget &target, GstCaps *size_caps, GstCaps *rate_caps, bool interlaced) {
  // The second queue is made before the payloader but sits behind it.
  Result<std::vector<ElementRef>> made =
      make_elements({"videoconvert", "videoscale", "capsfilter", "videorate", "capsfilter",
                     "videoconvert", "queue", "vp8enc", "queue", "rtpvp8pay", "udpsink", "udpsink"});
  if (!made)
    return made.error();
  const std::vector<ElementRef> &elements = made.value();
  GstElement *convert = elements[0].get();
  GstElement *scale = elements[1].get();
  GstElement *size_filter = elements[2].get();
  GstElement *rate = elements[3].get();
  GstElement *rate_filter = elements[4].get();
  GstElement *encoder_convert = elements[5].get();
  GstElement *encoder_queue = elements[6].get();
  GstElement *encoder = elements[7].get();
  GstElement *session_queue = elements[8].get();
  GstElement *payloader = elements[9].get();
  GstElement *rtp_sender = elements[10].get();
  GstElement *rtcp_sender = elements[11].get();

  if (Status s = add_elements(target.pipeline, elements))
    return s;
  // VP8 has no interlaced coding: interlaced pictures are made progressive
  // right after the first converter, which gives the deinterlacer a format it
  // takes. Progressive input goes straight on. A stream that outlives its
  // input always has one: a later input may be interlaced where the first
  // was not, and the deinterlacer passes progressive pictures through.
  GstElement *scale_input = convert;
  if (interlaced || target.heads) {
    Result<std::vector<ElementRef>> deinterlacer = make_elements({"deinterlace"});
    if (!deinterlacer)
      return deinterlacer.error();
    if (Status s = add_elements(target.pipeline, deinterlacer.value()))
      return s;
    scale_input = deinterlacer.value()[0].get();
    if (Status s = link_elements({{convert, scale_input}}))
      return s;
  }
  if (Status s = link_elements({{scale_input, scale},
                                {scale, size_filter},
                                {size_filter, rate},
                                {rate, rate_filter},
                                {rate_filter, encoder_convert},
                                {encoder_convert, encoder_queue},
                                {encoder_queue, encoder},
                                {encoder, payloader},
                                {payloader, session_queue}}))
    return s;
  ElementRef head;
  if (Status s = wire_branch(target, kVideoSession, convert, session_queue, rtp_sender, head))
    return s;

  Result<VideoSettings> read = read_video_settings();
  if (!read)
    return read.error();
  const VideoSettings &settings = read.value();
  std::fputs(final_settings_line(settings).c_str(), target.console);
  std::fputs(video_threads_line(settings).c_str(), target.console);

  if (Status s = link_rtcp_sender(target.rtpbin, kVideoSession, rtcp_sender))
    return s;
  if (Status s = set_uint_property(payloader, "pt", kVideoSession.payload_type))
    return s;
  if (settings.boost) {
    if (Status s = set_caps_property(size_filter, "caps", size_caps))
      return s;
    if (Status s = set_caps_property(rate_filter, "caps", rate_caps))
      return s;
    std::fputs("NERKO BOOST ENABLED\n", target.console);
  }
  if (Status s = configure_session_senders(kVideoSession, target.destination, rtp_sender, rtcp_sender,
                                           target.heads != nullptr))
    return s;
  // Each new input brings a segment that starts at its own zero, seconds
  // before its first frame; videorate would fill that span with copies of the
  // frame, stamped from the segment's start: a burst that sends the RTP time
  // back by as much.
  if (target.heads)
    if (Status s = set_bool_property(rate, "skip-to-first", true))
      return s;
  if (Status s = configure_vp8_encoder(encoder, settings))
    return s;

  target.sinks.video_rtp = ref_object(rtp_sender);
  target.sinks.video_rtcp = ref_object(rtcp_sender);
  if (head)
    target.sinks.video_head = std::move(head);
  return std::nullopt;
}

}  // namespace nerko
