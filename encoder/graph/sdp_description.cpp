#include "sdp_description.h"

#include <arpa/inet.h>

#include "destination.h"

namespace nerko {
namespace {

// What the UDP senders put into the IP header of multicast packets.
constexpr int kMulticastTtl = 64;

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
  const std::string video_port = std::to_string(d.base_port);
  const std::string video_rtcp_port = std::to_string(session_port(d.base_port, 1));
  const std::string audio_port = std::to_string(session_port(d.base_port, 2));
  const std::string audio_rtcp_port = std::to_string(session_port(d.base_port, 3));

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
    line(text, "m=video " + video_port + " RTP/AVP 96" + (d.video_fec ? " 100" : ""));
    line(text, "a=rtpmap:96 VP8/90000");
    if (d.video_fec)
      line(text, "a=rtpmap:100 ulpfec/90000");
    line(text, "a=rtcp:" + video_rtcp_port);
  }
  if (d.audio) {
    line(text, "m=audio " + audio_port + " RTP/AVP 97");
    line(text, "a=rtpmap:97 opus/48000/2");
    if (d.audio_fec)
      line(text, "a=fmtp:97 useinbandfec=1");
    line(text, "a=rtcp:" + audio_rtcp_port);
  }
  return text;
}

}  // namespace nerko
