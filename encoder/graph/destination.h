// Where the four UDP senders point: one host and a base port, read from the
// OUTPUT argument "scheme://host:port".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "encoder/control/encoder_error.h"

namespace nerko {

struct Destination {
  std::string host;    // name or address as written (an IPv6 one without its brackets)
  int32_t base_port;   // video RTP; the other three ports follow it, all within 1..65535
};

// The highest base port whose three followers are still UDP ports.
inline constexpr int32_t kHighestBasePort = 65535 - 3;

// Splits at every ":" (keeping empty parts): the host is the second part with
// every "/" removed, the port the third part as a signed 32-bit decimal; the
// scheme and any parts after the port are not looked at. A host in brackets
// ("udp://[ff15::1234]:5000") is an IPv6 address and keeps its colons. The
// four ports must all lie in 1..65535. A malformed text is an error whose
// message says why ("no port part").
Result<Destination> parse_destination(std::string_view output);

// As parse_destination; a malformed destination is a FatalStop error naming
// it: "Malformed destination \"<output>\" (expected scheme://host:port): <why>".
Result<Destination> destination_for_senders(std::string_view output);

// The address the senders use for `host`, looked up once (the first answer
// of the system's resolver, as numeric text); an error naming the host and
// the resolver's reason when it has none.
Result<std::string> resolve_host(const std::string &host);

// True for a literal IPv6 address (without brackets).
bool is_ipv6_address(std::string_view host);

// base_port + offset with 32-bit wrap-around: a port past 2147483647 becomes
// negative and is refused by udpsink's "port" range, not here.
int32_t session_port(int32_t base_port, int32_t offset);

}  // namespace nerko
