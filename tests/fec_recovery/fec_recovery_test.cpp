// ULPFEC that really recovers: every 20th VP8 packet (5 %) is dropped as it
// arrives at the receiver, before anything stores it, and the FEC decoder
// rebuilds them from the encoder's FEC packets. The same drops without video
// FEC cost frames, which shows the FEC is what saves them. The numbers are
// printed and recorded with the test.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "tools/receive/receiver.h"
#include "sdp/streaming_support.h"

namespace nerko::test {
namespace {

using receive::ReceiveCounts;
using receive::ReceiveOptions;
using receive::Receiver;
using testing_support::EnvChanges;
using testing_support::Outcome;

constexpr int kFrames = 75;
constexpr int kAudioBuffers = 50;
constexpr unsigned kDropEvery = 20;
// Long enough for FEC packets that a loaded machine delays behind the media.
constexpr int kLatencyMs = 2000;

// What the receiver counted once the counts stood still for longer than its
// jitter buffer holds packets, so the last frames are out however slowly a
// loaded machine (or a sanitizer build) delivers them.
ReceiveCounts settled_counts(const Receiver &receiver) {
  using Clock = std::chrono::steady_clock;
  const auto still = std::chrono::milliseconds(kLatencyMs + 500);
  const auto limit = Clock::now() + std::chrono::seconds(30);
  ReceiveCounts last = receiver.counts();
  auto changed = Clock::now();
  while (Clock::now() - changed < still && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ReceiveCounts now = receiver.counts();
    if (!(now == last)) {
      last = now;
      changed = Clock::now();
    }
  }
  return last;
}

class FecRecovery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("nerko-fec-recovery-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    clip_ = dir_ / "clip.ogg";
    make_clip(clip_, kFrames, kAudioBuffers);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // Streams the clip with `video_fec_percent` to a receiver in this process
  // that drops every 20th VP8 packet; what it counted once all came out.
  ReceiveCounts stream_through_drops(const char *video_fec_percent, unsigned loss_percent = 0) {
    int port = free_port_block();
    std::string reason;
    auto source = receive::source_from_output(output_for(port), reason);
    EXPECT_TRUE(source) << reason;
    ReceiveOptions options;
    options.check = true;
    options.drop_video_every = loss_percent ? 0 : kDropEvery;
    options.loss_percent = loss_percent;
    options.latency_ms = kLatencyMs;
    Receiver receiver(*source, options);
    EXPECT_TRUE(receiver.start(reason)) << reason;

    EnvChanges env = encoder_environment();
    env["NERKO_VIDEO_FEC_PERCENT"] = video_fec_percent;
    Outcome encoder = stream_clip(clip_, port, dir_ / "stats.txt", env);
    EXPECT_EQ(encoder.exit_status, 0) << encoder.err;
    ReceiveCounts counts = settled_counts(receiver);
    receiver.stop();
    return counts;
  }

  void report(const char *what, const ReceiveCounts &c) {
    std::cout << what << ": " << c.dropped << " VP8 packets dropped, " << c.video_lost << " video packets lost, "
              << c.video_recovered << " recovered by FEC, " << c.unrecovered << " unrecovered, " << c.video_frames
              << " of " << kFrames << " frames decoded\n";
    std::string prefix = what;
    RecordProperty(prefix + "_dropped", std::to_string(c.dropped));
    RecordProperty(prefix + "_recovered", std::to_string(c.video_recovered));
    RecordProperty(prefix + "_frames", std::to_string(c.video_frames));
  }

  static fs::path dir_, clip_;
};

fs::path FecRecovery::dir_, FecRecovery::clip_;

TEST_F(FecRecovery, UlpfecRebuildsFivePercentDroppedVideoPackets) {
  ReceiveCounts c = stream_through_drops("100");
  report("video_fec_100", c);
  ASSERT_GT(c.dropped, 0u);
  // The jitter buffer saw every dropped packet missing; the FEC decoder
  // rebuilt them, so every frame decodes.
  EXPECT_GE(c.video_lost, c.dropped);
  EXPECT_GE(c.video_recovered, c.dropped);
  EXPECT_EQ(c.unrecovered, 0u);
  EXPECT_EQ(c.video_frames, static_cast<uint64_t>(kFrames));
  EXPECT_GT(c.audio_samples, 0u);
}

TEST_F(FecRecovery, WithoutVideoFecTheSameDropsCostFrames) {
  ReceiveCounts c = stream_through_drops("0");
  report("video_fec_0", c);
  ASSERT_GT(c.dropped, 0u);
  EXPECT_EQ(c.video_recovered, 0u);
  // Every packet the jitter buffer saw missing stays lost. A drop among the
  // stream's last packets has nothing after it to show the hole, so the
  // jitter buffer may see one loss fewer than were dropped.
  EXPECT_EQ(c.unrecovered, c.video_lost);
  EXPECT_LE(c.video_lost, c.dropped);
  EXPECT_GE(c.video_lost + 1, c.dropped);
  EXPECT_LT(c.video_frames, static_cast<uint64_t>(kFrames));
}

TEST_F(FecRecovery, OpusInbandFecRebuildsLostAudioPackets) {
  ReceiveCounts c = stream_through_drops("100", 10);
  report("loss_10", c);
  ASSERT_GT(c.audio_lost, 0u);
  // A lost packet followed by one that arrived is rebuilt from its FEC data.
  EXPECT_GT(c.audio_recovered, 0u);
  EXPECT_LE(c.audio_recovered, c.audio_lost);
}

}  // namespace
}  // namespace nerko::test
