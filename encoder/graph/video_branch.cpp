#include "encoder/graph/video_branch.h"

#include <string_view>

#include "encoder/graph/element_chain.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/rtp_session.h"
#include "encoder/graph/settings.h"
#include "encoder/graph/vp8_encoder.h"

namespace nerko {
namespace {

// With a backup or a slate the encoder keeps the first input's picture size,
// pixel shape and frame rate (twice it for interlaced pictures, which the
// deinterlacer makes one frame of each field), whatever the next input
// brings: the scaler borders a picture of another shape.
Status keep_first_format(GstPad *decoder_pad, GstElement *size_filter, GstElement *rate_filter) {
  CapsRef caps(gst_pad_get_current_caps(decoder_pad));
  const GstStructure *first = caps ? gst_caps_get_structure(caps.get(), 0) : nullptr;
  int width = 0, height = 0, par_n = 1, par_d = 1, fps_n = 0, fps_d = 1;
  if (!first || !gst_structure_get_int(first, "width", &width) || !gst_structure_get_int(first, "height", &height))
    return std::nullopt;
  gst_structure_get_fraction(first, "pixel-aspect-ratio", &par_n, &par_d);
  CapsRef size(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                   "pixel-aspect-ratio", GST_TYPE_FRACTION, par_n, par_d, nullptr));
  if (Status s = set_caps_property(size_filter, "caps", size.get()))
    return s;
  if (!gst_structure_get_fraction(first, "framerate", &fps_n, &fps_d) || fps_n <= 0)
    return std::nullopt;
  const char *mode = gst_structure_get_string(first, "interlace-mode");
  if (mode && std::string_view(mode) != "progressive")
    fps_n *= 2;
  CapsRef rate(gst_caps_new_simple("video/x-raw", "framerate", GST_TYPE_FRACTION, fps_n, fps_d, nullptr));
  return set_caps_property(rate_filter, "caps", rate.get());
}

}  // namespace

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
  ElementRef head, funnel;
  if (Status s = wire_branch(target, kVideoSession, convert, session_queue, rtp_sender, head, funnel))
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
  // Without a picture number a WebRTC receiver can chain frames only by
  // sequence number, and a gateway that hands the ULPFEC packets on as VP8
  // breaks every chain: the browser then decodes key frames alone. The
  // other receivers read the number and pass over it.
  set_property_from_text(payloader, "picture-id-mode", "15-bit");
  if (settings.boost) {
    if (Status s = set_caps_property(size_filter, "caps", size_caps))
      return s;
    if (Status s = set_caps_property(rate_filter, "caps", rate_caps))
      return s;
    std::fputs("NERKO BOOST ENABLED\n", target.console);
  } else if (target.heads && target.heads->gate) {
    if (Status s = keep_first_format(target.decoder_pad, size_filter, rate_filter))
      return s;
  }
  if (Status s = configure_session_senders(kVideoSession, target.destination, rtp_sender, rtcp_sender,
                                           target.heads != nullptr))
    return s;
  // The output segment starts at running time zero, seconds before the first
  // frame; videorate would fill that span with copies of the frame, stamped
  // from the segment's start: a burst at start.
  if (target.heads)
    if (Status s = set_bool_property(rate, "skip-to-first", true))
      return s;
  // With NERKO_LATENCY_MS videorate only drops: making up a frame needs the
  // next one to know how long the last lasts, which holds every frame back by
  // one. The encoder takes frames as they come; a stream that outlives its
  // input has its live-rate head to fill gaps.
  Result<std::optional<uint32_t>> latency = read_input_latency();
  if (!latency)
    return latency.error();
  if (latency.value())
    if (Status s = set_bool_property(rate, "drop-only", true))
      return s;
  if (Status s = configure_vp8_encoder(encoder, settings))
    return s;

  target.sinks.video_rtp = ref_object(rtp_sender);
  target.sinks.video_rtcp = ref_object(rtcp_sender);
  target.sinks.video_entry = ref_object(head ? head.get() : convert);
  if (head)
    target.sinks.video_head = std::move(head);
  if (funnel)
    target.sinks.video_funnel = std::move(funnel);
  return std::nullopt;
}

}  // namespace nerko
