// Upstream timestamps that a live source should never send: going backwards,
// repeated, missing, zero-length and hours long. The output stays on its
// grid: no hole, no repeated timestamp, and no wait longer than a slot.
#include <gtest/gtest.h>

#include "abuse_support.h"

using namespace tollamar_abuse;

namespace {

void start_video(Harness &h) {
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
}

// Pushes frames @first..@last (slot numbers) and collects what comes out.
void regular(Harness &h, guint first, guint last, std::vector<GstClockTime> &pts) {
  for (guint k = first; k <= last; k++) {
    ASSERT_EQ(push(h, k * kSlot), GST_FLOW_OK);
    Output out = pull(h);
    ASSERT_FALSE(out.gap) << "frame " << k;
    pts.push_back(out.pts);
  }
}

// Waits until the task has taken everything queued and idles on the clock.
void settle(Harness &h) { h.next_wait_time(); }

TEST(TollamarAbuseTimestamps, FramesGoingBackwardsAreDroppedAndTheGridGoesOn) {
  Harness h("livevideorate");
  start_video(h);
  std::vector<GstClockTime> pts;
  ASSERT_NO_FATAL_FAILURE(regular(h, 0, 4, pts));
  // Upstream jumps back, once by two slots and then to before the base.
  for (GstClockTime back : {2 * kSlot, 1 * kSlot, GstClockTime(0)})
    ASSERT_EQ(push(h, back), GST_FLOW_OK);
  settle(h);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  ASSERT_NO_FATAL_FAILURE(regular(h, 5, 6, pts));
  for (int i = 0; i < 3; i++) {
    h.crank();
    Output gap = pull(h);
    EXPECT_TRUE(gap.gap);
    // Undistorted: the backward jumps measured no upstream rate.
    EXPECT_EQ(gap.duration, kSlot);
    pts.push_back(gap.pts);
  }
  EXPECT_TRUE(on_grid_from(pts, 0));
}

TEST(TollamarAbuseTimestamps, RepeatedTimestampsAreNotOutputTwice) {
  Harness h("livevideorate");
  start_video(h);
  std::vector<GstClockTime> pts;
  ASSERT_NO_FATAL_FAILURE(regular(h, 0, 4, pts));
  // The same frame again, with its duration, and then a zero-length repeat.
  ASSERT_EQ(push(h, 4 * kSlot), GST_FLOW_OK);
  settle(h);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  ASSERT_NO_FATAL_FAILURE(regular(h, 5, 5, pts));
  ASSERT_EQ(push(h, 5 * kSlot, 0), GST_FLOW_OK);
  settle(h);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  // A repeat measures no time passing: it must not shrink the grid.
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  EXPECT_EQ(gap.duration, kSlot);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
}

TEST(TollamarAbuseTimestamps, FramesWithoutTimestampTakeTheSlotThatIsDue) {
  Harness h("livevideorate");
  start_video(h);
  std::vector<GstClockTime> pts;
  ASSERT_NO_FATAL_FAILURE(regular(h, 0, 2, pts));
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(push(h, GST_CLOCK_TIME_NONE), GST_FLOW_OK);
    Output out = pull(h);
    EXPECT_FALSE(out.gap);
    pts.push_back(out.pts);
  }
  // The real frame for a slot an untimed one took adds nothing.
  ASSERT_EQ(push(h, 4 * kSlot), GST_FLOW_OK);
  ASSERT_NO_FATAL_FAILURE(regular(h, 5, 5, pts));
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
  EXPECT_EQ(gap.duration, kSlot);
}

TEST(TollamarAbuseTimestamps, UntimedFramesWhileFillingStayOnTheGrid) {
  Harness h("livevideorate");
  start_video(h);
  std::vector<GstClockTime> pts;
  ASSERT_NO_FATAL_FAILURE(regular(h, 0, 1, pts));
  h.crank();
  Output gap = pull(h);
  ASSERT_TRUE(gap.gap);
  pts.push_back(gap.pts);
  ASSERT_EQ(push(h, GST_CLOCK_TIME_NONE), GST_FLOW_OK);
  Output untimed = pull(h);
  EXPECT_FALSE(untimed.gap);
  pts.push_back(untimed.pts);
  h.crank();
  gap = pull(h);
  EXPECT_TRUE(gap.gap);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
}

TEST(TollamarAbuseTimestamps, ZeroLengthFramesKeepTheGrid) {
  Harness h("livevideorate");
  start_video(h);
  std::vector<GstClockTime> pts;
  for (guint k = 0; k < 5; k++) {
    ASSERT_EQ(push(h, k * kSlot, 0), GST_FLOW_OK);
    Output out = pull(h);
    EXPECT_FALSE(out.gap);
    pts.push_back(out.pts);
  }
  // Nothing more comes: the idle slot is due max-lateness after the last
  // frame, and filled on the grid.
  EXPECT_EQ(h.next_wait_time(), 4 * kSlot + kMaxLateness - 1);
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
}

TEST(TollamarAbuseTimestamps, FrameLastingHoursDoesNotHoldTheOutputBack) {
  Harness h("livevideorate");
  start_video(h);
  std::vector<GstClockTime> pts;
  ASSERT_NO_FATAL_FAILURE(regular(h, 0, 2, pts));
  ASSERT_EQ(push(h, 3 * kSlot, 3 * 3600 * GST_SECOND), GST_FLOW_OK);
  Output hours = pull(h);
  EXPECT_FALSE(hours.gap);
  pts.push_back(hours.pts);
  // The next frame is due one slot later, not in three hours.
  EXPECT_EQ(h.next_wait_time(), 4 * kSlot + kMaxLateness - 1);
  ASSERT_NO_FATAL_FAILURE(regular(h, 4, 5, pts));
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
}

}  // namespace
