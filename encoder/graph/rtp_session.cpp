#include "encoder/graph/rtp_session.h"

#include "encoder/graph/element_chain.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/udp_sender.h"

namespace nerko {

Status link_into_session(GstElement *rtpbin, const RtpSession &session, GstElement *last) {
  Result<PadRef> source = static_pad(last, "src");
  if (!source)
    return source.error();
  Result<PadRef> sink = request_pad(rtpbin, session.rtp_sink);
  if (!sink)
    return sink.error();
  return link_pads(source.value().get(), sink.value().get());
}

Status link_rtp_sender(GstElement *rtpbin, const RtpSession &session, GstElement *sender) {
  Result<PadRef> source = static_pad(rtpbin, session.rtp_src);
  if (!source)
    return source.error();
  return link_to_static_pad(source.value().get(), sender, "sink");
}

Status wire_branch(const BranchTarget &target, const RtpSession &session, GstElement *first, GstElement *last,
                   GstElement *rtp_sender, ElementRef &head, ElementRef &funnel) {
  if (Status s = feed_branch(target.pipeline, target.heads, session.kind, target.decoder_pad, first, head, funnel,
                             target.feeds))
    return s;
  if (Status s = link_into_session(target.rtpbin, session, last))
    return s;
  return link_rtp_sender(target.rtpbin, session, rtp_sender);
}

Status link_rtcp_sender(GstElement *rtpbin, const RtpSession &session, GstElement *sender) {
  Result<PadRef> source = request_pad(rtpbin, session.rtcp_src);
  if (!source)
    return source.error();
  return link_to_static_pad(source.value().get(), sender, "sink");
}

Status configure_session_senders(const RtpSession &session, const Destination &destination,
                                 GstElement *rtp_sender, GstElement *rtcp_sender, bool live_heads) {
  if (Status s = configure_udp_sender(rtp_sender, destination.host,
                                      session_port(destination.base_port, session.rtp_port_offset)))
    return s;
  if (live_heads)
    if (Status s = set_bool_property(rtp_sender, "async", false))
      return s;
  if (Status s = configure_udp_sender(rtcp_sender, destination.host,
                                      session_port(destination.base_port, session.rtcp_port_offset)))
    return s;
  return detach_rtcp_sender(rtcp_sender);
}

Status detach_rtcp_sender(GstElement *sender) {
  if (Status s = set_bool_property(sender, "sync", false))
    return s;
  if (Status s = set_bool_property(sender, "async", false))
    return s;
  GST_OBJECT_FLAG_UNSET(sender, GST_ELEMENT_FLAG_SINK);
  return std::nullopt;
}

}  // namespace nerko
