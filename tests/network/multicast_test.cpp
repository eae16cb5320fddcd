// The encoder streaming to a multicast group for real, seen by a receiver
// that joined the group: every datagram carries TTL 64 on the wire.
#include <gtest/gtest.h>

#include "datagram_receiver.h"
#include "late_route.h"
#include "network_stream.h"
#include "private_network.h"

namespace nerko::network_test {
namespace {

using namespace std::chrono_literals;
using testing_support::Outcome;
using testing_support::run_to_end;

const std::string kGroup = "239.255.42.1";

TEST(NetworkMulticast, GroupMemberReceivesRtpAndRtcpWithTtl64) {
  if (!inside_private_network()) {
    rerun_in_private_network();
    return;
  }
  ASSERT_NO_FATAL_FAILURE(bring_up_loopback_only());
  ASSERT_NO_FATAL_FAILURE(run_ip("route add 224.0.0.0/4 dev lo"));
  TemporaryDirectory dir;
  ASSERT_FALSE(dir.path().empty());
  const auto clip = dir.path() / "clip.ogg";
  ASSERT_NO_FATAL_FAILURE(make_clip(clip, 6));
  DatagramReceiver receiver(kGroup, 5000, kGroup);
  ASSERT_FALSE(receiver.failed()) << receiver.error();

  Outcome outcome = run_to_end({"zolvane", "-i", "file://" + clip.string(), "udp://" + kGroup + ":5000",
                                (dir.path() / "stats.txt").string()},
                               default_settings(), 120s);
  receiver.stop();

  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(outcome.err.find("Error!"), std::string::npos) << outcome.err;
  PortRecord video = receiver.record(0);
  PortRecord video_rtcp = receiver.record(1);
  PortRecord audio = receiver.record(2);
  PortRecord audio_rtcp = receiver.record(3);
  EXPECT_EQ(video.rtp_payload_types, (std::set<int>{96, 100}));
  EXPECT_EQ(audio.rtp_payload_types, (std::set<int>{97}));
  EXPECT_TRUE(video_rtcp.rtcp_packet_types.count(200)) << "a sender report on the video RTCP port";
  EXPECT_TRUE(audio_rtcp.rtcp_packet_types.count(200)) << "a sender report on the audio RTCP port";
  for (int offset = 0; offset < 4; ++offset)
    EXPECT_EQ(receiver.record(offset).ttls, (std::set<int>{64})) << "port offset " << offset;

  std::vector<SentBytes> ticks = statistics_lines(outcome.out);
  ASSERT_FALSE(ticks.empty()) << outcome.out;
  EXPECT_GT(ticks.back().video_rtp, 0u);
  EXPECT_GT(ticks.back().audio_rtp, 0u);
}

// A bracketed IPv6 group: the senders use IPv6 with hop limit 64.
TEST(NetworkMulticast, IPv6GroupMemberReceivesEveryPortWithHopLimit64) {
  if (!inside_private_network()) {
    rerun_in_private_network();
    return;
  }
  const std::string group = "ff15::1234";
  ASSERT_NO_FATAL_FAILURE(bring_up_loopback_only());
  // IPv6 multicast is not looped back over lo; a veth pair of this
  // namespace's own carries it, and the sender's copy loops back to us.
  for (const char *command : {"link add nerko0 type veth peer name nerko1", "link set nerko1 up",
                              "link set nerko0 up", "-6 addr add fd00::1/64 dev nerko0 nodad",
                              "-6 route add ff15::/16 dev nerko0 table main"})
    ASSERT_NO_FATAL_FAILURE(run_ip(command));
  TemporaryDirectory dir;
  const auto clip = dir.path() / "clip.ogg";
  ASSERT_NO_FATAL_FAILURE(make_clip(clip, 6));  // long enough for RTCP on every port
  DatagramReceiver receiver("::", 5000, group, "nerko0");
  ASSERT_FALSE(receiver.failed()) << receiver.error();

  Outcome outcome = run_to_end({"zolvane", "-i", "file://" + clip.string(), "udp://[" + group + "]:5000",
                                (dir.path() / "stats.txt").string()},
                               default_settings(), 120s);
  receiver.stop();

  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(receiver.record(0).rtp_payload_types, (std::set<int>{96, 100}));
  EXPECT_EQ(receiver.record(2).rtp_payload_types, (std::set<int>{97}));
  for (int offset = 0; offset < 4; ++offset)
    EXPECT_EQ(receiver.record(offset).ttls, (std::set<int>{64})) << "port offset " << offset;
}

// The senders used to join the group they send to; with no multicast route
// yet the join was refused and the run ended at once with an error.
TEST(NetworkMulticast, WithoutARouteTheStreamGoesOnAndReachesTheGroupOnceRouted) {
  if (!inside_private_network()) {
    rerun_in_private_network();
    return;
  }
  stream_while_the_route_appears({kGroup, kGroup, kGroup, "route add 224.0.0.0/4 dev lo"});
}

}  // namespace
}  // namespace nerko::network_test
