// scripts/receive --check beside the encoder: what it prints, and its exit
// status when nothing was decoded, when a second encoder sends to the same
// destination, or when the command line is wrong.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "sdp/streaming_support.h"

namespace nerko::test {
namespace {

using testing_support::Outcome;
using testing_support::RunningProgram;

constexpr const char *kUsage =
    "Usage: nerko-receive [--check SECONDS] [--drop-video-every N] [--loss PERCENT] [--latency MS] "
    "udp://HOST:PORT|FILE.sdp\n";

class FecRecoveryReceiveCheck : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("nerko-receive-check-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    clip_ = dir_ / "clip.ogg";
    make_clip(clip_, 50, 30);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  Outcome run_receive(const std::vector<std::string> &arguments) {
    std::vector<std::string> argv{"receive"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunningProgram receive(receive_script(), argv, receive_environment());
    return receive.finish(std::chrono::seconds(120));
  }

  static fs::path dir_, clip_;
};

fs::path FecRecoveryReceiveCheck::dir_, FecRecoveryReceiveCheck::clip_;

TEST_F(FecRecoveryReceiveCheck, BesideTheEncoderItCountsDecodedLostAndRecovered) {
  int port = free_port_block();
  RunningProgram receiver(receive_script(),
                          {"receive", "--check", "300", "--drop-video-every", "20", "--latency", "1000",
                           output_for(port)},
                          receive_environment());
  ASSERT_EQ(receiver.next_out_line(), "Receiving from " + output_for(port) + " for 300 s\n") << receiver.err();
  Outcome encoder = stream_clip(clip_, port, dir_ / "stats.txt", encoder_environment());
  EXPECT_EQ(encoder.exit_status, 0) << encoder.err;
  std::this_thread::sleep_for(std::chrono::seconds(2));
  // Stopped early, it still reports what it counted.
  receiver.send_signal(SIGTERM);
  Outcome received = receiver.finish();

  std::cout << received.out;
  EXPECT_EQ(received.exit_status, 0) << received.err;
  EXPECT_EQ(received.err, "");
  auto counts = parse_check(received.out);
  ASSERT_TRUE(counts) << received.out;
  ASSERT_TRUE(counts->dropped);
  EXPECT_GT(*counts->dropped, 0u);
  EXPECT_GE(counts->recovered, *counts->dropped);
  EXPECT_EQ(counts->lost, counts->video_lost + counts->audio_lost);
  EXPECT_EQ(counts->frames, 50u);
  EXPECT_GT(counts->samples, 0u);
}

// The text with its SSRCs (0x and eight lowercase hex digits) and senders'
// ports, which differ from run to run, as 0xSSRC and PORT.
std::string masked(std::string text) {
  for (size_t at = text.find("0x"); at != std::string::npos; at = text.find("0x", at + 1))
    if (text.find_first_not_of("0123456789abcdef", at + 2) == at + 10)
      text.replace(at + 2, 8, "SSRC");
  for (size_t at = text.find("127.0.0.1:"); at != std::string::npos; at = text.find("127.0.0.1:", at + 1))
    if (size_t digits = text.find_first_not_of("0123456789", at + 10) - (at + 10); digits > 0)
      text.replace(at + 10, digits, "PORT");
  return text;
}

// One sender alone, a second one while the first still sends, or a second
// one after the first has ended and a pause: what the receiver follows and says.
TEST_F(FecRecoveryReceiveCheck, TheFirstSenderIsFollowedAndAnyOtherIsNamed) {
  enum Second { None, WhileTheFirstSends, AfterAPause };
  const struct {
    const char *name;
    Second second;
    int exit_status;
    const char *named;  // the line of each medium: its start and, after "<medium> port <port>", its end
    const char *details;
    unsigned senders;   // seen per medium
    uint64_t frames;    // 0: some, from a first sender stopped halfway
  } cases[] = {
      {"one sender", None, 0, nullptr, nullptr, 1, 50},
      {"two senders at once", WhileTheFirstSends, 1, "Another sender on", ": SSRC 0xSSRC, from 127.0.0.1:PORT", 2,
       0},
      {"a restarted sender", AfterAPause, 0, "Sender restarted on", ": SSRC 0xSSRC replaces 0xSSRC", 1, 100},
  };
  const fs::path long_clip = dir_ / "long.ogg";
  make_clip(long_clip, 500, 900);  // outlasts the second sender by far
  for (const auto &row : cases) {
    SCOPED_TRACE(row.name);
    int port = free_port_block();
    RunningProgram receiver(receive_script(), {"receive", "--check", "300", "--latency", "1000", output_for(port)},
                            receive_environment());
    ASSERT_EQ(receiver.next_out_line(), "Receiving from " + output_for(port) + " for 300 s\n") << receiver.err();
    if (row.second == WhileTheFirstSends) {
      RunningProgram first({"zolvane", "-i", "file://" + long_clip.string(), output_for(port),
                            (dir_ / "first.txt").string()}, encoder_environment());
      // Its first statistics line: it has been sending for a while.
      auto line = first.next_out_line();
      while (line && !line->starts_with("nerko-encoder ("))
        line = first.next_out_line();
      ASSERT_TRUE(line) << first.err();
      EXPECT_EQ(stream_clip(clip_, port, dir_ / "second.txt", encoder_environment()).exit_status, 0);
      first.kill_and_wait();
    } else {
      EXPECT_EQ(stream_clip(clip_, port, dir_ / "first.txt", encoder_environment()).exit_status, 0);
    }
    if (row.second == AfterAPause) {
      // Longer than the silence after which a new SSRC is the same sender restarted.
      std::this_thread::sleep_for(std::chrono::seconds(3));
      EXPECT_EQ(stream_clip(clip_, port, dir_ / "second.txt", encoder_environment()).exit_status, 0);
    }
    // Packets in the jitter buffers come out within their latency.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    receiver.send_signal(SIGTERM);
    Outcome received = receiver.finish();

    EXPECT_EQ(received.exit_status, row.exit_status) << received.err;
    auto counts = parse_check(received.out);
    ASSERT_TRUE(counts) << received.out;
    EXPECT_EQ(counts->video_senders, row.senders);
    EXPECT_EQ(counts->audio_senders, row.senders);
    EXPECT_TRUE(row.frames ? counts->frames == row.frames : counts->frames > 0) << received.out;
    EXPECT_GT(counts->samples, 0u);
    // Only the followed sender is counted, and a restart's jump in sequence numbers is no loss.
    EXPECT_EQ(counts->lost, 0u) << received.out;
    std::string video, audio;
    if (row.named) {
      video = std::string(row.named) + " video port " + std::to_string(port) + row.details + "\n";
      audio = std::string(row.named) + " audio port " + std::to_string(port + 2) + row.details + "\n";
    }
    // Each medium is told apart on its own thread, so the two lines come in either order.
    EXPECT_TRUE(masked(received.err) == video + audio || masked(received.err) == audio + video) << received.err;
  }
}

TEST_F(FecRecoveryReceiveCheck, NothingDecodedEndsWithStatusOne) {
  std::string output = output_for(free_port_block());
  Outcome outcome = run_receive({"--check", "1", output});
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "Receiving from " + output + " for 1 s\n"
                         "Video frames decoded: 0\n"
                         "Audio samples decoded: 0\n"
                         "Packets lost: 0 (video 0, audio 0)\n"
                         "Packets recovered by FEC: 0 (video 0, audio 0; unrecovered 0)\n"
                         "Senders seen: video 0, audio 0\n");
  EXPECT_EQ(outcome.err, "Nothing decoded from " + output + "\n");
}

TEST_F(FecRecoveryReceiveCheck, PlayingOnChosenSinksStopsOnSignalWithItsCounts) {
  std::string output = output_for(free_port_block());
  testing_support::EnvChanges env = receive_environment();
  env["RECEIVER_VIDEO_SINK"] = "fakesink";
  env["RECEIVER_AUDIO_SINK"] = "fakesink";
  RunningProgram receiver(receive_script(), {"receive", output}, env);
  ASSERT_EQ(receiver.next_out_line(), "Playing " + output + " (Ctrl-C to stop)\n") << receiver.err();
  receiver.send_signal(SIGINT);
  Outcome outcome = receiver.finish();
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "Video frames decoded: 0\n"
                         "Audio samples decoded: 0\n"
                         "Packets lost: 0 (video 0, audio 0)\n"
                         "Packets recovered by FEC: 0 (video 0, audio 0; unrecovered 0)\n"
                         "Senders seen: video 0, audio 0\n");
  EXPECT_EQ(outcome.err, "Nothing decoded from " + output + "\n");
}

TEST_F(FecRecoveryReceiveCheck, ASinkThatCannotBeMadeEndsWithStatusOne) {
  testing_support::EnvChanges env = receive_environment();
  env["RECEIVER_VIDEO_SINK"] = "no-such-sink";
  RunningProgram receiver(receive_script(), {"receive", output_for(free_port_block())}, env);
  Outcome outcome = receiver.finish();
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Error! Cannot make the sink \"no-such-sink\": no element \"no-such-sink\"\n");
}

TEST_F(FecRecoveryReceiveCheck, AUnicastPortAlreadyInUseIsRefusedNotShared) {
  int port = free_port_block();
  // Another program holds the audio port, with address reuse allowed on its side.
  int holder = socket(AF_INET, SOCK_DGRAM, 0);
  int on = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port + 2));
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  Outcome outcome = run_receive({"--check", "1", output_for(port)});
  close(holder);
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.out, "");
  EXPECT_TRUE(outcome.err.starts_with("Error! The receiving pipeline does not start: ")) << outcome.err;
  EXPECT_NE(outcome.err.find("127.0.0.1:" + std::to_string(port + 2) + ": Address already in use"),
            std::string::npos)
      << outcome.err;
}

TEST_F(FecRecoveryReceiveCheck, AWrongCommandLineEndsWithStatusTwoAndTheUsage) {
  Outcome none = run_receive({});
  EXPECT_EQ(none.exit_status, 2);
  EXPECT_EQ(none.err, std::string("Error! no source given\n") + kUsage);

  Outcome bad_seconds = run_receive({"--check", "soon", "udp://127.0.0.1:5000"});
  EXPECT_EQ(bad_seconds.exit_status, 2);
  EXPECT_EQ(bad_seconds.err, std::string("Error! --check needs a whole number above 0\n") + kUsage);

  Outcome bad_output = run_receive({"--check", "1", "udp://127.0.0.1"});
  EXPECT_EQ(bad_output.exit_status, 2);
  EXPECT_EQ(bad_output.err, "Error! Cannot receive from udp://127.0.0.1: no port part\n");
  EXPECT_EQ(bad_output.out, "");
}

}  // namespace
}  // namespace nerko::test
