// A receiver on four consecutive UDP ports that records, per port, the RTP
// payload types and RTCP packet types it sees and the TTL each datagram
// carried on the wire (read from the datagram itself, IP_RECVTTL).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace nerko::network_test {

struct PortRecord {
  int datagrams = 0;
  std::set<int> ttls;
  std::set<int> rtp_payload_types;  // second byte & 0x7f of RTP packets
  std::set<int> rtcp_packet_types;  // second byte when it is 200..204
};

class DatagramReceiver {
 public:
  // Binds `address` (an IPv4 or IPv6 literal: any address or a multicast
  // group) on base_port .. base_port + 3. With `group_on_loopback` the
  // sockets join that group on `lo` by interface index, which needs no
  // multicast route. An IPv6 datagram's hop limit is recorded as its TTL; an
  // IPv6 group is joined on `interface` (IPv4 ones always on lo).
  DatagramReceiver(const std::string &address, int base_port,
                   std::optional<std::string> group_on_loopback = std::nullopt,
                   const std::string &interface = "lo");
  ~DatagramReceiver();
  DatagramReceiver(const DatagramReceiver &) = delete;
  DatagramReceiver &operator=(const DatagramReceiver &) = delete;

  // Whether any socket failed to open, bind or join; the reason in error().
  bool failed() const { return !error_.empty(); }
  const std::string &error() const { return error_; }

  // Waits until a datagram has reached base_port + offset, at most `limit`.
  bool wait_for_datagram(int offset, std::chrono::seconds limit);
  // Stops receiving after what is queued has been read.
  void stop();
  PortRecord record(int offset) const;

 private:
  void receive();

  int fds_[4] = {-1, -1, -1, -1};
  std::string error_;
  bool stopping_ = false;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  PortRecord records_[4];
  std::thread thread_;
};

}  // namespace nerko::network_test
