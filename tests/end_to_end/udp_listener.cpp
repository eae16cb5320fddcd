#include "udp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace nerko::test {
namespace {

int bind_loopback(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int bound_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  return ntohs(address.sin_port);
}

// Whether a VP8 packet's payload descriptor carries a 15-bit PictureID.
bool has_long_picture_id(const unsigned char *datagram, ssize_t n) {
  ssize_t at = 12 + 4 * (datagram[0] & 0x0f);
  if ((datagram[0] & 0x10) && at + 4 <= n)
    at += 4 + 4 * (datagram[at + 2] << 8 | datagram[at + 3]);
  return at + 3 <= n && (datagram[at] & 0x80) && (datagram[at + 1] & 0x80) && (datagram[at + 2] & 0x80);
}

}  // namespace

ReservedUdpPort::ReservedUdpPort() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t size = sizeof address;
  bind(fd_, reinterpret_cast<sockaddr *>(&address), size);
  getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &size);
  port_ = std::to_string(ntohs(address.sin_port));
}

ReservedUdpPort::~ReservedUdpPort() { close(fd_); }

UdpListener::UdpListener() {
  // Let the kernel pick a free port, then try to take the three after it.
  for (int attempt = 0; attempt < 100 && base_port_ == 0; ++attempt) {
    int first = bind_loopback(0);
    int base = bound_port(first);
    if (base > 65532) {
      close(first);
      continue;
    }
    int fds[4] = {first, bind_loopback(base + 1), bind_loopback(base + 2), bind_loopback(base + 3)};
    if (fds[1] >= 0 && fds[2] >= 0 && fds[3] >= 0) {
      for (int i = 0; i < 4; ++i)
        fds_[i] = fds[i];
      base_port_ = base;
    } else {
      for (int fd : fds)
        if (fd >= 0)
          close(fd);
    }
  }
  if (base_port_ == 0)
    throw std::runtime_error("no four consecutive free UDP ports on 127.0.0.1");
  thread_ = std::thread([this] { listen(); });
}

UdpListener::~UdpListener() {
  stop();
  for (int fd : fds_)
    if (fd >= 0)
      close(fd);
}

void UdpListener::stop() {
  stopping_ = true;
  if (thread_.joinable())
    thread_.join();
}

PortTraffic UdpListener::traffic(int offset) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return traffic_[offset];
}

void UdpListener::listen() {
  pollfd polled[4];
  for (int i = 0; i < 4; ++i)
    polled[i] = {fds_[i], POLLIN, 0};
  // Drains what is queued even after stop() was asked for.
  for (;;) {
    int ready = poll(polled, 4, 100);
    if (ready <= 0) {
      if (stopping_)
        return;
      continue;
    }
    for (int i = 0; i < 4; ++i) {
      if (!(polled[i].revents & POLLIN))
        continue;
      unsigned char datagram[65536];
      ssize_t n = recv(fds_[i], datagram, sizeof datagram, 0);
      if (n < 2)
        continue;
      std::lock_guard<std::mutex> lock(mutex_);
      PortTraffic &t = traffic_[i];
      ++t.datagrams;
      if ((datagram[0] >> 6) == 2)
        ++t.rtp_version_2;
      if (datagram[1] >= 200 && datagram[1] <= 204)
        // Every packet of a compound: a BYE follows the report it ends.
        for (ssize_t at = 0; at + 4 <= n; at += 4 * ((datagram[at + 2] << 8 | datagram[at + 3]) + 1))
          t.rtcp_packet_types.insert(datagram[at + 1]);
      else
        t.rtp_payload_types.insert(datagram[1] & 0x7f);
      if (n >= 12 && (datagram[1] < 200 || datagram[1] > 204)) {
        int sequence = datagram[2] << 8 | datagram[3];
        t.sequence_jumps += t.last_sequence >= 0 && sequence != ((t.last_sequence + 1) & 0xffff);
        t.last_sequence = sequence;
        t.rtp_ssrcs.insert(uint32_t(datagram[8]) << 24 | datagram[9] << 16 | datagram[10] << 8 | datagram[11]);
        const uint32_t time = uint32_t(datagram[4]) << 24 | datagram[5] << 16 | datagram[6] << 8 | datagram[7];
        auto last = t.last_rtp_time.find(datagram[1] & 0x7f);
        const int payload_type = datagram[1] & 0x7f;
        t.vp8_without_picture_id += payload_type == 96 && !has_long_picture_id(datagram, n);
        if (payload_type == 97 && ++t.opus_packets > 2)
          t.opus_steps_not_20ms += time - last->second != 960;
        // Wrap-around aware: RTP time is a 32-bit counter.
        t.rtp_time_steps_back += last != t.last_rtp_time.end() && static_cast<int32_t>(time - last->second) < 0;
        t.last_rtp_time[datagram[1] & 0x7f] = time;
      }
    }
  }
}

}  // namespace nerko::test
