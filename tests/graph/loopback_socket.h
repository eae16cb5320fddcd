// A bound UDP socket on 127.0.0.1 for senders under test to send to. Nobody
// reads it: the kernel drops what overflows it, which the senders' counters
// do not see.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nerko::test {

class LoopbackSocket {
 public:
  LoopbackSocket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackSocket() { close(fd_); }
  LoopbackSocket(const LoopbackSocket &) = delete;
  LoopbackSocket &operator=(const LoopbackSocket &) = delete;
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

}  // namespace nerko::test
