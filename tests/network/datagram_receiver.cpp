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

// One socket bound to address:port, or -1 with the reason in `error`.
int open_socket(const in_addr &address, int port, const std::optional<in_addr> &group,
                std::string &error) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = failure("socket");
    return -1;
  }
  int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = address;
  local.sin_port = htons(static_cast<uint16_t>(port));
  if (setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0) {
    error = failure("IP_RECVTTL");
  } else if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    error = failure("bind to port " + std::to_string(port));
  } else if (group) {
    ip_mreqn membership{};
    membership.imr_multiaddr = *group;
    membership.imr_ifindex = static_cast<int>(if_nametoindex("lo"));
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
      error = failure("joining the group on lo");
  }
  if (!error.empty()) {
    close(fd);
    return -1;
  }
  return fd;
}

// As open_socket, for IPv6: the hop limit comes with every datagram.
int open_socket6(const in6_addr &address, int port, const std::optional<in6_addr> &group, unsigned interface,
                 std::string &error) {
  int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = failure("socket");
    return -1;
  }
  int on = 1;
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  local.sin6_addr = address;
  local.sin6_port = htons(static_cast<uint16_t>(port));
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on) != 0) {
    error = failure("IPV6_RECVHOPLIMIT");
  } else if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    error = failure("bind to port " + std::to_string(port));
  } else if (group) {
    ipv6_mreq membership{};
    membership.ipv6mr_multiaddr = *group;
    membership.ipv6mr_interface = interface;
    if (setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
      error = failure("joining the group on lo");
  }
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
  in6_addr bound6{}, group6{};
  if (inet_pton(AF_INET6, address.c_str(), &bound6) == 1) {
    if (group_on_loopback && inet_pton(AF_INET6, group_on_loopback->c_str(), &group6) != 1)
      error_ = "not an IPv6 address: " + *group_on_loopback;
    std::optional<in6_addr> group = group_on_loopback ? std::optional<in6_addr>(group6) : std::nullopt;
    for (int i = 0; i < 4 && error_.empty(); ++i)
      fds_[i] = open_socket6(bound6, base_port + i, group, if_nametoindex(interface.c_str()), error_);
    if (error_.empty())
      thread_ = std::thread([this] { receive(); });
    return;
  }
  in_addr bound{};
  if (inet_pton(AF_INET, address.c_str(), &bound) != 1) {
    error_ = "not an IPv4 address: " + address;
    return;
  }
  std::optional<in_addr> group;
  if (group_on_loopback) {
    group.emplace();
    if (inet_pton(AF_INET, group_on_loopback->c_str(), &*group) != 1) {
      error_ = "not an IPv4 address: " + *group_on_loopback;
      return;
    }
  }
  for (int i = 0; i < 4 && error_.empty(); ++i)
    fds_[i] = open_socket(bound, base_port + i, group, error_);
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
