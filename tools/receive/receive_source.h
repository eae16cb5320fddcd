// What a receiver listens to: the encoder's OUTPUT text (udp://HOST:PORT,
// the encoder's fixed ports and payload types) or the session description
// file the encoder writes (NERKO_SDP_FILE).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nerko::receive {

struct VideoStream {
  int port;
  int rtcp_port;
  int payload_type;                 // VP8
  std::optional<int> fec_payload_type;  // ULPFEC in the same sequence-number space
};

struct AudioStream {
  int port;
  int rtcp_port;
  int payload_type;  // Opus
};

struct ReceiveSource {
  std::string host;  // joined when it is a multicast group
  std::optional<VideoStream> video;
  std::optional<AudioStream> audio;
};

// udp://HOST:PORT as the encoder takes it: VP8 (96) with ULPFEC (100) on
// PORT, Opus (97) on PORT + 2, RTCP on PORT + 1 and PORT + 3.
std::optional<ReceiveSource> source_from_output(std::string_view output, std::string &reason);

// The streams a session description lists: the first VP8 video section
// (with its ulpfec format, if any) and the first Opus audio section.
std::optional<ReceiveSource> source_from_description(std::string_view text, std::string &reason);

// An argument containing "://" is an OUTPUT text, anything else the path of
// a session description file.
std::optional<ReceiveSource> source_from_argument(const std::string &argument, std::string &reason);

}  // namespace nerko::receive
