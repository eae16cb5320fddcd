#include "encoder/graph/destination.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "encoder/graph/settings.h"

namespace nerko {
namespace {

std::string without_slashes(std::string_view text) {
  std::string kept;
  for (char c : text)
    if (c != '/')
      kept += c;
  return kept;
}

EncoderError malformed(std::string reason) { return EncoderError::library(std::move(reason)); }

// inet_pton reads only up to a NUL: text after one must not ride along.
bool is_ipv6_literal(const std::string &host) {
  in6_addr address{};
  return host.find('\0') == std::string::npos && inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// The host of `rest` (the text after the scheme's ":"), and what follows it
// from the ":" before the port on. A bracketed host is an IPv6 address,
// whose own colons do not split it.
Result<std::string> read_host(std::string_view &rest) {
  size_t open = rest.find_first_not_of('/');
  if (open == std::string_view::npos || rest[open] != '[') {
    size_t colon = rest.find(':');
    std::string host = without_slashes(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon);
    return host;
  }
  size_t close = rest.find(']', open);
  if (close == std::string_view::npos)
    return malformed("the IPv6 host has no closing \"]\"");
  std::string host(rest.substr(open + 1, close - open - 1));
  if (!is_ipv6_literal(host))
    return malformed("\"[" + host + "]\" is not an IPv6 address");
  rest = rest.substr(close + 1);
  if (!rest.empty() && rest[0] != ':')
    return malformed("\"" + std::string(rest) + "\" follows the IPv6 host instead of \":port\"");
  return host;
}

}  // namespace

Result<Destination> parse_destination(std::string_view output) {
  size_t scheme_end = output.find(':');
  if (scheme_end == std::string_view::npos)
    return malformed("no host part");
  std::string_view rest = output.substr(scheme_end + 1);
  Result<std::string> host = read_host(rest);
  if (!host)
    return host.error();
  if (rest.empty())
    return malformed("no port part");
  std::string_view port_text = rest.substr(1);
  port_text = port_text.substr(0, port_text.find(':'));
  std::optional<int32_t> port = parse_int32(port_text);
  if (!port)
    return malformed("port \"" + std::string(port_text) + "\" is not a signed 32-bit decimal integer");
  // Port 0 is no destination at all, and past 65535 the sums would wrap
  // into other ports: every one of the four must be a real UDP port.
  if (*port < 1 || *port > kHighestBasePort)
    return malformed("ports " + std::to_string(*port) + " to " + std::to_string(int64_t{*port} + 3) +
                     " are not all within 1 to 65535");
  return Destination{host.take(), *port};
}

Result<Destination> destination_for_senders(std::string_view output) {
  Result<Destination> destination = parse_destination(output);
  if (!destination)
    return EncoderError::fatal("Malformed destination \"" + std::string(output) +
                               "\" (expected scheme://host:port): " + destination.error().message());
  return destination;
}

Result<std::string> resolve_host(const std::string &host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  int result = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  char address[NI_MAXHOST] = "";
  if (result == 0) {
    result = getnameinfo(found->ai_addr, found->ai_addrlen, address, sizeof address, nullptr, 0, NI_NUMERICHOST);
    freeaddrinfo(found);
  }
  if (result != 0) {
    std::string why = result == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(result);
    return EncoderError::library("Cannot resolve the destination host \"" + host + "\": " + why);
  }
  return std::string(address);
}

bool is_ipv6_address(std::string_view host) { return is_ipv6_literal(std::string(host)); }

int32_t session_port(int32_t base_port, int32_t offset) {
  // Unsigned addition wraps without undefined behaviour; the conversion back is modular.
  return static_cast<int32_t>(static_cast<uint32_t>(base_port) + static_cast<uint32_t>(offset));
}

}  // namespace nerko
