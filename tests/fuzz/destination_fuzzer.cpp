// The destination parser on arbitrary bytes. An independent reading of
// "scheme://host:port" decides what must be accepted, with which host, port
// and reason; an accepted destination must round-trip through its own
// canonical text, and the session ports must wrap as 32-bit sums.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoder/graph/destination.h"
#include "fuzz_check.h"
#include "setting_oracle.h"

namespace {

struct Expected {
  bool accepted;
  std::string host;
  int32_t port;
  std::string reason;
};

Expected port_of(std::string host, std::string_view after_host) {
  if (after_host.empty())
    return {false, "", 0, "no port part"};
  std::string_view port_text = after_host.substr(1);
  port_text = port_text.substr(0, port_text.find(':'));
  std::optional<int64_t> port = fuzz_oracle::decimal(port_text, true, INT32_MIN, INT32_MAX);
  if (!port)
    return {false, "", 0, "port \"" + std::string(port_text) + "\" is not a signed 32-bit decimal integer"};
  if (*port < 1 || *port + 3 > 65535)
    return {false, "", 0,
            "ports " + std::to_string(*port) + " to " + std::to_string(*port + 3) + " are not all within 1 to 65535"};
  return {true, host, static_cast<int32_t>(*port), ""};
}

Expected oracle_parse(std::string_view text) {
  size_t first = text.find(':');
  if (first == std::string_view::npos)
    return {false, "", 0, "no host part"};
  std::string_view rest = text.substr(first + 1);
  size_t open = rest.find_first_not_of('/');
  if (open != std::string_view::npos && rest[open] == '[') {
    size_t close = rest.find(']', open);
    if (close == std::string_view::npos)
      return {false, "", 0, "the IPv6 host has no closing \"]\""};
    std::string host(rest.substr(open + 1, close - open - 1));
    in6_addr address;
    if (host.find('\0') != std::string::npos || inet_pton(AF_INET6, host.c_str(), &address) != 1)
      return {false, "", 0, "\"[" + host + "]\" is not an IPv6 address"};
    std::string_view after = rest.substr(close + 1);
    if (!after.empty() && after[0] != ':')
      return {false, "", 0, "\"" + std::string(after) + "\" follows the IPv6 host instead of \":port\""};
    return port_of(host, after);
  }
  size_t second = rest.find(':');
  std::string host;
  for (char c : rest.substr(0, second))
    if (c != '/')
      host.push_back(c);
  return port_of(host, second == std::string_view::npos ? std::string_view() : rest.substr(second));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  Expected expected = oracle_parse(text);

  nerko::Result<nerko::Destination> result = nerko::parse_destination(text);
  FUZZ_CHECK(result.ok() == expected.accepted, "accepted %d, expected %d", result.ok(), expected.accepted);
  if (!result) {
    const std::string &reason = result.error().message();
    FUZZ_CHECK(reason == expected.reason, "reason \"%s\", expected \"%s\"", reason.c_str(),
               expected.reason.c_str());
    return 0;
  }
  const nerko::Destination *parsed = &result.value();
  FUZZ_CHECK(parsed->host == expected.host, "host differs");
  FUZZ_CHECK(parsed->base_port == expected.port, "port %d, expected %d", parsed->base_port, expected.port);
  const bool ipv6 = nerko::is_ipv6_address(parsed->host);
  FUZZ_CHECK(parsed->host.find('/') == std::string::npos && (ipv6 || parsed->host.find(':') == std::string::npos),
             "host keeps a separator");

  // The canonical text of what was parsed reads back the same.
  std::string host_text = ipv6 ? "[" + parsed->host + "]" : parsed->host;
  std::string canonical = "udp://" + host_text + ":" + std::to_string(parsed->base_port);
  nerko::Result<nerko::Destination> again = nerko::parse_destination(canonical);
  FUZZ_CHECK(again && again.value().host == parsed->host && again.value().base_port == parsed->base_port,
             "\"%s\" does not round-trip", canonical.c_str());

  for (int32_t offset = 0; offset < 4; ++offset) {
    int64_t sum = int64_t{parsed->base_port} + offset;
    int32_t wrapped = static_cast<int32_t>(sum > INT32_MAX ? sum - (int64_t{1} << 32) : sum);
    FUZZ_CHECK(nerko::session_port(parsed->base_port, offset) == wrapped, "port + %d does not wrap", offset);
  }
  return 0;
}
