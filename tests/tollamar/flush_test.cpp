// Flushing through the sink pad, gap events and allocation queries.
#include <gtest/gtest.h>

#include "tollamar_support.h"

using namespace tollamar_test;

namespace {

constexpr GstClockTime ms = GST_MSECOND;
constexpr const char *kVideoCaps = "video/x-raw, format=I420, width=8, height=8, framerate=25/1";

bool send(GstElement *element, GstEvent *event) {
  return gst_pad_send_event(sink_pad(element), event);
}

}  // namespace

TEST(TollamarFlush, FlushStartWhileTheChainFunctionWaitsReturnsFlushingAndReleasesTheBuffer) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  g_object_set(element.get(), "max-lateness", G_GUINT64_CONSTANT(0), nullptr);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element.get(), kVideoCaps);
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);

  GstBuffer *waiting = make_buffer(40 * ms, 40 * ms);
  gst_buffer_ref(waiting);
  {
    ChainThread blocked(element.get(), waiting);
    blocked.wait_inside();
    EXPECT_FALSE(blocked.finished());
    EXPECT_TRUE(send(element.get(), gst_event_new_flush_start()));
    EXPECT_EQ(blocked.result(), GST_FLOW_FLUSHING);
  }
  // Flush-start is not serialized: it went downstream at once.
  EXPECT_EQ(downstream.event_types(), std::vector<GstEventType>{GST_EVENT_FLUSH_START});
  // The element let go of the buffer it could not queue.
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(waiting), 1);
  gst_buffer_unref(waiting);
  EXPECT_EQ(chain(element.get(), make_buffer(80 * ms, 40 * ms)), GST_FLOW_FLUSHING);
  // The output task saw the flush and paused itself.
  EXPECT_TRUE(wait_task_paused(element.get()));
  gst_element_set_state(element.get(), GST_STATE_NULL);
}

TEST(TollamarFlush, FlushStopEmptiesTheQueueRestartsAndKeepsTheFormat) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  // The task holds until PLAYING, so everything stays queued.
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element.get(), kVideoCaps);
  GstBuffer *queued = make_buffer(0, 40 * ms);
  gst_buffer_ref(queued);
  EXPECT_EQ(chain(element.get(), queued), GST_FLOW_OK);
  EXPECT_EQ(chain(element.get(), make_buffer(40 * ms, 40 * ms)), GST_FLOW_OK);

  EXPECT_TRUE(send(element.get(), gst_event_new_flush_start()));
  EXPECT_TRUE(send(element.get(), gst_event_new_flush_stop(TRUE)));
  // The buffers are gone, and data flows in again at once.
  EXPECT_EQ(GST_MINI_OBJECT_REFCOUNT_VALUE(queued), 1);
  gst_buffer_unref(queued);
  EXPECT_EQ(gst_pad_get_task_state(src_pad(element.get())), GST_TASK_STARTED);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  EXPECT_TRUE(send(element.get(), gst_event_new_segment(&segment)));
  EXPECT_EQ(chain(element.get(), make_buffer(80 * ms, 40 * ms)), GST_FLOW_OK);

  gst_test_clock_set_time(GST_TEST_CLOCK(clock.get()), 80 * ms);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  ASSERT_TRUE(downstream.wait_for_buffers(1));
  EXPECT_EQ(downstream.buffer_pts(), std::vector<GstClockTime>{80 * ms});
  // Stream-start and caps, which the held task had not sent yet, follow the
  // flush-stop downstream, as upstream does not send them again after a
  // flush; the old segment is gone and the format kept.
  EXPECT_EQ(downstream.event_types(),
            (std::vector<GstEventType>{GST_EVENT_FLUSH_START, GST_EVENT_FLUSH_STOP,
                                       GST_EVENT_STREAM_START, GST_EVENT_CAPS,
                                       GST_EVENT_SEGMENT}));
  EXPECT_EQ(downstream.last_caps_width(), 8);
  // The pacing starts over: the next slot follows the new buffer, with the
  // latency unknown again.
  GstClockID id = nullptr;
  gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock.get()), &id);
  EXPECT_EQ(gst_clock_id_get_time(id), 120 * ms + 200 * ms - 1);
  gst_clock_id_unref(id);
  gst_element_set_state(element.get(), GST_STATE_NULL);
}

TEST(TollamarFlush, FlushStopReachesDownstreamAfterTheRestartWithoutASecondStreamStart) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element.get(), kVideoCaps);
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  ASSERT_TRUE(downstream.wait_for_buffers(1));

  EXPECT_TRUE(send(element.get(), gst_event_new_flush_start()));
  EXPECT_TRUE(send(element.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(downstream.wait_for_event(GST_EVENT_FLUSH_STOP));
  EXPECT_EQ(gst_pad_get_task_state(src_pad(element.get())), GST_TASK_STARTED);

  // Upstream starts over with a new segment; stream-start and caps stay.
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  EXPECT_TRUE(send(element.get(), gst_event_new_segment(&segment)));
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  ASSERT_TRUE(downstream.wait_for_buffers(2));
  EXPECT_EQ(downstream.event_types(),
            (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS, GST_EVENT_SEGMENT,
                                       GST_EVENT_FLUSH_START, GST_EVENT_FLUSH_STOP,
                                       GST_EVENT_SEGMENT}));
  EXPECT_EQ(downstream.last_caps_width(), 8);
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}

TEST(TollamarFlush, GapEventsNeverReachDownstream) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  send_stream_head(element.get(), kVideoCaps);
  EXPECT_TRUE(send(element.get(), gst_event_new_gap(0, 40 * ms)));
  EXPECT_TRUE(send(element.get(), gst_event_new_eos()));
  ASSERT_TRUE(downstream.wait_for_event(GST_EVENT_EOS));
  EXPECT_EQ(downstream.event_types(),
            (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS, GST_EVENT_SEGMENT,
                                       GST_EVENT_EOS}));
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}

TEST(TollamarFlush, AllocationQueriesOnTheSinkPadFail) {
  for (const char *name : {"liveaudiorate", "livevideorate"}) {
    ObjectRef<GstElement> element(make_element(name));
    ASSERT_TRUE(element);
    Harness h(gst_harness_new_with_element(element.get(), "sink", "src"));
    GstCaps *caps = gst_caps_from_string(
        g_str_equal(name, "livevideorate") ? kVideoCaps
                                           : "audio/x-raw, format=S16LE, rate=48000, channels=1, "
                                             "layout=interleaved");
    GstQuery *query = gst_query_new_allocation(caps, TRUE);
    EXPECT_FALSE(gst_pad_peer_query(h->srcpad, query)) << name;
    EXPECT_EQ(gst_query_get_n_allocation_pools(query), 0u) << name;
    gst_query_unref(query);
    gst_caps_unref(caps);
  }
}

TEST(TollamarFlush, FlushStopWithoutFlushStartRestartsATaskWaitingOnTheClock) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  // Idle: the task waits on the clock for the next slot.
  gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock.get()), nullptr);
  // Returns only once the task has been woken and has left its pass.
  EXPECT_TRUE(send(element.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(downstream.wait_for_event(GST_EVENT_FLUSH_STOP));
  EXPECT_EQ(gst_pad_get_task_state(src_pad(element.get())), GST_TASK_STARTED);
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_OK);
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}

TEST(TollamarFlush, RepeatedFlushesFromTheStreamingThreadNeverLeaveTheTaskPaused) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  ObjectRef<GstClock> clock(gst_test_clock_new());
  gst_element_set_clock(element.get(), clock.get());
  gst_element_set_base_time(element.get(), 0);
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  send_stream_head(element.get(), kVideoCaps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  for (int i = 0; i < 200; i++) {
    // Its result is downstream's: the source pad may still be flushing from
    // the previous round when the task has not forwarded flush-stop yet.
    send(element.get(), gst_event_new_flush_start());
    EXPECT_TRUE(send(element.get(), gst_event_new_flush_stop(TRUE)));
    EXPECT_TRUE(send(element.get(), gst_event_new_segment(&segment)));
    ASSERT_EQ(chain(element.get(), make_buffer(i * 40 * ms, 40 * ms)), GST_FLOW_OK) << i;
  }
  // A task left paused by a lost restart would never deliver this one.
  EXPECT_TRUE(send(element.get(), gst_event_new_eos()));
  ASSERT_TRUE(downstream.wait_for_event(GST_EVENT_EOS));
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}

TEST(TollamarFlush, FlushStopWhileGoingDownToReadyDoesNotBringTheFlowBack) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Downstream downstream(element.get());
  ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
  send_stream_head(element.get(), kVideoCaps);
  // The moment inside PAUSED to READY when the element has stopped its task
  // but not yet deactivated its pads, as a flush-stop racing it would see.
  EXPECT_TRUE(send(element.get(), gst_event_new_flush_start()));
  GST_OBJECT_LOCK(element.get());
  GST_STATE_NEXT(element.get()) = GST_STATE_READY;
  GST_OBJECT_UNLOCK(element.get());

  EXPECT_TRUE(send(element.get(), gst_event_new_flush_stop(TRUE)));
  // Upstream is refused at once instead of filling a queue nobody drains.
  EXPECT_EQ(chain(element.get(), make_buffer(0, 40 * ms)), GST_FLOW_FLUSHING);

  GST_OBJECT_LOCK(element.get());
  GST_STATE_NEXT(element.get()) = GST_STATE_VOID_PENDING;
  GST_OBJECT_UNLOCK(element.get());
  EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
}
