// Four UDP sockets on consecutive ports of 127.0.0.1 that read the header of
// every datagram, so a test can see which RTP payload types and RTCP packet
// types reached each port, and the SSRCs and sequence numbers of the RTP
// packets.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace nerko::test {

struct PortTraffic {
  int datagrams = 0;
  int rtp_version_2 = 0;
  std::set<int> rtp_payload_types;   // second byte & 0x7f
  std::set<int> rtcp_packet_types;   // of each packet of a compound whose second byte is 200..204
  std::set<uint32_t> rtp_ssrcs;
  int sequence_jumps = 0;  // RTP packets whose sequence number does not follow the one before
  int last_sequence = -1;
  // RTP packets stamped earlier than the one before of their payload type
  int rtp_time_steps_back = 0;
  std::map<int, uint32_t> last_rtp_time;  // by payload type
  // VP8 packets (payload type 96) without a 15-bit PictureID
  int vp8_without_picture_id = 0;
  // Opus packets (payload type 97) stamped other than 20 ms (960) after the
  // one before; the first step is not counted, since the encoder stamps its
  // first packet after its look-ahead.
  int opus_steps_not_20ms = 0;
  int opus_packets = 0;
};

// A UDP port held for an input for the whole test, so no other
// process can take it between choosing and binding. The program's udpsrc
// binds it too (both reuse the address), and the socket bound later gets the
// datagrams.
class ReservedUdpPort {
 public:
  ReservedUdpPort();
  ~ReservedUdpPort();
  ReservedUdpPort(const ReservedUdpPort &) = delete;
  ReservedUdpPort &operator=(const ReservedUdpPort &) = delete;
  const std::string &port() const { return port_; }

 private:
  int fd_;
  std::string port_;
};

class UdpListener {
 public:
  UdpListener();  // binds four free consecutive ports and starts listening
  ~UdpListener();
  UdpListener(const UdpListener &) = delete;
  UdpListener &operator=(const UdpListener &) = delete;

  int base_port() const { return base_port_; }
  // Stops listening; the traffic seen on base_port() + offset.
  void stop();
  PortTraffic traffic(int offset) const;

 private:
  void listen();

  int base_port_ = 0;
  int fds_[4] = {-1, -1, -1, -1};
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  PortTraffic traffic_[4];
  std::thread thread_;
};

}  // namespace nerko::test
