#include "datagram_receiver.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nerko::network_test {
namespace {

std::string failure(const std::string &what) { return what + ": " + std::strerror(errno); }

// An IPv4 or IPv6 literal.
struct Address {
  int family = AF_INET;
  in_addr v4{};
  in6_addr v6{};
};

std::optional<Address> parse_address(const std::string &text) {
  Address a;
  if (inet_pton(AF_INET, text.c_str(), &a.v4) == 1)
    return a;
  a.family = AF_INET6;
  if (inet_pton(AF_INET6, text.c_str(), &a.v6) == 1)
    return a;
  return std::nullopt;
}

// One socket bound to address:port that reports each datagram's TTL or hop
// limit, joined to `group` on `interface`; -1 with the reason in `error`.
int open_socket(const Address &address, int port, const std::optional<Address> &group, unsigned interface,
                std::string &error) {
  const bool v6 = address.family == AF_INET6;
  int fd = socket(address.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = failure("socket");
    return -1;
  }
  int on = 1;
  sockaddr_in local{AF_INET, htons(static_cast<uint16_t>(port)), address.v4, {}};
  sockaddr_in6 local6{AF_INET6, htons(static_cast<uint16_t>(port)), 0, address.v6, 0};
  ip_mreqn membership{group ? group->v4 : in_addr{}, {}, static_cast<int>(interface)};
  ipv6_mreq membership6{group ? group->v6 : in6_addr{}, interface};
  if (setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_RECVHOPLIMIT : IP_RECVTTL, &on, sizeof on) != 0)
    error = failure("asking for the TTL");
  else if (v6 ? bind(fd, reinterpret_cast<sockaddr *>(&local6), sizeof local6)
              : bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local))
    error = failure("bind to port " + std::to_string(port));
  else if (group && (v6 ? setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &membership6, sizeof membership6)
                        : setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership)))
    error = failure("joining the group");
  if (!error.empty()) {
    close(fd);
    return -1;
  }
  return fd;
}

// The TTL (IPv4) or hop limit (IPv6) the datagram arrived with, from its
// control data; -1 when absent.
int received_ttl(msghdr &message) {
  for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) ||
        (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT)) {
      int ttl = -1;
      std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
      return ttl;
    }
  }
  return -1;
}

}  // namespace

DatagramReceiver::DatagramReceiver(const std::string &address, int base_port,
                                   std::optional<std::string> group_on_loopback, const std::string &interface) {
  std::optional<Address> bound = parse_address(address);
  std::optional<Address> group = group_on_loopback ? parse_address(*group_on_loopback) : std::nullopt;
  if (!bound || (group_on_loopback && !group)) {
    error_ = "not an IP address: " + address + " " + group_on_loopback.value_or("");
    return;
  }
  // IPv4 groups are joined on lo, IPv6 ones on `interface`.
  unsigned index = if_nametoindex(bound->family == AF_INET6 ? interface.c_str() : "lo");
  for (int i = 0; i < 4 && error_.empty(); ++i)
    fds_[i] = open_socket(*bound, base_port + i, group, index, error_);
  if (error_.empty())
    thread_ = std::thread([this] { receive(); });
}

DatagramReceiver::~DatagramReceiver() {
  stop();
  for (int fd : fds_)
    if (fd >= 0)
      close(fd);
}

bool DatagramReceiver::wait_for_datagram(int offset, std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, limit, [&] { return records_[offset].datagrams > 0; });
}

void DatagramReceiver::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  if (thread_.joinable())
    thread_.join();
}

PortRecord DatagramReceiver::record(int offset) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_[offset];
}

void DatagramReceiver::receive() {
  pollfd polled[4];
  for (int i = 0; i < 4; ++i)
    polled[i] = {fds_[i], POLLIN, 0};
  // Drains what is queued even after stop() was asked for.
  for (;;) {
    if (poll(polled, 4, 100) <= 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_)
        return;
      continue;
    }
    for (int i = 0; i < 4; ++i) {
      if (!(polled[i].revents & POLLIN))
        continue;
      unsigned char datagram[65536];
      alignas(cmsghdr) char control[256];
      iovec data{datagram, sizeof datagram};
      msghdr message{};
      message.msg_iov = &data;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      ssize_t n = recvmsg(fds_[i], &message, 0);
      if (n < 2)
        continue;
      std::lock_guard<std::mutex> lock(mutex_);
      PortRecord &r = records_[i];
      ++r.datagrams;
      r.ttls.insert(received_ttl(message));
      if (datagram[1] >= 200 && datagram[1] <= 204)
        r.rtcp_packet_types.insert(datagram[1]);
      else
        r.rtp_payload_types.insert(datagram[1] & 0x7f);
      arrived_.notify_all();
    }
  }
}

}  // namespace nerko::network_test
