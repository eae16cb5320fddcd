// When the video encoder gives threads up and takes them back, fed with the
// pace it would read four times a second.
#include "encoder/graph/thread_adaptation.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "encoder/graph/video_encoder_tap.h"

namespace nerko {
namespace {

constexpr GstClockTime kTick = 250 * GST_MSECOND;

struct Seen {
  GstClockTime at;
  ThreadChange change;
};

// Readings every tick over [from, to): `lag` with `waiting` frames and the
// rest of the host using `others` cores.
std::vector<Seen> feed(ThreadAdaptation &adaptation, double from_s, double to_s, std::optional<double> lag_s,
                       uint32_t waiting, double others) {
  std::vector<Seen> seen;
  for (GstClockTime t = from_s * GST_SECOND; t < to_s * GST_SECOND; t += kTick) {
    PaceReading reading{t, std::nullopt, waiting, others};
    if (lag_s)
      reading.lag = static_cast<GstClockTimeDiff>(*lag_s * GST_SECOND);
    if (std::optional<ThreadChange> change = adaptation.observe(reading))
      seen.push_back({t, *change});
  }
  return seen;
}

TEST(ThreadAdaptation, ShedsOnlyWhenFramesWaitForAnEncoderThatFellBehind) {
  struct Case {
    const char *what;
    std::optional<double> lag_s;
    uint32_t waiting;
    double others;
    bool sheds;
  } cases[] = {
      {"behind with frames waiting beside other work", 0.25, 2, 1.0, true},
      {"keeping pace", 0.04, 5, 1.0, false},
      {"an input that stalls leaves nothing waiting", 3.0, 0, 1.0, false},
      {"one frame waiting is the encoder at work", 1.0, 1, 1.0, false},
      {"no lag told", std::nullopt, 10, 1.0, false},
      {"alone, it needs every thread it has", 1.0, 10, 0.1, false},
  };
  for (const Case &c : cases) {
    ThreadAdaptation adaptation(12, 2);
    std::vector<Seen> seen = feed(adaptation, 0, 1, c.lag_s, c.waiting, c.others);
    ASSERT_EQ(seen.size(), c.sheds ? 1u : 0u) << c.what;
    if (!c.sheds)
      continue;
    // Two readings in a row: the second one decides.
    EXPECT_EQ(seen[0].at, kTick) << c.what;
    EXPECT_EQ(thread_change_line(seen[0].change),
              "Video encoder down to 1 thread from 12: video is 0.2 s behind real time\n");
    EXPECT_EQ(adaptation.threads(), 1u);
  }
  // A single late reading between readings in pace is a hiccup.
  ThreadAdaptation hiccup(12, 2);
  feed(hiccup, 0, 0.25, 0.5, 4, 1.0);
  EXPECT_TRUE(feed(hiccup, 0.25, 0.5, 0.02, 0, 1.0).empty());
  EXPECT_TRUE(feed(hiccup, 0.5, 0.75, 0.5, 4, 1.0).empty());
}

TEST(ThreadAdaptation, HalvesTheThreadsLibvpxUsesStepByStepOnceTheBacklogHadTimeToDrain) {
  struct Case {
    uint32_t configured, cores;
    std::vector<uint32_t> steps;
  } cases[] = {
      {12, 2, {1}}, {2, 2, {1}}, {8, 16, {4, 2, 1}}, {12, 8, {4, 2, 1}}, {1, 8, {}}, {0, 8, {}}, {12, 1, {}},
  };
  for (const Case &c : cases) {
    ThreadAdaptation adaptation(c.configured, c.cores);
    EXPECT_EQ(adaptation.can_adapt(), !c.steps.empty()) << c.configured << " on " << c.cores;
    std::vector<Seen> seen = feed(adaptation, 0, 20, 0.8, 10, c.cores);
    std::vector<uint32_t> steps;
    for (size_t i = 0; i < seen.size(); ++i) {
      steps.push_back(seen[i].change.to);
      EXPECT_TRUE(i == 0 || seen[i].at - seen[i - 1].at >= ThreadAdaptation::kSettle);
    }
    EXPECT_EQ(steps, c.steps) << c.configured << " on " << c.cores;
  }
}

TEST(ThreadAdaptation, StepsBackOnlyAfterTheWaitInPaceWithACoreForEveryThread) {
  ThreadAdaptation adaptation(12, 2);
  ASSERT_EQ(feed(adaptation, 0, 1, 0.6, 8, 1.0).size(), 1u);
  // Another channel still at work: the two cores are not free.
  EXPECT_TRUE(feed(adaptation, 1, 200, 0.02, 0, 0.3).empty());
  // Free, but one late reading restarts the wait.
  EXPECT_TRUE(feed(adaptation, 200, 220, 0.02, 0, 0.05).empty());
  EXPECT_TRUE(feed(adaptation, 220, 220.25, 0.15, 0, 0.05).empty());
  std::vector<Seen> back = feed(adaptation, 220.25, 300, 0.02, 0, 0.05);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].at, 220.25 * GST_SECOND + ThreadAdaptation::kFirstWait);
  EXPECT_EQ(thread_change_line(back[0].change),
            "Video encoder back to 12 threads from 1: the host's cores are free again\n");
  EXPECT_EQ(adaptation.threads(), 12u);
  // Behind again once the other work is gone: the threads are what it lacks.
  ThreadAdaptation lacking(12, 2);
  ASSERT_EQ(feed(lacking, 0, 1, 0.6, 8, 1.0).size(), 1u);
  back = feed(lacking, 5, 10, 0.6, 8, 0.05);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].at, 5 * GST_SECOND + ThreadAdaptation::kFreeWhileBehind);
}

TEST(ThreadAdaptation, FallingSoonAfterEachStepBackDoublesTheWaitSoItDoesNotFlap) {
  // An hour on a host where the full count always falls behind 4 s after
  // it is back (the other work back too), and one thread always keeps pace
  // with the cores free.
  ThreadAdaptation adaptation(12, 2);
  std::vector<GstClockTime> step_backs;
  int changes = 0;
  GstClockTime full_since = 0;
  for (GstClockTime t = 0; t < 3600 * GST_SECOND; t += kTick) {
    const bool behind = adaptation.threads() == 12 && t - full_since >= 4 * GST_SECOND;
    PaceReading reading{t, static_cast<GstClockTimeDiff>((behind ? 600 : 20) * GST_MSECOND), behind ? 8u : 0u,
                        behind ? 0.9 : 0.05};
    std::optional<ThreadChange> change = adaptation.observe(reading);
    if (!change)
      continue;
    ++changes;
    if (!change->shed) {
      step_backs.push_back(t);
      full_since = t;
    }
  }
  // Waits of 30, 60, 120, 240, 480 and then 600 s: under twenty changes in
  // the hour, each step back further from the last.
  EXPECT_EQ(adaptation.wait(), ThreadAdaptation::kLongestWait);
  EXPECT_LE(changes, 20);
  ASSERT_GE(step_backs.size(), 6u);
  for (size_t i = 2; i < step_backs.size(); ++i)
    EXPECT_GE(step_backs[i] - step_backs[i - 1], step_backs[i - 1] - step_backs[i - 2]) << i;
}

// The encoder takes a new count only when it starts afresh: the frame after
// the change is a key frame, no frame is lost, and what leaves it keeps its
// picture format.
TEST(ThreadAdaptation, ANewCountRestartsTheEncoderWithAKeyFrame) {
  ElementRef pipeline(gst_pipeline_new(nullptr));
  VideoEncoderTap tap(pipeline.get(), nullptr);
  GError *error = nullptr;
  GstElement *bin = gst_parse_bin_from_description(
      "videotestsrc num-buffers=30 ! video/x-raw,width=320,height=240,framerate=25/1,pixel-aspect-ratio=1/1 "
      "! queue max-size-buffers=1 ! vp8enc threads=2 keyframe-max-dist=1000 deadline=1 "
      "! fakesink name=sink",
      TRUE, &error);
  ASSERT_NE(bin, nullptr) << (error ? error->message : "");
  gst_bin_add(GST_BIN(pipeline.get()), bin);
  struct Seen {
    VideoEncoderTap *tap = nullptr;
    std::atomic<int> frames{0};
    std::vector<int> key_frames;
    CapsRef before;
  } seen;
  seen.tap = &tap;
  ElementRef sink(gst_bin_get_by_name(GST_BIN(bin), "sink"));
  PadRef sink_pad(gst_element_get_static_pad(sink.get(), "sink"));
  gst_pad_add_probe(
      sink_pad.get(), GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad *pad, GstPadProbeInfo *info, gpointer data) {
        auto *seen = static_cast<Seen *>(data);
        const int frame = seen->frames++;
        if (!GST_BUFFER_FLAG_IS_SET(GST_PAD_PROBE_INFO_BUFFER(info), GST_BUFFER_FLAG_DELTA_UNIT))
          seen->key_frames.push_back(frame);
        if (frame == 10) {
          seen->before = CapsRef(gst_pad_get_current_caps(pad));
          seen->tap->set_threads(1);
        }
        return GST_PAD_PROBE_OK;
      },
      &seen, nullptr);
  ASSERT_NE(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  BusRef bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline.get())));
  MessageRef end(gst_bus_timed_pop_filtered(bus.get(), 60 * GST_SECOND,
                                            GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
  CapsRef after(gst_pad_get_current_caps(sink_pad.get()));
  gst_element_set_state(pipeline.get(), GST_STATE_NULL);
  ASSERT_TRUE(end && GST_MESSAGE_TYPE(end.get()) == GST_MESSAGE_EOS);

  EXPECT_EQ(seen.frames.load(), 30);
  ASSERT_EQ(seen.key_frames.size(), 2u);
  EXPECT_GT(seen.key_frames[1], 10);
  ASSERT_TRUE(seen.before && after);
  EXPECT_TRUE(gst_caps_is_equal(seen.before.get(), after.get()));
}

}  // namespace
}  // namespace nerko
