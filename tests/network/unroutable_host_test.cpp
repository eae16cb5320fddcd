// A unicast destination with no route at start: the encoder keeps streaming
// into the refusal and delivers once the host becomes reachable.
#include <gtest/gtest.h>

#include "late_route.h"
#include "network_stream.h"
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

// Looked up once at start: a name without an address ends the run before
// anything plays, instead of streaming to nowhere.
TEST(NetworkUnroutableHost, AHostThatDoesNotResolveEndsTheRunAtStart) {
  if (!inside_private_network()) {
    rerun_in_private_network();
    return;
  }
  ASSERT_NO_FATAL_FAILURE(bring_up_loopback_only());
  TemporaryDirectory dir;
  testing_support::Outcome outcome = testing_support::run_to_end(
      {"zolvane", "-i", "file://" + (dir.path() / "never-opened.ogg").string(), "udp://no-such-host.invalid:5000",
       (dir.path() / "stats.txt").string()},
      default_settings());
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.err.rfind("Error! Cannot resolve the destination host \"no-such-host.invalid\": ", 0), 0u)
      << outcome.err;
  EXPECT_EQ(outcome.out, "FEC Settings VIDEO: 100 AUDIO: 100\n");  // no banner: nothing played
}

}  // namespace
}  // namespace nerko::network_test
