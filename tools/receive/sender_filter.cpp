#include "tools/receive/sender_filter.h"

#include <gst/net/gstnetaddressmeta.h>
#include <gst/rtp/gstrtpbuffer.h>

#include <cstdio>

#include "encoder/control/gst_ref.h"

namespace nerko::receive {
namespace {

std::string ssrc_text(uint32_t ssrc) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", ssrc);
  return text;
}

// The UDP source of the packet, as udpsrc recorded it: "address:port", an
// IPv6 address in brackets as in the encoder's destinations.
std::string source_of(GstBuffer *buffer) {
  GstNetAddressMeta *meta = gst_buffer_get_net_address_meta(buffer);
  if (!meta || !G_IS_INET_SOCKET_ADDRESS(meta->addr))
    return "an unknown address";
  GInetSocketAddress *socket_address = G_INET_SOCKET_ADDRESS(meta->addr);
  GInetAddress *address = g_inet_socket_address_get_address(socket_address);
  GStringRef host(g_inet_address_to_string(address));
  std::string text = host.get();
  if (g_inet_address_get_family(address) == G_SOCKET_FAMILY_IPV6)
    text = "[" + text + "]";
  return text + ":" + std::to_string(g_inet_socket_address_get_port(socket_address));
}

}  // namespace

SenderFilter::Decision SenderFilter::admit(uint32_t ssrc, int64_t now_us) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!followed_ || *followed_ == ssrc) {
    followed_ = ssrc;
    followed_heard_us_ = now_us;
    return {Verdict::Followed};
  }
  const bool known = others_.count(ssrc) != 0;
  if (now_us - followed_heard_us_ < kRestartSilenceUs) {
    if (known)
      return {Verdict::KnownOther};
    others_.insert(ssrc);
    ++named_;
    return {Verdict::NewOther};
  }
  // The followed sender is gone: whoever speaks now keeps the port decoding.
  const uint32_t replaced = *followed_;
  followed_ = ssrc;
  followed_heard_us_ = now_us;
  if (!known)
    return {Verdict::Restarted, replaced};
  others_.erase(ssrc);
  return {Verdict::TakenOver, replaced};
}

unsigned SenderFilter::senders() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return (followed_ ? 1 : 0) + named_;
}

std::string SenderFilter::another_sender_line(uint32_t ssrc, const std::string &from) const {
  return "Another sender on " + medium_ + " port " + std::to_string(port_) + ": SSRC " + ssrc_text(ssrc) +
         ", from " + from + "\n";
}

std::string SenderFilter::restarted_line(uint32_t ssrc, uint32_t replaced) const {
  return "Sender restarted on " + medium_ + " port " + std::to_string(port_) + ": SSRC " + ssrc_text(ssrc) +
         " replaces " + ssrc_text(replaced) + "\n";
}

PacketFate admit_packet(SenderFilter &filter, GstBuffer *buffer) {
  GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
  if (!gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp))
    return PacketFate::Drop;
  const uint32_t ssrc = gst_rtp_buffer_get_ssrc(&rtp);
  gst_rtp_buffer_unmap(&rtp);

  SenderFilter::Decision decision = filter.admit(ssrc, g_get_monotonic_time());
  switch (decision.verdict) {
    case SenderFilter::Verdict::Followed:
      return PacketFate::Pass;
    case SenderFilter::Verdict::Restarted:
      std::fputs(filter.restarted_line(ssrc, decision.replaced).c_str(), stderr);
      return PacketFate::PassFromNewSender;
    case SenderFilter::Verdict::TakenOver:
      return PacketFate::PassFromNewSender;
    case SenderFilter::Verdict::NewOther:
      std::fputs(filter.another_sender_line(ssrc, source_of(buffer)).c_str(), stderr);
      return PacketFate::Drop;
    case SenderFilter::Verdict::KnownOther:
      break;
  }
  return PacketFate::Drop;
}

}  // namespace nerko::receive
