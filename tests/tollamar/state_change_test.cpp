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
  GstTaskState task_state() { return gst_pad_get_task_state(src_pad(element_.get())); }
  // Clock time of the next wait the output task registers (it waits for it).
  GstClockTime next_wait() {
    GstClockID id = nullptr;
    gst_test_clock_wait_for_next_pending_id(test_clock(), &id);
    GstClockTime t = gst_clock_id_get_time(id);
    gst_clock_id_unref(id);
    return t;
  }

  ObjectRef<GstElement> element_;
  ObjectRef<GstClock> clock_;
};

}  // namespace

TEST_F(TollamarStateChange, ReadyToPausedAndPlayingToPausedReturnNoPreroll) {
  make(0, 0);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  EXPECT_EQ(task_state(), GST_TASK_STARTED);
  // Data flows from PAUSED on.
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
}

TEST_F(TollamarStateChange, PlayingAnchorsTheGridAtTheRunningTimeOfTheChange) {
  make(6 * GST_SECOND, 1 * GST_SECOND);
  Downstream downstream(element_.get());
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // Slot 0 is due at running time 5 s: filled max-lateness later (the
  // latency is not known yet, so 1 ns early), one undistorted slot long.
  EXPECT_EQ(next_wait(), 1 * GST_SECOND + 5 * GST_SECOND + 200 * ms - 1);
  gst_test_clock_crank(test_clock());
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  EXPECT_EQ(downstream.buffer_pts(), std::vector<GstClockTime>{5 * GST_SECOND});
  EXPECT_EQ(next_wait(), 1 * GST_SECOND + 5 * GST_SECOND + 240 * ms - 1);
}

TEST_F(TollamarStateChange, ClockBeforeTheBaseTimeAnchorsAtZero) {
  make(3 * GST_SECOND, 10 * GST_SECOND);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(next_wait(), 10 * GST_SECOND + 200 * ms - 1);
}

TEST_F(TollamarStateChange, PlayingAgainReanchorsAndStartsTheFrameCountOver) {
  make(6 * GST_SECOND, 1 * GST_SECOND);
  Downstream downstream(element_.get());
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // The element paces gap frames for a while: slots 0 to 2 from 5 s.
  for (int i = 0; i < 3; i++) gst_test_clock_crank(test_clock());
  ASSERT_TRUE(downstream.wait_for_buffers(3));
  // The task waits for slot 3 when the pipeline pauses; time goes on.
  EXPECT_EQ(next_wait(), 1 * GST_SECOND + 5 * GST_SECOND + 320 * ms - 1);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  gst_test_clock_set_time(test_clock(), 8 * GST_SECOND);
  // A pipeline moves the base time forward by the time spent paused.
  gst_element_set_base_time(element_.get(), 6 * GST_SECOND);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // The wait that was pending ends; the next slot lies on the new grid at
  // running time 2 s, with no catch-up burst for the old frame count.
  gst_test_clock_crank(test_clock());
  ASSERT_TRUE(downstream.wait_for_buffers(4));
  EXPECT_EQ(downstream.buffer_pts()[3], 2 * GST_SECOND);
  EXPECT_EQ(next_wait(), 6 * GST_SECOND + 2 * GST_SECOND + 240 * ms - 1);
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
  gst_element_set_state(element.get(), GST_STATE_NULL);
  gst_element_set_bus(element.get(), nullptr);
}

TEST_F(TollamarStateChange, PausedToReadyEndsABlockedChainCallAtOnce) {
  make(0, 0);
  g_object_set(element_.get(), "max-lateness", G_GUINT64_CONSTANT(0), nullptr);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element_.get(), kVideoCaps);
  GstBuffer *queued = make_buffer(0, 40 * ms);
  gst_buffer_ref(queued);
  EXPECT_EQ(chain(element_.get(), queued), GST_FLOW_OK);
  ChainThread blocked(element_.get(), make_buffer(40 * ms, 40 * ms));
  blocked.wait_inside();
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(blocked.result(), GST_FLOW_FLUSHING);
  // The queue was emptied: the element holds the queued buffer no more.
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(queued), 1);
  gst_buffer_unref(queued);
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
}

TEST_F(TollamarStateChange, PausedToReadyEndsTheOutputTasksClockWaitAtOnce) {
  make(0, 0);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // With nothing queued the task waits on the clock for the next slot.
  gst_test_clock_wait_for_next_pending_id(test_clock(), nullptr);
  GstClockTime before = gst_clock_get_time(clock_.get());
  // Stopping joins the task; it returns only because the wait was ended.
  EXPECT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(gst_clock_get_time(clock_.get()), before);
  EXPECT_EQ(gst_test_clock_peek_id_count(test_clock()), 0u);
  EXPECT_EQ(task_state(), GST_TASK_STOPPED);
}

TEST_F(TollamarStateChange, PausedToReadyForgetsTheStream) {
  make(0, 0);
  Downstream downstream(element_.get());
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  GstBuffer *queued = make_buffer(40 * ms, 40 * ms);
  gst_buffer_ref(queued);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  EXPECT_EQ(chain(element_.get(), queued), GST_FLOW_OK);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(queued), 1);
  gst_buffer_unref(queued);

  // Back to PLAYING without a word from upstream: the element starts a new
  // stream of its own, with caps of its own.
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  gst_test_clock_crank(test_clock());
  ASSERT_TRUE(downstream.wait_for_buffers(2));
  std::vector<GstEventType> events = downstream.event_types();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(std::vector<GstEventType>(events.end() - 3, events.end()),
            (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS, GST_EVENT_SEGMENT}));
}

TEST_F(TollamarStateChange, SkipToFirstPlayingAloneDoesNotStartTheOutputTheNextBufferDoes) {
  make(0, 0);
  Downstream downstream(element_.get());
  g_object_set(element_.get(), "skip-to-first", TRUE, nullptr);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // The task is held: nothing goes out and it never waits on the clock.
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(gst_test_clock_peek_id_count(test_clock()), 0u);
  EXPECT_EQ(chain(element_.get(), make_buffer(3 * GST_SECOND, 40 * ms)), GST_FLOW_OK);
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  EXPECT_EQ(downstream.buffer_pts(), std::vector<GstClockTime>{3 * GST_SECOND});
  // The first buffer is the base of the grid, not the moment of PLAYING.
  EXPECT_EQ(next_wait(), 3 * GST_SECOND + 40 * ms + 200 * ms - 1);
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
  // Released, the task still has no clock to pace with: nothing goes out.
  EXPECT_TRUE(downstream.buffer_pts().empty());

  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // PLAYING wakes the released task, which now has the clock.
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  // After PLAYING the next buffer is a first one again: the output
  // re-synchronises on it, a second later, without filling the second.
  EXPECT_EQ(chain(element.get(), make_buffer(GST_SECOND, 40 * ms)), GST_FLOW_OK);
  ASSERT_TRUE(downstream.wait_for_buffers(2));
  EXPECT_EQ(downstream.buffer_pts(), (std::vector<GstClockTime>{0, GST_SECOND}));
  gst_element_set_state(element.get(), GST_STATE_NULL);
}

TEST_F(TollamarStateChange, SkipToFirstRefusedFirstBufferStillReleasesTheOutputTask) {
  // Unlinked: the first gap frame fails with not-linked, which the
  // element then answers upstream with.
  make(0, 0);
  ObjectRef<GstBus> bus(attach_bus(element_.get()));
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  gst_test_clock_crank(test_clock());
  GstMessage *error = gst_bus_timed_pop_filtered(bus.get(), 60 * GST_SECOND, GST_MESSAGE_ERROR);
  ASSERT_NE(error, nullptr);
  gst_message_unref(error);
  g_object_set(element_.get(), "skip-to-first", TRUE, nullptr);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_NOT_LINKED);
  // Refused, it released the task all the same: once a flush lets data flow
  // again, the task runs at once and waits for its first slot.
  ObjectRef<GstPad> sink(gst_element_get_static_pad(element_.get(), "sink"));
  // (Downstream is not linked: the flush-start it gets on is refused.)
  gst_pad_send_event(sink.get(), gst_event_new_flush_start());
  EXPECT_TRUE(gst_pad_send_event(sink.get(), gst_event_new_flush_stop(TRUE)));
  EXPECT_EQ(next_wait(), gst_clock_get_time(clock_.get()) + 200 * ms - 1);
  gst_element_set_state(element_.get(), GST_STATE_NULL);
  gst_element_set_bus(element_.get(), nullptr);
}

TEST_F(TollamarStateChange, WithoutSkipToFirstTheChainFunctionNeverTouchesWaiting) {
  make(0, 0);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element_.get(), kVideoCaps);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  // Still held in PAUSED, and it does not re-synchronise on the buffer at
  // PLAYING: the grid starts at the change, where the buffer lies.
  EXPECT_EQ(gst_test_clock_peek_id_count(test_clock()), 0u);
  Downstream downstream(element_.get());
  gst_test_clock_set_time(test_clock(), 2 * GST_SECOND);
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // A frame far behind the grid of a task that was never released early is
  // dropped; the first output is a gap on the grid that PLAYING started.
  gst_test_clock_crank(test_clock());
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  EXPECT_EQ(downstream.buffer_pts(), std::vector<GstClockTime>{2 * GST_SECOND});
}
