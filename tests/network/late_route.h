// Streams to a destination that cannot be reached when the encoder starts and
// becomes reachable while it runs. Only inside a private network.
#pragma once

#include <optional>
#include <string>

namespace nerko::network_test {

struct LateRoute {
  std::string host;                   // the encoder's destination host
  std::string receiver_address;       // what the receiver binds
  std::optional<std::string> group;   // a group the receiver joins on lo
  std::string make_reachable;         // `ip` arguments that give the host a route
};

// Checks that sends fail for want of a route while the encoder keeps running
// and counting nothing, that the stream reaches the receiver once the route
// appears, and that the run still ends at end of stream with status 0.
void stream_while_the_route_appears(const LateRoute &route);

}  // namespace nerko::network_test
