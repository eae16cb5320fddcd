// State changes: no-preroll, anchoring of the output grid at PLAYING,
// stopping, the clock requirement and the skip-to-first rules.
#include <gtest/gtest.h>

#include "tollamar_support.h"

using namespace tollamar_test;

namespace {

constexpr GstClockTime ms = GST_MSECOND;
constexpr const char *kVideoCaps = "video/x-raw, format=I420, width=8, height=8, framerate=25/1";

// An element on a test clock standing at @now, with base time @base.
class TollamarStateChange : public ::testing::Test {
 protected:
  void make(GstClockTime now, GstClockTime base, const char *factory = "livevideorate") {
    element_.reset(make_element(factory));
    ASSERT_TRUE(element_);
    clock_.reset(gst_test_clock_new_with_start_time(now));
    gst_element_set_clock(element_.get(), clock_.get());
    gst_element_set_base_time(element_.get(), base);
  }
  void TearDown() override {
    if (element_) gst_element_set_state(element_.get(), GST_STATE_NULL);
  }
  GstTestClock *test_clock() { return GST_TEST_CLOCK(clock_.get()); }
  GstTaskState task_state() { return gst_pad_get_task_state(GST_TOLLAMAR(element_.get())->srcpad); }

  ObjectRef<GstElement> element_;
  ObjectRef<GstClock> clock_;
};

}  // namespace

TEST_F(TollamarStateChange, ReadyToPausedAndPlayingToPausedReturnNoPreroll) {
  make(0, 0);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_EQ(self->flow_return, GST_FLOW_OK);
    EXPECT_TRUE(self->waiting);
  });
  EXPECT_EQ(task_state(), GST_TASK_STARTED);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  with_lock(element_.get(), [](GstTollamar *self) { EXPECT_FALSE(self->waiting); });
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  with_lock(element_.get(), [](GstTollamar *self) { EXPECT_TRUE(self->waiting); });
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_EQ(self->flow_return, GST_FLOW_FLUSHING);
    EXPECT_FALSE(self->waiting);
  });
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
}

TEST_F(TollamarStateChange, PlayingAnchorsTheGridAtTheRunningTimeOfTheChange) {
  make(6 * GST_SECOND, 1 * GST_SECOND);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_EQ(self->base_running_time, 5 * GST_SECOND);
    EXPECT_EQ(self->next_running_time, 5 * GST_SECOND);
    EXPECT_EQ(self->frame_index, 0u);
    EXPECT_EQ(self->distortion, 1.0);
    EXPECT_FALSE(self->filling);
  });
}

TEST_F(TollamarStateChange, ClockBeforeTheBaseTimeAnchorsAtZero) {
  make(3 * GST_SECOND, 10 * GST_SECOND);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_EQ(self->base_running_time, 0u);
    EXPECT_EQ(self->next_running_time, 0u);
  });
}

TEST_F(TollamarStateChange, PlayingAgainReanchorsAndStartsTheFrameCountOver) {
  make(6 * GST_SECOND, 1 * GST_SECOND);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  // Where an element stands after it has paced output for a while.
  with_lock(element_.get(), [](GstTollamar *self) {
    self->frame_index = 120;
    self->distortion = 1.25;
    self->filling = TRUE;
  });
  // A pipeline moves the base time forward by the time spent paused.
  gst_element_set_base_time(element_.get(), 4 * GST_SECOND);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_EQ(self->base_running_time, 2 * GST_SECOND);
    EXPECT_EQ(self->next_running_time, 2 * GST_SECOND);
    // No catch-up burst for the old frame count against the new base.
    EXPECT_EQ(self->frame_index, 0u);
    EXPECT_EQ(self->distortion, 1.0);
    EXPECT_FALSE(self->filling);
    EXPECT_FALSE(self->waiting);
  });
}

TEST_F(TollamarStateChange, PlayingWithoutAClockFailsWithAnElementError) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  ObjectRef<GstBus> bus(attach_bus(element.get()));
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);

  GstMessage *message = gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR);
  ASSERT_NE(message, nullptr);
  GError *error = nullptr;
  gchar *debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  EXPECT_EQ(GST_MESSAGE_SRC(message), GST_OBJECT(element.get()));
  EXPECT_EQ(error->domain, GST_CORE_ERROR);
  EXPECT_EQ(error->code, GST_CORE_ERROR_CLOCK);
  EXPECT_STREQ(error->message, "The element needs a clock to pace its output.");
  g_error_free(error);
  g_free(debug);
  gst_message_unref(message);
  with_lock(element.get(), [](GstTollamar *self) {
    EXPECT_TRUE(self->waiting);
    EXPECT_EQ(self->base_running_time, GST_CLOCK_TIME_NONE);
  });
  gst_element_set_state(element.get(), GST_STATE_NULL);
  gst_element_set_bus(element.get(), nullptr);
}

TEST_F(TollamarStateChange, PausedToReadyEndsABlockedChainCallAtOnce) {
  make(0, 0);
  ElementLog watcher(element_.get());
  g_object_set(element_.get(), "max-lateness", G_GUINT64_CONSTANT(0), nullptr);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  ChainThread blocked(element_.get(), make_buffer(40 * ms, 40 * ms));
  ASSERT_TRUE(watcher.wait_for(
      "Waiting for queue to empty 0:00:00.040000000 > 0:00:00.000000000"));
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(blocked.result(), GST_FLOW_FLUSHING);
  EXPECT_TRUE(queue_items(element_.get()).empty());
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
}

TEST_F(TollamarStateChange, PausedToReadyEndsTheOutputTasksClockWaitAtOnce) {
  make(0, 0);
  ElementLog watcher(element_.get());
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // With nothing queued the task waits on the clock for the next slot.
  gst_test_clock_wait_for_next_pending_id(test_clock(), nullptr);
  GstClockTime before = gst_clock_get_time(clock_.get());
  // Stopping joins the task; it returns only because the wait was ended.
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_TRUE(watcher.seen("unlock clock wait"));
  EXPECT_EQ(gst_clock_get_time(clock_.get()), before);
  EXPECT_EQ(gst_test_clock_peek_id_count(test_clock()), 0u);
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
  with_lock(element_.get(), [](GstTollamar *self) { EXPECT_EQ(self->clock_id, nullptr); });
}

TEST_F(TollamarStateChange, PausedToReadyForgetsTheStream) {
  make(0, 0);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  with_lock(element_.get(), [](GstTollamar *self) {
    self->have_stream_start = TRUE;
    gst_video_info_set_format(&self->video_info, GST_VIDEO_FORMAT_I420, 8, 8);
    self->last_buffer = make_buffer(0, 40 * ms);
  });
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_FALSE(self->have_stream_start);
    EXPECT_EQ(self->video_info.finfo, nullptr);
    EXPECT_EQ(self->last_buffer, nullptr);
    EXPECT_TRUE(gst_queue_array_is_empty(self->queue));
    EXPECT_EQ(self->queued_duration, 0u);
  });
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_FALSE(self->have_stream_start);
    EXPECT_EQ(self->flow_return, GST_FLOW_OK);
  });
}

TEST_F(TollamarStateChange, SkipToFirstPlayingAloneDoesNotStartTheOutputTheNextBufferDoes) {
  make(0, 0);
  Downstream downstream(element_.get());
  g_object_set(element_.get(), "skip-to-first", TRUE, nullptr);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_TRUE(self->waiting);
    EXPECT_FALSE(self->got_first);
    // Not anchored at the change: the first buffer will be the base.
    EXPECT_EQ(self->base_running_time, GST_CLOCK_TIME_NONE);
  });
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(3 * GST_SECOND, 40 * ms)), GST_FLOW_OK);
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  EXPECT_EQ(downstream.buffer_pts(), std::vector<GstClockTime>{3 * GST_SECOND});
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_FALSE(self->waiting);
    EXPECT_TRUE(self->got_first);
    EXPECT_EQ(self->base_running_time, 3 * GST_SECOND);
  });
}

TEST_F(TollamarStateChange, SkipToFirstBufferWhilePausedReleasesAndPlayingOnlyClearsGotFirst) {
  // As in a pipeline, the element gets its clock only on the way to PLAYING.
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  g_object_set(element.get(), "skip-to-first", TRUE, nullptr);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element.get(), kVideoCaps);
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  with_lock(element.get(), [](GstTollamar *self) {
    EXPECT_FALSE(self->waiting);
    EXPECT_TRUE(self->got_first);
    EXPECT_TRUE(self->resync);
  });
  EXPECT_TRUE(downstream.buffer_pts().empty());

  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  with_lock(element.get(), [](GstTollamar *self) {
    EXPECT_FALSE(self->got_first);
    EXPECT_FALSE(self->waiting);
  });
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  // The next buffer asks the task to re-synchronise once more.
  EXPECT_EQ(chain(element.get(), make_buffer(40 * ms, 40 * ms)), GST_FLOW_OK);
  with_lock(element.get(), [](GstTollamar *self) { EXPECT_TRUE(self->got_first); });
  gst_element_set_state(element.get(), GST_STATE_NULL);
}

TEST_F(TollamarStateChange, SkipToFirstRefusedFirstBufferStillReleasesTheOutputTask) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  g_object_set(element.get(), "skip-to-first", TRUE, nullptr);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element.get(), kVideoCaps);
  with_lock(element.get(), [](GstTollamar *self) {
    self->flow_return = GST_FLOW_NOT_LINKED;
    EXPECT_TRUE(self->waiting);
  });
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_NOT_LINKED);
  with_lock(element.get(), [](GstTollamar *self) {
    EXPECT_FALSE(self->waiting);
    EXPECT_TRUE(self->got_first);
    EXPECT_TRUE(self->resync);
  });
  gst_element_set_state(element.get(), GST_STATE_NULL);
}

TEST_F(TollamarStateChange, WithoutSkipToFirstTheChainFunctionNeverTouchesWaiting) {
  make(0, 0);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  with_lock(element_.get(), [](GstTollamar *self) {
    EXPECT_TRUE(self->waiting);
    EXPECT_FALSE(self->got_first);
    EXPECT_FALSE(self->resync);
  });
}
