// Unicast to a port nobody listens on: the kernel answers with ICMP port
// unreachable, and the encoder streams on to the end of its input.
#include <gtest/gtest.h>

#include "network_stream.h"
#include "private_network.h"

namespace nerko::network_test {
namespace {

using namespace std::chrono_literals;
using testing_support::Outcome;
using testing_support::run_to_end;

// In a private network so that no other program can be listening on the port.
TEST(NetworkUnlistenedPort, StreamRunsToTheEndWithStatusZero) {
  if (!inside_private_network()) {
    rerun_in_private_network();
    return;
  }
  ASSERT_NO_FATAL_FAILURE(bring_up_loopback_only());
  TemporaryDirectory dir;
  ASSERT_FALSE(dir.path().empty());
  const auto clip = dir.path() / "clip.ogg";
  ASSERT_NO_FATAL_FAILURE(make_clip(clip, 6));

  const int64_t unreachable_before = snmp_counter("Icmp", "OutDestUnreachs");
  ASSERT_GE(unreachable_before, 0);
  Outcome outcome = run_to_end({"zolvane", "-i", "file://" + clip.string(), "udp://127.0.0.1:5000",
                                (dir.path() / "stats.txt").string()},
                               default_settings(), 120s);

  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(outcome.err.find("Error!"), std::string::npos) << outcome.err;
  // The refusals really came back while the encoder was sending.
  EXPECT_GT(snmp_counter("Icmp", "OutDestUnreachs"), unreachable_before);
  std::vector<SentBytes> ticks = statistics_lines(outcome.out);
  ASSERT_FALSE(ticks.empty()) << outcome.out;
  EXPECT_GT(ticks.back().video_rtp, 0u);
  EXPECT_GT(ticks.back().audio_rtp, 0u);
}

}  // namespace
}  // namespace nerko::network_test
