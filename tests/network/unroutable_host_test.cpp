// A unicast destination with no route at start: the encoder keeps streaming
// into the refusal and delivers once the host becomes reachable.
#include <gtest/gtest.h>

#include "late_route.h"
#include "private_network.h"

namespace nerko::network_test {
namespace {

TEST(NetworkUnroutableHost, StreamGoesOnAndArrivesOnceTheHostGetsARoute) {
  if (!inside_private_network()) {
    rerun_in_private_network();
    return;
  }
  // Giving the address to lo is what makes it routable in a network that
  // has nothing but lo.
  stream_while_the_route_appears(
      {"10.255.0.1", "0.0.0.0", std::nullopt, "addr add 10.255.0.1/32 dev lo"});
}

}  // namespace
}  // namespace nerko::network_test
