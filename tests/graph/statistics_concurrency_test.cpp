// The statistics tick on the main thread against branches being built and
// data flowing on other threads: the shared senders record is only touched
// under its mutex, and every tick sees counters that only grow.
#include <gtest/gtest.h>
#include <gst/check/gstharness.h>

#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "encoder/control/statistics.h"
#include "graph_fixture.h"
#include "loopback_socket.h"

namespace nerko::test {
namespace {

namespace fs = std::filesystem;

// The Total of every statistics line in `text`, in order.
std::vector<uint64_t> totals_in(const std::string &text) {
  static const std::string label = ", Total:";
  std::vector<uint64_t> totals;
  for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos)
      break;
    totals.push_back(std::stoull(text.substr(at + label.size(), end - at - label.size())));
  }
  return totals;
}

TEST(StatisticsConcurrencyTest, TicksRaceBranchBuildsAndStreamingAndOnlySeeGrowth) {
  constexpr int kBuffersPerSender = 150;
  constexpr gsize kBufferSize = 100;
  constexpr int kTicks = 60;

  LoopbackSocket discard;
  std::array<GstHarness *, 4> senders{};
  for (GstHarness *&h : senders) {
    h = gst_harness_new("udpsink");
    g_object_set(h->element, "host", "127.0.0.1", "port", discard.port(), "sync", FALSE, "async", FALSE,
                 nullptr);
    gst_harness_set_src_caps_str(h, "application/x-rtp");
  }

  fs::path dir = fs::temp_directory_path() / ("nerko-stats-race-" + std::to_string(getpid()));
  fs::create_directories(dir);
  auto *context = new StatsTimerContext{};
  context->sinks = std::make_shared<StreamSinks>();
  context->stats_path = (dir / "stats.txt").string();

  // A branch build stores its senders one after the other under the lock,
  // the way the pad-added handler does from a streaming thread.
  std::thread builder([&] {
    for (int i = 0; i < 4; ++i) {
      std::lock_guard<std::mutex> lock(context->sinks->mutex);
      ElementRef sender = ref_object(senders[i]->element);
      switch (i) {
        case 0: context->sinks->video_rtp = std::move(sender); break;
        case 1: context->sinks->video_rtcp = std::move(sender); break;
        case 2: context->sinks->audio_rtp = std::move(sender); break;
        default: context->sinks->audio_rtcp = std::move(sender); break;
      }
      std::this_thread::yield();
    }
  });
  // Streaming threads push without the lock, as data flows in a pipeline.
  std::atomic<bool> push_failed{false};
  std::thread video([&] {
    for (int n = 0; n < kBuffersPerSender; ++n)
      for (int i : {0, 1})
        if (gst_harness_push(senders[i], gst_buffer_new_allocate(nullptr, kBufferSize, nullptr)) != GST_FLOW_OK)
          push_failed = true;
  });
  std::thread audio([&] {
    for (int n = 0; n < kBuffersPerSender; ++n)
      for (int i : {2, 3})
        if (gst_harness_push(senders[i], gst_buffer_new_allocate(nullptr, kBufferSize, nullptr)) != GST_FLOW_OK)
          push_failed = true;
  });

  ::testing::internal::CaptureStdout();
  for (int t = 0; t < kTicks; ++t)
    ASSERT_TRUE(on_stats_tick(context));
  builder.join();
  video.join();
  audio.join();
  ASSERT_TRUE(on_stats_tick(context));  // everything sent and stored
  std::string console = ::testing::internal::GetCapturedStdout();

  EXPECT_FALSE(push_failed);
  std::vector<uint64_t> totals = totals_in(console);
  ASSERT_EQ(totals.size(), static_cast<size_t>(kTicks + 1));
  for (size_t i = 1; i < totals.size(); ++i)
    EXPECT_LE(totals[i - 1], totals[i]) << "tick " << i;
  EXPECT_EQ(totals.back(), 4u * kBuffersPerSender * kBufferSize);

  std::ifstream file(dir / "stats.txt");
  std::stringstream content;
  content << file.rdbuf();
  EXPECT_EQ(totals_in(content.str()), std::vector<uint64_t>{totals.back()});

  delete context;
  for (GstHarness *h : senders)
    gst_harness_teardown(h);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace nerko::test
