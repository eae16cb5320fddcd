// The five-second statistics: the line, the file, the ready check, and the
// counters read from the senders.
#include <gtest/gtest.h>
#include <gst/check/gstharness.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "encoder/control/build_revision.h"
#include "encoder/control/statistics.h"
#include "graph_fixture.h"
#include "loopback_socket.h"

namespace nerko::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string line_for(uint64_t a, uint64_t b, uint64_t c, uint64_t d, uint64_t total) {
  return std::string("nerko-encoder (") + build_revision + "): Video RTP:" + std::to_string(a) +
         ", Video RTCP:" + std::to_string(b) + ", Audio RTP:" + std::to_string(c) + ", Audio RTCP:" +
         std::to_string(d) + ", Total:" + std::to_string(total) + "\n";
}

const std::string kReady = "\x1b[32mREADY FOR PLAYBACK\x1b[0m\n\n";

class StatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("nerko-stats-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    context.sinks = std::make_shared<StreamSinks>();
    context.stats_path = (dir / "stats.txt").string();
  }
  void TearDown() override { fs::remove_all(dir); }

  // One tick with the audio RTP counter at `audio_rtp`; returns its console output.
  std::string tick(uint64_t audio_rtp) {
    CapturedFile out;
    report_tick(context, SenderCounts{10, 1, audio_rtp, 2}, out.get(), err.get());
    return out.text();
  }

  fs::path dir;
  StatsTimerContext context;
  CapturedFile err;
};

TEST_F(StatisticsTest, LineHasTheFourLabelledCountersAndTheirTotal) {
  EXPECT_EQ(statistics_line(SenderCounts{1000, 200, 500, 100}),
            std::string("nerko-encoder (") + build_revision +
                "): Video RTP:1000, Video RTCP:200, Audio RTP:500, Audio RTCP:100, Total:1800\n");
  EXPECT_EQ(statistics_line(SenderCounts{}), line_for(0, 0, 0, 0, 0));
  EXPECT_EQ(statistics_line(SenderCounts{18446744073709551615u, 0, 0, 0}),
            line_for(18446744073709551615u, 0, 0, 0, 18446744073709551615u));
}

TEST_F(StatisticsTest, ConsoleGetsTheLineAndAnEmptyLineTheFileOnlyTheLine) {
  CapturedFile out;
  report_tick(context, SenderCounts{1000, 200, 500, 100}, out.get(), err.get());
  std::string line = line_for(1000, 200, 500, 100, 1800);
  EXPECT_EQ(out.text(), line + "\n");
  EXPECT_EQ(read_file(dir / "stats.txt"), line);
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(context.last_audio_rtp_bytes, 500u);
}

TEST_F(StatisticsTest, LongerFileContentIsCutDownToTheNewLine) {
  std::ofstream(dir / "stats.txt") << std::string(4096, 'x') << "\nold line\n";
  tick(7);
  EXPECT_EQ(read_file(dir / "stats.txt"), line_for(10, 1, 7, 2, 20));
  tick(8);
  EXPECT_EQ(read_file(dir / "stats.txt"), line_for(10, 1, 8, 2, 21));
}

TEST_F(StatisticsTest, ReadyAtTheFirstGrowthFromANonZeroCount) {
  EXPECT_EQ(tick(0).find("READY"), std::string::npos);
  EXPECT_EQ(tick(0).find("READY"), std::string::npos);
  EXPECT_EQ(tick(900).find("READY"), std::string::npos);  // only recorded
  std::string fourth = tick(1800);
  EXPECT_EQ(fourth, line_for(10, 1, 1800, 2, 1813) + "\n" + kReady);
  EXPECT_TRUE(context.ready_printed);
}

TEST_F(StatisticsTest, NoReadyWhileTheCountStandsStill) {
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(tick(500).find("READY"), std::string::npos);
  EXPECT_FALSE(context.ready_printed);
  EXPECT_EQ(context.last_audio_rtp_bytes, 500u);
}

TEST_F(StatisticsTest, ReadyOnceAtTheSecondTickAndNeverAgain) {
  EXPECT_EQ(tick(500).find("READY"), std::string::npos);
  EXPECT_EQ(tick(700), line_for(10, 1, 700, 2, 713) + "\n" + kReady);
  EXPECT_EQ(tick(900).find("READY"), std::string::npos);
  EXPECT_EQ(tick(1100).find("READY"), std::string::npos);
}

TEST_F(StatisticsTest, MissingDirectoryWarnsAtEveryTickAndTheConsoleGoesOn) {
  std::string path = (dir / "missing" / "stats.txt").string();
  context.stats_path = path;
  std::string warning = "Warning, failed to open file " + path + " for writing: No such file or directory\n";
  EXPECT_EQ(tick(500), line_for(10, 1, 500, 2, 513) + "\n");
  EXPECT_EQ(err.text(), warning);
  EXPECT_EQ(tick(700), line_for(10, 1, 700, 2, 713) + "\n" + kReady);
  EXPECT_EQ(err.text(), warning + warning);
  EXPECT_EQ(context.last_audio_rtp_bytes, 700u);
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(StatisticsTest, PathWithSpacesIsUsedUnchanged) {
  context.stats_path = (dir / " stats file.txt").string();
  tick(1);
  EXPECT_EQ(read_file(dir / " stats file.txt"), line_for(10, 1, 1, 2, 14));
}

TEST_F(StatisticsTest, NoFileWithoutAStatisticsArgument) {
  context.write_stats_file = false;
  tick(1);
  EXPECT_FALSE(fs::exists(dir / "stats.txt"));
}

TEST(StatsTickTest, FailedWriteIsAFatalStopReturnedAtOnce) {
  StatsTimerContext context;
  context.stats_path = "/dev/full";
  Status failure = report_tick(context, SenderCounts{1, 2, 3, 4}, stdout, stderr);
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->is_fatal());
  EXPECT_EQ(failure->message(), "Failed to write to bytes served file: No space left on device");
}

TEST(StatsTickTest, FailedWriteEndsTheRunAsAFatalStop) {
  StatsTimerContext context;
  context.sinks = std::make_shared<StreamSinks>();
  context.stats_path = "/dev/full";
  context.main_loop = MainLoopRef(g_main_loop_new(nullptr, FALSE));
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(on_stats_tick(&context));
  EXPECT_EQ(context.outcome->end, RunEnd::FatalStop);
  EXPECT_EQ(context.outcome->fatal_text, "Failed to write to bytes served file: No space left on device");
  // Nothing more is reported once the run is ending.
  on_stats_tick(&context);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), line_for(0, 0, 0, 0, 0) + "\n");
}

TEST(SenderCountsTest, MissingAndUnreadableSendersCountZero) {
  EXPECT_EQ(bytes_served(nullptr), 0u);
  ElementRef fake(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("fakesink", nullptr))));
  EXPECT_EQ(bytes_served(fake.get()), 0u);  // no "bytes-served" at all
  StreamSinks sinks;
  sinks.audio_rtp = ref_object(fake.get());
  SenderCounts counts = read_sender_counts(sinks);
  EXPECT_EQ(counts.total(), 0u);
}

TEST(SenderCountsTest, ReadsWhatEachUdpSenderHasSent) {
  LoopbackSocket receiver;
  GstHarness *h = gst_harness_new("udpsink");
  g_object_set(h->element, "host", "127.0.0.1", "port", receiver.port(), "sync", FALSE, nullptr);
  gst_harness_set_src_caps_str(h, "application/x-rtp");
  ASSERT_EQ(gst_harness_push(h, gst_buffer_new_allocate(nullptr, 120, nullptr)), GST_FLOW_OK);
  ASSERT_EQ(gst_harness_push(h, gst_buffer_new_allocate(nullptr, 80, nullptr)), GST_FLOW_OK);

  StreamSinks sinks;
  sinks.video_rtcp = ref_object(h->element);
  SenderCounts counts = read_sender_counts(sinks);
  EXPECT_EQ(counts.video_rtp, 0u);
  EXPECT_EQ(counts.video_rtcp, 200u);
  EXPECT_EQ(counts.audio_rtp, 0u);
  EXPECT_EQ(counts.audio_rtcp, 0u);
  EXPECT_EQ(counts.total(), 200u);
  sinks.video_rtcp.reset();
  gst_harness_teardown(h);
}

TEST(StatsTickTest, TickReadsTheSendersAndAlwaysAsksToBeCalledAgain) {
  auto *context = new StatsTimerContext{};
  context->sinks = std::make_shared<StreamSinks>();
  context->write_stats_file = false;
  ::testing::internal::CaptureStdout();
  gboolean again = on_stats_tick(context);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(again);
  EXPECT_EQ(out, line_for(0, 0, 0, 0, 0) + "\n");
  ASSERT_TRUE(context->sinks->mutex.try_lock());
  context->sinks->mutex.unlock();
  delete context;
}

}  // namespace
}  // namespace nerko::test
