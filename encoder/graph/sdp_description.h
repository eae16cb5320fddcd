// The session description (SDP) of what the encoder sends, for receivers that
// set themselves up from a file instead of from the OUTPUT argument.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nerko {

struct SessionDescription {
  std::string host;         // the destination host, as the senders use it
  int32_t base_port;        // video RTP; RTCP and audio follow as the senders do
  bool video;               // a video branch sends on base_port and base_port + 1
  bool video_fec;           // ULPFEC packets (payload type 100) share the video port
  bool audio;               // an audio branch sends on base_port + 2 and base_port + 3
  bool audio_fec;           // Opus in-band FEC is on
  uint64_t session_id;      // stays the same for the whole run
  uint64_t version;         // grows with every rewrite, so receivers can tell
};

// True for an IPv4 address in 224.0.0.0/4, written in dotted decimal.
bool is_ipv4_multicast(std::string_view host);
// True for that or an IPv6 address in ff00::/8.
bool is_multicast(std::string_view host);

// The whole description, lines ending in CR LF: only the streams that exist
// get a media section; an IPv4 multicast host carries the senders' TTL of
// 64; an IPv6 host is given as "IN IP6".
std::string session_description_text(const SessionDescription &description);

}  // namespace nerko
