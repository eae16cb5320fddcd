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
