// The input side's bound on the queue: a buffer is admitted while the queued
// buffers span no more than "max-lateness", otherwise the upstream thread
// waits until the output side has taken buffers. The output task holds until
// PLAYING; from then on a downstream that lets buffers through one by one
// decides how many the task has taken.
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
    downstream_ = std::make_unique<Downstream>(element_.get());
    downstream_->allow(0);
    clock_.reset(gst_test_clock_new());
    gst_element_set_clock(element_.get(), clock_.get());
    gst_element_set_base_time(element_.get(), 0);
    ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED),
              GST_STATE_CHANGE_NO_PREROLL);
    send_stream_head(element_.get(), "video/x-raw, format=I420, width=8, height=8, framerate=25/1");
  }
  void TearDown() override {
    downstream_->allow(SIZE_MAX);
    gst_element_set_state(element_.get(), GST_STATE_NULL);
    downstream_.reset();
  }
  void set_max_lateness(GstClockTime value) {
    g_object_set(element_.get(), "max-lateness", static_cast<guint64>(value), nullptr);
  }
  // The output task starts taking buffers on a grid from running time @at;
  // downstream lets @n through.
  void play_and_allow(size_t n, GstClockTime at = 0) {
    downstream_->allow(n);
    gst_test_clock_set_time(GST_TEST_CLOCK(clock_.get()), at);
    ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  }
  // The queued buffers span at most @span: with "max-lateness" @span one
  // more buffer without PTS, which adds nothing to the span, is admitted
  // at once. It follows the others out on the slot that is due.
  void expect_admitted_at(GstClockTime span) {
    set_max_lateness(span);
    ChainThread probe(element_.get(), make_buffer(GST_CLOCK_TIME_NONE, 0));
    EXPECT_EQ(probe.result(), GST_FLOW_OK) << "not admitted at " << span << " ns";
  }
  // With "max-lateness" @bound one more buffer without PTS waits, and is
  // admitted once the task, playing from @at, has let @n through.
  void expect_admitted_once_taken(GstClockTime bound, size_t n, GstClockTime at) {
    set_max_lateness(bound);
    ChainThread blocked(element_.get(), make_buffer(GST_CLOCK_TIME_NONE, 0));
    expect_waiting(blocked);
    play_and_allow(n, at);
    EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  }
  // A chain call that must wait: it is inside the element and stays there.
  void expect_waiting(ChainThread &call) {
    call.wait_inside();
    EXPECT_FALSE(call.finished());
  }
  // Everything downstream let through, once the task has taken all.
  std::vector<GstClockTime> drained(size_t n) {
    play_and_allow(SIZE_MAX, gst_clock_get_time(clock_.get()));
    EXPECT_TRUE(downstream_->wait_for_buffers(n));
    return downstream_->buffer_pts();
  }

  ObjectRef<GstElement> element_;
  ObjectRef<GstClock> clock_;
  std::unique_ptr<Downstream> downstream_;
};

}  // namespace

TEST_F(TollamarQueueBound, BufferArrivingWhenQueuedDurationEqualsMaxLatenessIsQueuedAtOnce) {
  set_max_lateness(100 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 50 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(50 * ms, 50 * ms)), GST_FLOW_OK);
  // Equal to the bound: admitted without waiting, which the call returning shows.
  EXPECT_EQ(chain(element_.get(), make_buffer(100 * ms, 10 * ms)), GST_FLOW_OK);
  // Now 110 ms are queued.
  ChainThread blocked(element_.get(), make_buffer(110 * ms, 10 * ms));
  expect_waiting(blocked);
  play_and_allow(1);
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  EXPECT_EQ(drained(4), (std::vector<GstClockTime>{0, 50 * ms, 100 * ms, 110 * ms}));
}

TEST_F(TollamarQueueBound, OneMoreBufferWaitsUntilTheOutputSideTakesOne) {
  set_max_lateness(100 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 60 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(60 * ms, 60 * ms)), GST_FLOW_OK);

  ChainThread blocked(element_.get(), make_buffer(120 * ms, 60 * ms));
  expect_waiting(blocked);
  // The task takes the first buffer; 60 ms remain, and it is admitted.
  play_and_allow(1);
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  EXPECT_EQ(drained(3), (std::vector<GstClockTime>{0, 60 * ms, 120 * ms}));
}

TEST_F(TollamarQueueBound, WaitingBufferChecksAgainAfterEveryWakeUp) {
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(40 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(80 * ms, 40 * ms)), GST_FLOW_OK);
  // A lower bound applies from the next buffer on: 120 ms > 50 ms.
  set_max_lateness(50 * ms);
  ChainThread blocked(element_.get(), make_buffer(120 * ms, 40 * ms));
  blocked.wait_inside();
  // Taking one buffer leaves 80 ms, still above the bound: it waits again
  // until the task has taken a second one and has let go of it.
  play_and_allow(1);
  ASSERT_TRUE(downstream_->wait_for_buffers(1));
  EXPECT_FALSE(blocked.finished());
  downstream_->allow(2);
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  EXPECT_EQ(drained(4), (std::vector<GstClockTime>{0, 40 * ms, 80 * ms, 120 * ms}));
}

TEST_F(TollamarQueueBound, WithSkipToFirstABufferWaitingSincePausedReleasesTheTaskAtPlaying) {
  g_object_set(element_.get(), "skip-to-first", TRUE, nullptr);
  set_max_lateness(50 * ms);
  play_and_allow(SIZE_MAX);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  ASSERT_TRUE(downstream_->wait_for_buffers(1));
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  // Paused, the task holds: the queue fills beyond the bound.
  EXPECT_EQ(chain(element_.get(), make_buffer(40 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(80 * ms, 40 * ms)), GST_FLOW_OK);
  ChainThread blocked(element_.get(), make_buffer(120 * ms, 40 * ms));
  expect_waiting(blocked);
  // Playing again, the task holds for the first buffer, which is the one
  // waiting for room: it releases the task instead of waiting for ever.
  ASSERT_EQ(gst_element_set_state(element_.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  EXPECT_TRUE(downstream_->wait_for_buffers(4));
}

TEST_F(TollamarQueueBound, MaxLatenessZeroAdmitsOnlyWhileTheQueueSpansNothing) {
  set_max_lateness(0);
  // Buffers without duration at one PTS span nothing: all admitted.
  EXPECT_EQ(chain(element_.get(), make_buffer(10 * ms, GST_CLOCK_TIME_NONE)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(10 * ms, GST_CLOCK_TIME_NONE)), GST_FLOW_OK);
  // A buffer whose end does not pass the first PTS keeps the span at 0.
  EXPECT_EQ(chain(element_.get(), make_buffer(5 * ms, 5 * ms)), GST_FLOW_OK);
  // This one spans 10 ms beyond the first PTS; it is still admitted (0 <= 0)...
  EXPECT_EQ(chain(element_.get(), make_buffer(10 * ms, 10 * ms)), GST_FLOW_OK);
  // ... and every further buffer waits until the buffers ahead are taken
  // (all of them: the last one alone spans 10 ms, more than 0).
  ChainThread blocked(element_.get(), make_buffer(20 * ms, 10 * ms));
  expect_waiting(blocked);
  play_and_allow(SIZE_MAX, 10 * ms);
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
}

TEST_F(TollamarQueueBound, BackwardsTimestampsGiveZero) {
  EXPECT_EQ(chain(element_.get(), make_buffer(1000 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(500 * ms, 40 * ms)), GST_FLOW_OK);
  expect_admitted_at(0);
}

TEST_F(TollamarQueueBound, LastBufferWithoutDurationCountsToItsPts) {
  EXPECT_EQ(chain(element_.get(), make_buffer(100 * ms, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(chain(element_.get(), make_buffer(250 * ms, GST_CLOCK_TIME_NONE)), GST_FLOW_OK);
  expect_admitted_at(150 * ms);
  // Once the task has taken the first, what is left spans nothing.
  expect_admitted_once_taken(150 * ms - 1, 1, 100 * ms);
}

TEST_F(TollamarQueueBound, EventsBetweenBuffersDoNotCount) {
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 10 * ms)), GST_FLOW_OK);
  EXPECT_TRUE(gst_pad_send_event(sink_pad(element_.get()), gst_event_new_tag(gst_tag_list_new_empty())));
  expect_admitted_at(10 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(30 * ms, 10 * ms)), GST_FLOW_OK);
  expect_admitted_at(40 * ms);
  // The tag goes out between the buffers, behind stream-start, caps and segment.
  EXPECT_EQ(drained(4).size(), 4u);
  EXPECT_TRUE(downstream_->wait_for_event(GST_EVENT_TAG));
}

TEST_F(TollamarQueueBound, BuffersWithoutPtsArePassedOverWhenMeasuring) {
  // A buffer without PTS has no place on the timeline: neither first nor last.
  EXPECT_EQ(chain(element_.get(), make_buffer(GST_CLOCK_TIME_NONE, 40 * ms)), GST_FLOW_OK);
  expect_admitted_at(0);
  EXPECT_EQ(chain(element_.get(), make_buffer(100 * ms, 40 * ms)), GST_FLOW_OK);
  expect_admitted_at(40 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(GST_CLOCK_TIME_NONE, 1000 * ms)), GST_FLOW_OK);
  expect_admitted_at(40 * ms);
  EXPECT_EQ(chain(element_.get(), make_buffer(200 * ms, 40 * ms)), GST_FLOW_OK);
  expect_admitted_at(140 * ms);
  // Admitted once the task has taken all before the buffer at 200 ms: the
  // first two, each due when it is taken, then the one at 100 ms.
  expect_admitted_once_taken(140 * ms - 1, 3, 60 * ms);
}

// The flow stops on caps the element cannot describe: not negotiated.
class TollamarStoppedFlow : public TollamarQueueBound {
 protected:
  void stop_flow() {
    ObjectRef<GstBus> bus(attach_bus(element_.get()));
    GstCaps *caps = gst_caps_from_string(
        "video/x-raw, format=RGBx, width=4, height=4, framerate=25/1, interlace-mode=alternate");
    EXPECT_TRUE(gst_pad_send_event(sink_pad(element_.get()), gst_event_new_caps(caps)));
    gst_caps_unref(caps);
    play_and_allow(SIZE_MAX);
    GstMessage *error = gst_bus_timed_pop_filtered(bus.get(), 60 * GST_SECOND, GST_MESSAGE_ERROR);
    ASSERT_NE(error, nullptr);
    gst_message_unref(error);
    gst_element_set_bus(element_.get(), nullptr);
  }
};

TEST_F(TollamarStoppedFlow, BufferOfferedWhileTheFlowIsStoppedIsReleasedWithTheStoredResult) {
  ASSERT_NO_FATAL_FAILURE(stop_flow());
  GstBuffer *buffer = make_buffer(0, 10 * ms);
  gst_buffer_ref(buffer);
  EXPECT_EQ(chain(element_.get(), buffer), GST_FLOW_NOT_NEGOTIATED);
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(buffer), 1);
  gst_buffer_unref(buffer);
}

TEST_F(TollamarQueueBound, SerializedEventsAreQueuedEvenWhileTheFlowIsStopped) {
  // Downstream ends the stream: the flow stops at end of stream, the task
  // goes on and forwards what is queued.
  downstream_->set_flow(GST_FLOW_EOS);
  play_and_allow(SIZE_MAX);
  EXPECT_EQ(chain(element_.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  ASSERT_TRUE(downstream_->wait_for_buffers(1));
  // Done with the buffer, the task waits for the next slot.
  gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock_.get()), nullptr);
  ObjectRef<GstPad> sink(gst_element_get_static_pad(element_.get(), "sink"));
  EXPECT_EQ(chain(element_.get(), make_buffer(40 * ms, 40 * ms)), GST_FLOW_EOS);
  EXPECT_TRUE(gst_pad_send_event(sink.get(), gst_event_new_tag(gst_tag_list_new_empty())));
  EXPECT_TRUE(gst_pad_send_event(
      sink.get(), gst_event_new_custom(GST_EVENT_CUSTOM_DOWNSTREAM,
                                       gst_structure_new_empty("tollamar-test"))));
  ASSERT_TRUE(downstream_->wait_for_event(GST_EVENT_CUSTOM_DOWNSTREAM));
  std::vector<GstEventType> events = downstream_->event_types();
  EXPECT_EQ(std::vector<GstEventType>(events.end() - 2, events.end()),
            (std::vector<GstEventType>{GST_EVENT_TAG, GST_EVENT_CUSTOM_DOWNSTREAM}));
}

TEST(TollamarQueueBoundWithOutputTask, WaitingBufferIsAdmittedWhenTheOutputTaskTakesOne) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
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
  blocked.wait_inside();
  EXPECT_FALSE(blocked.finished());
  EXPECT_TRUE(downstream.buffer_pts().empty());

  // PLAYING releases the task; the buffers are on the grid, so it pushes them.
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(blocked.result(), GST_FLOW_OK);
  ASSERT_TRUE(downstream.wait_for_buffers(3));
  EXPECT_EQ(downstream.buffer_pts(), (std::vector<GstClockTime>{0, 40 * ms, 80 * ms}));
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}
