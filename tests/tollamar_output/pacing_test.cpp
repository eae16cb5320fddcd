// Real buffers on the frame grid: pushed on their slots, missed slots filled
// back to back, late buffers dropped, and the grid re-anchored after a stall.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "output_support.h"

using namespace tollamar_output;

namespace {

const GstClockTime kSlot = 40 * GST_MSECOND;
const GstClockTime kMaxLateness = 200 * GST_MSECOND;
const char kCaps[] = "video/x-raw, format=(string)RGBx, width=(int)4, "
                     "height=(int)4, framerate=(fraction)25/1";

// Plays a video element with caps from upstream; the grid starts at 0.
// Events sent before the element is active would only stay sticky upstream.
void start_video(Harness &h) {
  h.play();
  gst_harness_set_src_caps_str(h.get(), kCaps);
}

void push(Harness &h, GstClockTime pts, GstClockTime duration = kSlot) {
  ASSERT_EQ(gst_harness_push(h.get(), make_buffer(pts, duration, 64)),
            GST_FLOW_OK);
}

// Pulls the next buffer and checks its timestamp and whether it is a gap.
void expect_next(Harness &h, GstClockTime pts, bool gap) {
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  GstClockTime got = GST_BUFFER_PTS(buf);
  bool is_gap = GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP);
  gst_buffer_unref(buf);
  ASSERT_EQ(got, pts);
  ASSERT_EQ(is_gap, gap) << "buffer at " << got;
}

// The grid as the element keeps it shows in its next idle slot: due at
// @pts, it is filled at the deadline with a gap of @duration.
void expect_idle_gap(Harness &h, GstClockTime pts,
                     GstClockTime duration = kSlot) {
  ASSERT_EQ(h.next_wait_time(), pts + kMaxLateness - 1);
  h.crank();
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(GST_BUFFER_PTS(buf), pts);
  EXPECT_EQ(GST_BUFFER_DURATION(buf), duration);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP));
  gst_buffer_unref(buf);
}

TEST(TollamarPacing, RegularInputPushesEveryBufferWithDistortionOne) {
  Harness h("livevideorate");
  start_video(h);
  for (guint k = 0; k < 10; k++) {
    push(h, k * kSlot);
    expect_next(h, k * kSlot, false);
  }
  // Slot 10 of the grid from 0, one undistorted slot long.
  expect_idle_gap(h, 10 * kSlot);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
}

TEST(TollamarPacing, StallThenBufferCatchesUpAndReanchors) {
  Harness h("livevideorate");
  start_video(h);
  for (guint k = 0; k < 3; k++) {
    push(h, k * kSlot);
    expect_next(h, k * kSlot, false);
  }
  // Stall: each idle deadline fills one slot.
  EXPECT_EQ(h.next_wait_time(), 3 * kSlot + kMaxLateness - 1);
  h.crank();
  expect_next(h, 3 * kSlot, true);
  EXPECT_EQ(h.next_wait_time(), 4 * kSlot + kMaxLateness - 1);
  h.crank();
  expect_next(h, 4 * kSlot, true);

  // A buffer on slot 7: slots 5 and 6 first, back to back, then the buffer.
  push(h, 7 * kSlot);
  expect_next(h, 5 * kSlot, true);
  expect_next(h, 6 * kSlot, true);
  expect_next(h, 7 * kSlot, false);
  // The grid now starts at the buffer, undistorted.
  expect_idle_gap(h, 8 * kSlot);
}

TEST(TollamarPacing, BufferInThePastIsDropped) {
  Harness h("livevideorate");
  start_video(h);
  for (guint k = 0; k < 3; k++) {
    push(h, k * kSlot);
    expect_next(h, k * kSlot, false);
  }
  push(h, 1 * kSlot);  // ends at 80 ms, the next is due at 120 ms
  EXPECT_EQ(h.next_wait_time(), 3 * kSlot + kMaxLateness - 1);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  push(h, 3 * kSlot);
  expect_next(h, 3 * kSlot, false);
}

TEST(TollamarPacing, LateBufferForAGapFilledSlotIsNotOutputTwice) {
  Harness h("livevideorate");
  start_video(h);
  for (guint k = 0; k < 3; k++) {
    push(h, k * kSlot);
    expect_next(h, k * kSlot, false);
  }
  h.crank();
  expect_next(h, 3 * kSlot, true);

  // The real frame for slot 3 ends exactly where slot 4 is due.
  push(h, 3 * kSlot);
  push(h, 4 * kSlot);
  expect_next(h, 4 * kSlot, false);
  expect_idle_gap(h, 5 * kSlot);
  EXPECT_EQ(gst_harness_buffers_received(h.get()), 6u);
}

// Upstream timestamps of 30 fps round to whole nanoseconds, so the measured
// distortion is a hair above 1.0 at some frames; a dropped frame right after
// one of them must still get its gap buffer.
TEST(TollamarPacing, DroppedFrameGetsItsGapWhenDistortionIsAHairAboveOne) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(),
                               "video/x-raw, format=(string)RGBx, width=(int)4, "
                               "height=(int)4, framerate=(fraction)30/1");
  auto pts = [](guint k) { return gst_util_uint64_scale_round(k, GST_SECOND, 30); };
  for (guint k = 0; k <= 5; k++) {
    push(h, pts(k), pts(k + 1) - pts(k));
    expect_next(h, pts(k), false);
  }
  h.next_wait_time();

  push(h, pts(7), pts(8) - pts(7));  // frame 6 was lost upstream
  GstBuffer *gap = h.pull();
  ASSERT_NE(gap, nullptr);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(gap, GST_BUFFER_FLAG_GAP));
  EXPECT_NEAR((double)GST_BUFFER_PTS(gap), (double)pts(6), 2.0);
  gst_buffer_unref(gap);
  expect_next(h, pts(7), false);
}

TEST(TollamarPacing, SkipToFirstAnchorsOnTheFirstBufferWithoutGaps) {
  Harness h("livevideorate");
  g_object_set(h.element(), "skip-to-first", TRUE, nullptr);
  gst_test_clock_set_time(h.clock(), 1 * GST_SECOND);
  gst_harness_set_src_caps_str(h.get(), kCaps);
  h.play();

  push(h, 5 * GST_SECOND);
  expect_next(h, 5 * GST_SECOND, false);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  expect_idle_gap(h, 5 * GST_SECOND + kSlot);
}

// Timestamps that say nothing about the grid: a buffer without running time
// pushes no catch-up frames and leaves the distortion as it was.
TEST(TollamarPacingDecisions, BufferWithoutRunningTimeKeepsTheGrid) {
  Harness h("livevideorate");
  start_video(h);
  for (guint k = 0; k < 3; k++) {
    push(h, k * kSlot);
    expect_next(h, k * kSlot, false);
  }
  // It takes the slot that is due, stamped with that slot's time.
  push(h, GST_CLOCK_TIME_NONE);
  expect_next(h, 3 * kSlot, false);
  expect_idle_gap(h, 4 * kSlot);
}

TEST(TollamarPacingDecisions, BufferWellBeforeTheBaseCausesNoCatchUp) {
  Harness h("livevideorate");
  gst_test_clock_set_time(h.clock(), 1 * GST_SECOND);
  start_video(h);
  push(h, 1 * GST_SECOND);
  expect_next(h, 1 * GST_SECOND, false);
  push(h, 1 * GST_SECOND + kSlot);
  expect_next(h, 1 * GST_SECOND + kSlot, false);

  // Half a second before the base: no gap burst, no distortion, dropped.
  push(h, 500 * GST_MSECOND, 2 * kSlot);
  push(h, 1 * GST_SECOND + 2 * kSlot);
  ASSERT_NO_FATAL_FAILURE(expect_next(h, 1 * GST_SECOND + 2 * kSlot, false));
  EXPECT_EQ(h.next_wait_time(), 1 * GST_SECOND + 3 * kSlot + kMaxLateness - 1);

  // Long enough to reach the next due time: pushed, still no distortion.
  push(h, 500 * GST_MSECOND, GST_SECOND);
  expect_next(h, 500 * GST_MSECOND, false);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  expect_idle_gap(h, 1 * GST_SECOND + 4 * kSlot);
}

TEST(TollamarPacingDecisions, DistortionNeverBecomesZero) {
  Harness h("livevideorate");
  start_video(h);
  push(h, 0);
  expect_next(h, 0, false);
  h.crank();
  expect_next(h, kSlot, true);
  // Re-anchors at 80 ms, then the same timestamp again: elapsed time 0.
  push(h, 2 * kSlot);
  expect_next(h, 2 * kSlot, false);
  push(h, 2 * kSlot, 2 * kSlot);
  expect_next(h, 2 * kSlot, false);
  // The next gap lies on the grid, not collapsed onto the base.
  expect_idle_gap(h, 4 * kSlot);
  EXPECT_EQ(h.next_wait_time(), 5 * kSlot + kMaxLateness - 1);
}

TEST(TollamarPacingDecisions, FlushReanchorsAtTheFirstBufferAfterIt) {
  Harness h("livevideorate");
  start_video(h);
  push(h, 0);
  expect_next(h, 0, false);
  push(h, kSlot);
  expect_next(h, kSlot, false);

  gst_test_clock_set_time(h.clock(), 1 * GST_SECOND);
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_segment(&segment)));
  push(h, 2 * GST_SECOND);
  expect_next(h, 2 * GST_SECOND, false);
  // latency is none again after the flush
  expect_idle_gap(h, 2 * GST_SECOND + kSlot);
}

TEST(TollamarPacingDecisions, FlushWithoutInputReanchorsAtTheClock) {
  Harness h("livevideorate");
  start_video(h);
  push(h, 0);
  expect_next(h, 0, false);

  gst_test_clock_set_time(h.clock(), 3 * GST_SECOND);
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
  EXPECT_EQ(h.next_wait_time(), 3 * GST_SECOND + kMaxLateness - 1);
  h.crank();
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(GST_BUFFER_PTS(buf), 3 * GST_SECOND);
  EXPECT_EQ(GST_BUFFER_DURATION(buf), kSlot);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP));
  gst_buffer_unref(buf);
  expect_idle_gap(h, 3 * GST_SECOND + kSlot);
}

TEST(TollamarPacingDecisions, ZeroFrameRateVideoPacesAt25) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(
      h.get(),
      "video/x-raw, format=(string)RGBx, width=(int)4, height=(int)4, "
      "framerate=(fraction)0/1");
  for (guint i = 0; i < 3; i++) {
    EXPECT_EQ(h.next_wait_time(), i * kSlot + kMaxLateness - 1);
    h.crank();
    GstBuffer *buf = h.pull();
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(GST_BUFFER_PTS(buf), i * kSlot);
    EXPECT_EQ(GST_BUFFER_DURATION(buf), kSlot);
    gst_buffer_unref(buf);
  }
}

TEST(TollamarPacingDecisions, ZeroFillFramerateAudioPacesAt25) {
  Harness h("liveaudiorate");
  gst_util_set_object_arg(G_OBJECT(h.element()), "fill-framerate", "0/1");
  h.play();
  for (guint i = 0; i < 3; i++) {
    EXPECT_EQ(h.next_wait_time(), i * kSlot + kMaxLateness - 1);
    h.crank();
    GstBuffer *buf = h.pull();
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(GST_BUFFER_PTS(buf), i * kSlot);
    EXPECT_EQ(GST_BUFFER_DURATION(buf), kSlot);
    EXPECT_EQ(gst_buffer_get_size(buf), 1920u * 2u);
    gst_buffer_unref(buf);
  }
}

// Gap buffers carry positions of the output segment, like real ones.
TEST(TollamarPacingDecisions, GapTimestampsFollowTheOutputSegment) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_caps_str(h.get(), kCaps, kCaps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  segment.start = 10 * GST_SECOND;
  segment.time = 10 * GST_SECOND;
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_segment(&segment)));
  push(h, 10 * GST_SECOND);
  expect_next(h, 10 * GST_SECOND, false);
  push(h, 10 * GST_SECOND + kSlot);
  expect_next(h, 10 * GST_SECOND + kSlot, false);
  h.crank();
  expect_next(h, 10 * GST_SECOND + 2 * kSlot, true);
}

// Before the segment's start the gap timestamps go on counting on the
// segment's timeline (downstream clips them), so they stay in order with the
// ones that follow inside it.
TEST(TollamarPacingDecisions, GapBeforeTheSegmentKeepsItsTimeline) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_caps_str(h.get(), kCaps, kCaps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  segment.start = 10 * GST_SECOND;
  segment.base = 5 * GST_SECOND;  // running time 5 s is position 10 s
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_segment(&segment)));
  h.crank();
  expect_next(h, 5 * GST_SECOND, true);
  h.crank();
  expect_next(h, 5 * GST_SECOND + kSlot, true);
}

// Past the segment's stop as well: stamping the running time there instead
// would send the timestamps back in time.
TEST(TollamarPacingDecisions, GapPastTheSegmentStopKeepsItsTimeline) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_caps_str(h.get(), kCaps, kCaps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  segment.start = 10 * GST_SECOND;
  segment.stop = 10 * GST_SECOND + kSlot;
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_segment(&segment)));
  h.crank();
  expect_next(h, 10 * GST_SECOND, true);
  h.crank();
  expect_next(h, 10 * GST_SECOND + kSlot, true);
  h.crank();
  expect_next(h, 10 * GST_SECOND + 2 * kSlot, true);
}

// A "max-lateness" of centuries means no slot is due in any clock's
// lifetime. The deadline must saturate, not wrap round to "at once"; and
// should a clock still get there, the element stops with an error instead
// of pacing on sums that wrap.
TEST(TollamarPacingDecisions, MaxLatenessOfCenturiesNeverWrapsTheDeadline) {
  Harness h("livevideorate");
  g_object_set(h.element(), "max-lateness", G_MAXUINT64, nullptr);
  start_video(h);
  EXPECT_EQ(h.next_wait_time(), static_cast<GstClockTime>(G_MAXINT64));
  push(h, 0);
  expect_next(h, 0, false);
  EXPECT_EQ(h.next_wait_time(), static_cast<GstClockTime>(G_MAXINT64));

  h.crank();
  ErrorMessage e = wait_error(h.element());
  EXPECT_EQ(e.domain, GST_CORE_ERROR);
  EXPECT_EQ(e.code, GST_CORE_ERROR_CLOCK);
  EXPECT_EQ(e.text, "The clock has run past the times the output can be paced at.");
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
}

// A "fill-framerate" set while the task waits for a slot applies from the
// slot after it: counting the waiting slot's index in the new slot length
// would move it, here 640 ms forward, leaving a hole.
TEST(TollamarPacingDecisions, FillFramerateSetWhileWaitingAppliesFromTheNextSlot) {
  Harness h("liveaudiorate");
  h.play();
  for (guint i = 0; i < 4; i++) {
    h.crank();
    expect_next(h, i * kSlot, true);
  }
  EXPECT_EQ(h.next_wait_time(), 4 * kSlot + kMaxLateness - 1);
  gst_util_set_object_arg(G_OBJECT(h.element()), "fill-framerate", "5/1");
  h.crank();
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(GST_BUFFER_PTS(buf), 4 * kSlot);
  EXPECT_EQ(GST_BUFFER_DURATION(buf), kSlot);
  gst_buffer_unref(buf);
  for (guint i = 0; i < 2; i++) {
    h.crank();
    buf = h.pull();
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(GST_BUFFER_PTS(buf), 5 * kSlot + i * 200 * GST_MSECOND);
    EXPECT_EQ(GST_BUFFER_DURATION(buf), 200 * GST_MSECOND);
    gst_buffer_unref(buf);
  }
}

// Timestamps that jump an hour ahead start the output again at the buffer,
// marked DISCONT, instead of 90 000 catch-up frames; a new "max-lateness"
// while playing asks the pipeline for the latency again.
TEST(TollamarPacing, JumpOfAnHourStartsAgainAndMaxLatenessPostsLatency) {
  Harness h("livevideorate");
  start_video(h);
  push(h, 0);
  expect_next(h, 0, false);
  push(h, 3600 * GST_SECOND);
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(GST_BUFFER_PTS(buf), 3600 * GST_SECOND);
  EXPECT_EQ(GST_BUFFER_FLAGS(buf) & (GST_BUFFER_FLAG_GAP | GST_BUFFER_FLAG_DISCONT), GST_BUFFER_FLAG_DISCONT);
  gst_buffer_unref(buf);
  GstBus *bus = gst_element_get_bus(h.element());
  for (int round = 0; round < 2; round++) {  // the second sets the same value
    g_object_set(h.element(), "max-lateness", GST_SECOND, nullptr);
    GstMessage *msg = gst_bus_pop_filtered(bus, GST_MESSAGE_LATENCY);
    EXPECT_EQ(msg != nullptr, round == 0);
    if (msg) gst_message_unref(msg);
  }
  gst_object_unref(bus);
}

// Behind a live upstream the idle path fills each slot a latency after it is
// due, so an input that returns in time finds the output that far behind:
// it is filled up to, not taken for a jump.
TEST(TollamarPacing, ReturnALatencyAheadOfTheOutputIsFilledUpTo) {
  Harness h("livevideorate");
  gst_harness_set_upstream_latency(h.get(), GST_SECOND);
  start_video(h);
  GstQuery *query = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_peer_query(h->sinkpad, query));
  gst_query_unref(query);
  push(h, 0);
  expect_next(h, 0, false);
  push(h, 1500 * GST_MSECOND);
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP));
  gst_buffer_unref(buf);
}

struct Out {
  GstClockTime pts, end;
  gsize size;
  bool gap;
};

// Waits until the task has taken everything queued, then collects it.
void drain(Harness &h, std::vector<Out> &out) {
  h.next_wait_time();
  while (GstBuffer *b = h.try_pull()) {
    out.push_back({GST_BUFFER_PTS(b), GST_BUFFER_PTS(b) + GST_BUFFER_DURATION(b), gst_buffer_get_size(b),
                   GST_BUFFER_FLAG_IS_SET(b, GST_BUFFER_FLAG_GAP) != 0});
    gst_buffer_unref(b);
  }
}

// Audio of any buffer size, even varying, tiles the sample timeline across a
// stall: no overlap or hole over one sample, every real sample out, samples
// equal to the span, and the first buffer after the stall on its time.
class TollamarAudioBufferSizes : public testing::TestWithParam<std::vector<guint>> {};

TEST_P(TollamarAudioBufferSizes, TileTheSampleTimelineAcrossAStall) {
  auto at = [](guint64 s) { return gst_util_uint64_scale(s, GST_SECOND, 48000); };
  Harness h("liveaudiorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), "audio/x-raw, format=(string)S16LE, rate=(int)48000, "
                                        "channels=(int)1, layout=(string)interleaved");
  std::vector<Out> out;
  guint64 s = 0, real_in = 0, samples = 0, real_out = 0;
  auto feed = [&](GstClockTime until) {
    for (size_t k = 0; at(s) < until; k++) {
      guint n = GetParam()[k % GetParam().size()];
      ASSERT_EQ(gst_harness_push(h.get(), make_buffer(at(s), at(s + n) - at(s), 2 * n)), GST_FLOW_OK);
      s += n;
      real_in += n;
    }
  };
  ASSERT_NO_FATAL_FAILURE(feed(300 * GST_MSECOND));
  drain(h, out);
  for (int i = 0; i < 3; i++) h.crank();  // the stall: three idle slots
  drain(h, out);
  s = gst_util_uint64_scale_round(out.back().end + 2 * kSlot + 15 * GST_MSECOND, 48000, GST_SECOND);
  GstClockTime resumed = at(s);
  ASSERT_NO_FATAL_FAILURE(feed(resumed + 300 * GST_MSECOND));
  drain(h, out);
  for (size_t i = 0; i < out.size(); i++) {
    samples += out[i].size / 2;
    real_out += out[i].gap ? 0 : out[i].size / 2;
    EXPECT_NEAR((double)(out[i].end - out[i].pts), (double)at(out[i].size / 2), 1.0) << i;
    if (i == 0) continue;
    EXPECT_NEAR((double)out[i].pts, (double)out[i - 1].end, 1e9 / 48000) << i;
    if (out[i - 1].gap && !out[i].gap) {
      EXPECT_EQ(out[i].pts, resumed);
    }
  }
  EXPECT_EQ(real_out, real_in);
  EXPECT_NEAR((double)samples, (out.back().end - out.front().pts) * 48000.0 / GST_SECOND, 1.0);
}

INSTANTIATE_TEST_SUITE_P(TollamarSizes, TollamarAudioBufferSizes,
                         testing::Values(std::vector<guint>{120}, std::vector<guint>{480},
                                         std::vector<guint>{960}, std::vector<guint>{1024},
                                         std::vector<guint>{1920}, std::vector<guint>{4800},
                                         std::vector<guint>{480, 1024, 120, 4800, 960, 1920}));

// Video timestamped on arrival (jitter of about 8 ms) that stalls: gap frames
// of about a slot each run from the last frame's end exactly to the first
// frame after the stall.
TEST(TollamarPacing, StallOfJitteredVideoLeavesNoHole) {
  const GstClockTime slot = gst_util_uint64_scale(GST_SECOND, 1, 30);
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), "video/x-raw, format=(string)RGBx, width=(int)4, "
                                        "height=(int)4, framerate=(fraction)30/1");
  std::mt19937 random(20261208);
  std::normal_distribution<double> jitter(0.0, 8e6);
  auto push_frames = [&](guint first, guint last) {
    for (guint k = first; k <= last; k++)
      push(h, 100 * GST_MSECOND + k * slot + (GstClockTimeDiff)std::clamp(jitter(random), -15e6, 15e6), slot);
  };
  std::vector<Out> out;
  push_frames(0, 60);
  drain(h, out);
  size_t stall = out.size() - 1, resumed = out.size();
  for (int i = 0; i < 20; i++) h.crank();
  drain(h, out);
  push_frames(88, 100);  // 8 slots more lost
  drain(h, out);
  while (resumed < out.size() && out[resumed].gap) resumed++;
  ASSERT_GT(resumed, stall + 20);
  ASSERT_LT(resumed, out.size());
  for (size_t i = stall + 1; i <= resumed; i++) {
    EXPECT_NEAR((double)out[i].pts, (double)out[i - 1].end, 1e6) << "buffer " << i;
    EXPECT_TRUE(i == resumed || (out[i].end - out[i].pts) * 2 >= slot) << i;
    EXPECT_TRUE(i == resumed || (out[i].end - out[i].pts) <= slot * 3 / 2) << i;
  }
}

}  // namespace
