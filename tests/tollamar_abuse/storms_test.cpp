// Flush storms from both sides and state changes racing the chain function:
// the element comes out of them without hanging and then keeps its grid.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "abuse_support.h"

using namespace tollamar_abuse;

namespace {

void upstream_flush(Harness &h) {
  gst_harness_push_event(h.get(), gst_event_new_flush_start());
  gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_harness_push_event(h.get(), gst_event_new_segment(&segment));
}

void downstream_flush(Harness &h) {
  gst_harness_push_upstream_event(h.get(), gst_event_new_flush_start());
  gst_harness_push_upstream_event(h.get(), gst_event_new_flush_stop(TRUE));
}

// Everything the element has pushed so far.
void drain(Harness &h) {
  while (GstBuffer *buf = gst_harness_try_pull(h.get())) gst_buffer_unref(buf);
  while (GstEvent *event = h.try_pull_event()) gst_event_unref(event);
  while (GstEvent *event = gst_harness_try_pull_upstream_event(h.get()))
    gst_event_unref(event);
}

// After the abuse: a last upstream flush, frames on slots 0..4 and one idle
// slot must come out on the grid from 0.
void expect_grid_afterwards(Harness &h) {
  upstream_flush(h);
  h.next_wait_time();
  drain(h);
  std::vector<GstClockTime> pts;
  for (guint k = 0; k < 5; k++) {
    ASSERT_EQ(push(h, k * kSlot), GST_FLOW_OK);
    Output out = pull(h);
    EXPECT_FALSE(out.gap);
    pts.push_back(out.pts);
  }
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
}

TEST(TollamarAbuseStorms, FlushStormFromBothSidesInterleavedWithFrames) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  std::atomic<bool> given_up{false};
  ASSERT_TRUE(returns_in_time(
      [&] {
        std::mt19937 rng(7);
        for (guint i = 0; i < 200 && !given_up; i++) {
          // Refused while a flush is under way; that is upstream's business.
          push(h, i * kSlot);
          switch (rng() % 4) {
            case 0: upstream_flush(h); break;
            case 1: downstream_flush(h); break;
            case 2:  // a flush-start from each side before either flush-stop
              gst_harness_push_event(h.get(), gst_event_new_flush_start());
              gst_harness_push_upstream_event(h.get(), gst_event_new_flush_start());
              downstream_flush(h);
              upstream_flush(h);
              break;
            default:  // a lone flush-stop, as after a lost flush-start
              gst_harness_push_upstream_event(h.get(),
                                              gst_event_new_flush_stop(TRUE));
              break;
          }
        }
      },
      [&] {
        given_up = true;
        flush_from_inside(h);
      },
      "the flush storm"));
  ASSERT_NO_FATAL_FAILURE(expect_grid_afterwards(h));
}

TEST(TollamarAbuseStorms, StateChangesRacingTheChainFunction) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};

  // Upstream pushes without pause; the chain blocks while a PAUSED element
  // holds a full queue, and is released by the next state change.
  std::thread upstream([&] {
    for (guint i = 0; !stop; i++)
      if (push(h, (i % 1000) * kSlot) == GST_FLOW_OK) accepted++;
  });
  bool returned = returns_in_time(
      [&] {
        std::mt19937 rng(11);
        const GstState states[] = {GST_STATE_PLAYING, GST_STATE_PAUSED,
                                   GST_STATE_READY, GST_STATE_PLAYING};
        for (int i = 0; i < 150; i++)
          gst_element_set_state(h.element(), states[rng() % 4]);
        gst_element_set_state(h.element(), GST_STATE_PLAYING);
      },
      [&] { tollamar_abuse::flush_from_inside(h); }, "the state changes");
  stop = true;
  bool upstream_done = returns_in_time(
      [&] { upstream.join(); },
      [&] { gst_element_set_state(h.element(), GST_STATE_READY); },
      "the upstream thread");
  ASSERT_TRUE(returned && upstream_done);
  ::testing::Test::RecordProperty("accepted", accepted.load());

  // A full restart forgets the format: upstream sends it again.
  gst_element_set_state(h.element(), GST_STATE_READY);
  drain(h);
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  ASSERT_NO_FATAL_FAILURE(expect_grid_afterwards(h));
}

}  // namespace
