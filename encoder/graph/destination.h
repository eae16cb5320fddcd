// Where the four UDP senders point: one host and a base port, read from the
// OUTPUT argument "scheme://host:port".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nerko {

struct Destination {
  std::string host;    // handed to udpsink unchanged; may be empty
  int32_t base_port;   // video RTP; the other three ports follow it
};

// Splits at every ":" (keeping empty parts): the host is the second part with
// every "/" removed, the port the third part as a signed 32-bit decimal; the
// scheme and any parts after the port are not looked at. On a malformed text
// returns nullopt and says why in `reason`.
std::optional<Destination> parse_destination(std::string_view output, std::string &reason);

// As parse_destination; a malformed destination is a fatal stop naming it.
Destination destination_or_stop(std::string_view output);

// base_port + offset with 32-bit wrap-around: a port past 2147483647 becomes
// negative and is refused by udpsink's "port" range, not here.
int32_t session_port(int32_t base_port, int32_t offset);

}  // namespace nerko
