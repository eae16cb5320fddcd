// The input side's bound on the queue: a buffer is admitted while the queued
// buffers span no more than "max-lateness", otherwise the upstream thread
// waits until the output side has taken buffers. Most cases hold the output
// task (the element is PAUSED and has no clock) and take buffers the way the
// task does; the last one lets the real task drain the queue.
#include <gtest/gtest.h>

#include "tollamar_support.h"

using namespace tollamar_test;

namespace {

constexpr GstClockTime ms = GST_MSECOND;

class TollamarQueueBound : public ::testing::Test {
 protected:
  void SetUp() override {
    element_.reset(make_element("livevideorate"));
    ASSERT_TRUE(element_);
    watcher_ = std::make_unique<ElementLog>(element_.get());
    // Without a clock the output task holds, so only the test takes buffers.
    ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED),
              GST_STATE_CHANGE_NO_PREROLL);
    send_stream_head(element_.get(), "video/x-raw, format=I420, width=8, height=8, framerate=25/1");
  }
  void TearDown() override {
    gst_element_set_state(element_.get(), GST_STATE_NULL);
    watcher_.reset();
  }
  void set_max_lateness(GstClockTime value) {
    g_object_set(element_.get(), "max-lateness", static_cast<guint64>(value), nullptr);
  }
  GstClockTime queued_duration() {
    GstClockTime d = 0;
    with_lock(element_.get(), [&](GstTollamar *self) { d = self->queued_duration; });
    return d;
  }
  std::vector<GstClockTime> queued_pts() {
    std::vector<GstClockTime> pts;
    for (const auto &item : queue_items(element_.get()))
      if (item.is_buffer) pts.push_back(item.pts);
    return pts;
  }

  ObjectRef<GstElement> element_;
  std::unique_ptr<ElementLog> watcher_;
};

}  // namespace

TEST_F(TollamarQueueBound, BufferArrivingWhenQueuedDurationEqualsMaxLatenessIsQueuedAtOnce) {
  set_max_lateness(100 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 50 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(50 * ms, 50 * ms)), GST_FLOW_OK);
  ASSERT_EQ(queued_duration(), 100 * ms);
  // Equal to the bound: admitted without waiting, which the call returning shows.
  EXPECT_EQ(chain(element_.get(), make_buffer(100 * ms, 10 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 110 * ms);
  EXPECT_EQ(queued_pts(), (std::vector<GstClockTime>{0, 50 * ms, 100 * ms}));
  EXPECT_TRUE(watcher_->seen("Updated queued duration: 0:00:00.110000000"
                             "(0:00:00.000000000 - 0:00:00.110000000)"));
}

TEST_F(TollamarQueueBound, OneMoreBufferWaitsUntilTheOutputSideTakesOne) {
  set_max_lateness(100 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 60 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(60 * ms, 60 * ms)), GST_FLOW_OK);
  ASSERT_EQ(queued_duration(), 120 * ms);

  ChainThread blocked(element_.get(), make_buffer(120 * ms, 60 * ms));
  ASSERT_TRUE(watcher_->wait_for(
      "Waiting for queue to empty 0:00:00.120000000 > 0:00:00.100000000"));
  // The waiting buffer is not in the queue yet.
  EXPECT_EQ(queued_pts(), (std::vector<GstClockTime>{0, 60 * ms}));

  take_head_as_output(element_.get());
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  EXPECT_EQ(queued_pts(), (std::vector<GstClockTime>{60 * ms, 120 * ms}));
  EXPECT_EQ(queued_duration(), 120 * ms);
}

TEST_F(TollamarQueueBound, WaitingBufferChecksAgainAfterEveryWakeUp) {
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(40 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(80 * ms, 40 * ms)), GST_FLOW_OK);
  ASSERT_EQ(queued_duration(), 120 * ms);
  // A lower bound applies from the next buffer on.
  set_max_lateness(50 * ms);

  ChainThread blocked(element_.get(), make_buffer(120 * ms, 40 * ms));
  ASSERT_TRUE(watcher_->wait_for(
      "Waiting for queue to empty 0:00:00.120000000 > 0:00:00.050000000"));
  // Taking one buffer leaves 80 ms, still above the bound: it waits again.
  take_head_as_output(element_.get());
  ASSERT_TRUE(watcher_->wait_for(
      "Waiting for queue to empty 0:00:00.080000000 > 0:00:00.050000000"));
  EXPECT_EQ(queued_pts(), (std::vector<GstClockTime>{40 * ms, 80 * ms}));
  take_head_as_output(element_.get());
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  EXPECT_EQ(queued_pts(), (std::vector<GstClockTime>{80 * ms, 120 * ms}));
}

TEST_F(TollamarQueueBound, MaxLatenessZeroAdmitsOnlyWhileTheQueueSpansNothing) {
  set_max_lateness(0);
  // Buffers without duration at one PTS span nothing: all admitted.
  EXPECT_EQ(chain(element_.get(), make_buffer(10 * ms, GST_CLOCK_TIME_NONE)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(10 * ms, GST_CLOCK_TIME_NONE)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 0u);
  // A buffer whose end does not pass the first PTS keeps the span at 0.
  EXPECT_EQ(chain(element_.get(), make_buffer(5 * ms, 5 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 0u);
  // This one spans 10 ms beyond the first PTS; it is still admitted (0 <= 0)...
  EXPECT_EQ(chain(element_.get(), make_buffer(10 * ms, 10 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 10 * ms);
  // ... and every further buffer waits until the buffers ahead are taken.
  ChainThread blocked(element_.get(), make_buffer(20 * ms, 10 * ms));
  ASSERT_TRUE(watcher_->wait_for(
      "Waiting for queue to empty 0:00:00.010000000 > 0:00:00.000000000"));
  for (int i = 0; i < 3; i++) take_head_as_output(element_.get());
  // One buffer of 10 ms left: still more than 0.
  ASSERT_TRUE(watcher_->wait_for(
      "Waiting for queue to empty 0:00:00.010000000 > 0:00:00.000000000"));
  take_head_as_output(element_.get());
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  EXPECT_EQ(queued_pts(), (std::vector<GstClockTime>{20 * ms}));
}

TEST_F(TollamarQueueBound, BackwardsTimestampsGiveZero) {
  EXPECT_EQ(chain(element_.get(), make_buffer(1000 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(500 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 0u);
  EXPECT_TRUE(watcher_->seen("Updated queued duration: 0:00:00.000000000"
                             "(0:00:01.000000000 - 0:00:00.540000000)"));
}

TEST_F(TollamarQueueBound, LastBufferWithoutDurationCountsToItsPts) {
  EXPECT_EQ(chain(element_.get(), make_buffer(100 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(250 * ms, GST_CLOCK_TIME_NONE)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 150 * ms);
}

TEST_F(TollamarQueueBound, EventsBetweenBuffersDoNotCount) {
  ObjectRef<GstPad> sink(gst_element_get_static_pad(element_.get(), "sink"));
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 10 * ms)), GST_FLOW_OK);
  EXPECT_TRUE(gst_pad_send_event(sink.get(), gst_event_new_tag(gst_tag_list_new_empty())));
  EXPECT_EQ(queued_duration(), 10 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(30 * ms, 10 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 40 * ms);
  // Behind stream-start, caps and segment: buffer, tag, buffer.
  auto items = queue_items(element_.get());
  ASSERT_EQ(items.size(), 6u);
  EXPECT_TRUE(items[3].is_buffer);
  EXPECT_FALSE(items[4].is_buffer);
  EXPECT_EQ(items[4].event, GST_EVENT_TAG);
  EXPECT_TRUE(items[5].is_buffer);
}

TEST_F(TollamarQueueBound, BuffersWithoutPtsArePassedOverWhenMeasuring) {
  // A buffer without PTS has no place on the timeline: neither first nor last.
  EXPECT_EQ(chain(element_.get(), make_buffer(GST_CLOCK_TIME_NONE, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 0u);
  EXPECT_EQ(chain(element_.get(), make_buffer(100 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 40 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(GST_CLOCK_TIME_NONE, 1000 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 40 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(200 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(queued_duration(), 140 * ms);
  EXPECT_EQ(queued_pts().size(), 4u);
}

TEST_F(TollamarQueueBound, BufferOfferedWhileTheFlowIsStoppedIsReleasedWithTheStoredResult) {
  with_lock(element_.get(), [](GstTollamar *self) { self->flow_return = GST_FLOW_NOT_NEGOTIATED; });
  GstBuffer *buffer = make_buffer(0, 10 * ms);
  gst_buffer_ref(buffer);
  EXPECT_EQ(chain(element_.get(), buffer), GST_FLOW_NOT_NEGOTIATED);
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(buffer), 1);
  gst_buffer_unref(buffer);
  EXPECT_TRUE(queued_pts().empty());
}

TEST_F(TollamarQueueBound, SerializedEventsAreQueuedEvenWhileTheFlowIsStopped) {
  ObjectRef<GstPad> sink(gst_element_get_static_pad(element_.get(), "sink"));
  with_lock(element_.get(), [](GstTollamar *self) { self->flow_return = GST_FLOW_ERROR; });
  EXPECT_TRUE(gst_pad_send_event(sink.get(), gst_event_new_tag(gst_tag_list_new_empty())));
  EXPECT_TRUE(gst_pad_send_event(
      sink.get(), gst_event_new_custom(GST_EVENT_CUSTOM_DOWNSTREAM,
                                       gst_structure_new_empty("tollamar-test"))));
  auto items = queue_items(element_.get());
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[3].event, GST_EVENT_TAG);
  EXPECT_EQ(items[4].event, GST_EVENT_CUSTOM_DOWNSTREAM);
}

TEST(TollamarQueueBoundWithOutputTask, WaitingBufferIsAdmittedWhenTheOutputTaskTakesOne) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  ElementLog watcher(element.get());
  Downstream downstream(element.get());
  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  g_object_set(element.get(), "max-lateness", static_cast<guint64>(50 * ms), nullptr);

  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element.get(), "video/x-raw, format=I420, width=8, height=8, framerate=25/1");
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element.get(), make_buffer(40 * ms, 40 * ms)), GST_FLOW_OK);
  ChainThread blocked(element.get(), make_buffer(80 * ms, 40 * ms));
  ASSERT_TRUE(watcher.wait_for(
      "Waiting for queue to empty 0:00:00.080000000 > 0:00:00.050000000"));
  EXPECT_TRUE(downstream.buffer_pts().empty());

  // PLAYING releases the task; the buffers are on the grid, so it pushes them.
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  ASSERT_TRUE(downstream.wait_for_buffers(3));
  EXPECT_EQ(downstream.buffer_pts(), (std::vector<GstClockTime>{0, 40 * ms, 80 * ms}));
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}
