#include "late_route.h"

#include <gtest/gtest.h>

#include <thread>

#include "datagram_receiver.h"
#include "network_stream.h"
#include "private_network.h"

namespace nerko::network_test {
namespace {

using namespace std::chrono_literals;
using testing_support::Outcome;
using testing_support::RunningProgram;

constexpr int kBasePort = 5000;

// Waits until the namespace has refused at least one more datagram for want
// of a route than `before`; false when none was refused within `limit`.
bool wait_for_refused_send(int64_t before, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (snmp_counter("Ip", "OutNoRoutes") <= before) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

}  // namespace

void stream_while_the_route_appears(const LateRoute &route) {
  ASSERT_NO_FATAL_FAILURE(bring_up_loopback_only());
  TemporaryDirectory dir;
  ASSERT_FALSE(dir.path().empty());
  // Long enough for two statistics ticks: one before the route, one after.
  const auto clip = dir.path() / "clip.ogg";
  ASSERT_NO_FATAL_FAILURE(make_clip(clip, 12));
  DatagramReceiver receiver(route.receiver_address, kBasePort, route.group);
  ASSERT_FALSE(receiver.failed()) << receiver.error();

  const int64_t refused_before = snmp_counter("Ip", "OutNoRoutes");
  ASSERT_GE(refused_before, 0);
  RunningProgram program({"zolvane", "-i", "file://" + clip.string(),
                          "udp://" + route.host + ":" + std::to_string(kBasePort),
                          (dir.path() / "stats.txt").string()},
                         default_settings());

  // The encoder goes on while the network refuses what it sends: its first
  // statistics tick comes and counts nothing sent.
  std::optional<SentBytes> before_route = next_statistics_line(program, 60s);
  ASSERT_TRUE(before_route) << program.finish(5s).err;
  ASSERT_TRUE(wait_for_refused_send(refused_before, 60s)) << "the encoder never tried to send";
  EXPECT_EQ(before_route->video_rtp, 0u);
  EXPECT_EQ(before_route->video_rtcp, 0u);
  EXPECT_EQ(before_route->audio_rtp, 0u);
  EXPECT_EQ(before_route->audio_rtcp, 0u);
  EXPECT_EQ(before_route->total, 0u);
  EXPECT_EQ(receiver.record(0).datagrams, 0);

  ASSERT_NO_FATAL_FAILURE(run_ip(route.make_reachable));
  EXPECT_TRUE(receiver.wait_for_datagram(0, 60s)) << "no video after the route appeared";
  EXPECT_TRUE(receiver.wait_for_datagram(2, 60s)) << "no audio after the route appeared";

  Outcome outcome = program.finish(120s);
  receiver.stop();
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(outcome.err.find("Error!"), std::string::npos) << outcome.err;
  // The clip outlasts the second tick, which comes after the route appeared.
  std::vector<SentBytes> after_route = statistics_lines(outcome.out);
  ASSERT_FALSE(after_route.empty()) << outcome.out;
  EXPECT_GT(after_route.back().video_rtp, 0u);
  EXPECT_GT(after_route.back().audio_rtp, 0u);

  PortRecord video = receiver.record(0);
  EXPECT_TRUE(video.rtp_payload_types.count(96)) << "VP8 payload type";
  video.rtp_payload_types.erase(96);
  video.rtp_payload_types.erase(100);
  EXPECT_TRUE(video.rtp_payload_types.empty()) << "only VP8 and ULPFEC on the video port";
  EXPECT_TRUE(video.rtcp_packet_types.empty());
  EXPECT_EQ(receiver.record(2).rtp_payload_types, (std::set<int>{97}));
  // The datagrams that arrived left with the TTL the encoder set for its
  // multicast senders, or the namespace's default 64 for unicast.
  for (int offset : {0, 2})
    EXPECT_EQ(receiver.record(offset).ttls, (std::set<int>{64})) << "port offset " << offset;
}

}  // namespace nerko::network_test
