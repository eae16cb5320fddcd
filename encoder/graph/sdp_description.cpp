#include "encoder/graph/sdp_description.h"

#include <arpa/inet.h>

#include "encoder/graph/destination.h"
#include "encoder/graph/fec.h"
#include "encoder/graph/rtp_session.h"
#include "encoder/graph/udp_sender.h"

namespace nerko {
namespace {

void line(std::string &text, const std::string &content) {
  text += content;
  text += "\r\n";
}

}  // namespace

bool is_ipv4_multicast(std::string_view host) {
  in_addr address{};
  if (inet_pton(AF_INET, std::string(host).c_str(), &address) != 1)
    return false;
  return (ntohl(address.s_addr) >> 28) == 0xe;
}

bool is_multicast(std::string_view host) {
  in6_addr address{};
  if (inet_pton(AF_INET6, std::string(host).c_str(), &address) == 1)
    return address.s6_addr[0] == 0xff;
  return is_ipv4_multicast(host);
}

std::string session_description_text(const SessionDescription &d) {
  const std::string video_port = std::to_string(session_port(d.base_port, kVideoSession.rtp_port_offset));
  const std::string video_rtcp_port = std::to_string(session_port(d.base_port, kVideoSession.rtcp_port_offset));
  const std::string audio_port = std::to_string(session_port(d.base_port, kAudioSession.rtp_port_offset));
  const std::string audio_rtcp_port = std::to_string(session_port(d.base_port, kAudioSession.rtcp_port_offset));
  const std::string video_pt = std::to_string(kVideoSession.payload_type);
  const std::string fec_pt = std::to_string(kFecPayloadType);
  const std::string audio_pt = std::to_string(kAudioSession.payload_type);

  std::string text;
  line(text, "v=0");
  // The origin names this run: its id stays, its version grows per rewrite.
  line(text, "o=- " + std::to_string(d.session_id) + " " + std::to_string(d.version) + " IN IP4 127.0.0.1");
  line(text, "s=nerko-encoder");
  // IPv6 multicast is scoped by its address, so it carries no TTL.
  std::string connection = (is_ipv6_address(d.host) ? "c=IN IP6 " : "c=IN IP4 ") + d.host;
  if (is_ipv4_multicast(d.host))
    connection += "/" + std::to_string(kMulticastTtl);
  line(text, connection);
  line(text, "t=0 0");
  if (d.video) {
    // The ULPFEC packets come on the same port in the same sequence-number
    // space, so they are a second format of the video stream, not a stream.
    line(text, "m=video " + video_port + " RTP/AVP " + video_pt + (d.video_fec ? " " + fec_pt : ""));
    line(text, "a=rtpmap:" + video_pt + " VP8/90000");
    if (d.video_fec)
      line(text, "a=rtpmap:" + fec_pt + " ulpfec/90000");
    line(text, "a=rtcp:" + video_rtcp_port);
  }
  if (d.audio) {
    line(text, "m=audio " + audio_port + " RTP/AVP " + audio_pt);
    line(text, "a=rtpmap:" + audio_pt + " opus/48000/2");
    if (d.audio_fec)
      line(text, "a=fmtp:" + audio_pt + " useinbandfec=1");
    line(text, "a=rtcp:" + audio_rtcp_port);
  }
  return text;
}

}  // namespace nerko
