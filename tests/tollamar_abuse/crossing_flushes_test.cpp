// Flushes from upstream and from downstream that cross each other. GStreamer
// drops a flush-start that meets a pad still flushing and delivers a
// flush-stop only under the receiving pad's stream lock; a downstream flush
// that lands in an upstream one must still get through, and neither side may
// end up waiting for the other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "abuse_support.h"

using namespace tollamar_abuse;

namespace {

std::vector<GstEventType> downstream_events(Harness &h) {
  return h.drain_event_types();
}

bool contains(const std::vector<GstEventType> &types, GstEventType type) {
  for (GstEventType t : types)
    if (t == type) return true;
  return false;
}

// Upstream starts over after its flush: a new segment and frames from 0.
void restart_upstream(Harness &h) {
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_segment(&segment)));
}

TEST(TollamarCrossingFlushes, DownstreamFlushStopGetsPastATaskHeldInPaused) {
  Harness h("livevideorate");
  h.pause();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  // An upstream flush: flush-start leaves through the source pad at once,
  // the flush-stop waits in the queue for a task that holds until PLAYING.
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
  ASSERT_TRUE(GST_PAD_IS_FLUSHING(h.srcpad()));
  // The restarted task holds on, waiting for PLAYING. Whether or not it has
  // reached that wait yet, a flush-stop that needs the stream lock must get
  // through: a task that kept the lock while it waits would hold it for good.
  ASSERT_EQ(gst_pad_get_task_state(h.srcpad()), GST_TASK_STARTED);

  // A flush from downstream now: its flush-start dies at the flushing pad...
  EXPECT_FALSE(gst_harness_push_upstream_event(h.get(),
                                               gst_event_new_flush_start()));
  // ...and its flush-stop needs the stream lock the held task keeps.
  gboolean forwarded = FALSE;
  ASSERT_TRUE(returns_in_time(
      [&] {
        forwarded = gst_harness_push_upstream_event(
            h.get(), gst_event_new_flush_stop(TRUE));
      },
      [&] { flush_from_inside(h); }, "the downstream flush-stop"));
  EXPECT_TRUE(forwarded);
  EXPECT_EQ(gst_pad_get_task_state(h.srcpad()), GST_TASK_STARTED);

  // Downstream saw the upstream flush-start, so it still gets its flush-stop
  // even though the downstream flush emptied the queue it waited in.
  h.play();
  restart_upstream(h);
  for (guint k = 0; k < 3; k++) {
    ASSERT_EQ(push(h, k * kSlot), GST_FLOW_OK);
    Output out = pull(h);
    EXPECT_EQ(out.pts, k * kSlot);
    EXPECT_FALSE(out.gap);
  }
  std::vector<GstEventType> events = downstream_events(h);
  ASSERT_TRUE(contains(events, GST_EVENT_FLUSH_START));
  EXPECT_TRUE(contains(events, GST_EVENT_FLUSH_STOP));
}

TEST(TollamarCrossingFlushes, DownstreamFlushStopGetsPastATaskWaitingOnTheClock) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  ASSERT_EQ(push(h, 0), GST_FLOW_OK);
  EXPECT_EQ(pull(h).pts, 0u);

  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_start()));
  EXPECT_FALSE(gst_harness_push_upstream_event(h.get(),
                                               gst_event_new_flush_start()));
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
  // The restarted task has sent the flush-stop on and idles on the clock;
  // the test clock stands still, so the wait lasts until someone ends it.
  GstEvent *stop = h.wait_event_of_type(GST_EVENT_FLUSH_STOP);
  ASSERT_NE(stop, nullptr);
  gst_event_unref(stop);
  h.next_wait_time();

  gboolean forwarded = FALSE;
  ASSERT_TRUE(returns_in_time(
      [&] {
        forwarded = gst_harness_push_upstream_event(
            h.get(), gst_event_new_flush_stop(TRUE));
      },
      [&] { flush_from_inside(h); }, "the downstream flush-stop"));
  EXPECT_TRUE(forwarded);

  // The output starts over on a grid anchored at the first new frame.
  restart_upstream(h);
  std::vector<GstClockTime> pts;
  for (guint k = 0; k < 4; k++) {
    ASSERT_EQ(push(h, k * kSlot), GST_FLOW_OK);
    pts.push_back(pull(h).pts);
  }
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
}

// Holds the downstream flush-stop on its way upstream, right where the
// element has passed it on from its sink pad while GStreamer still holds the
// source pad's stream lock for it, until the upstream flush-stop is through.
struct Crossing {
  std::mutex mutex;
  std::condition_variable cond;
  bool downstream_stop_in_flight = false;
  bool upstream_stop_done = false;
  bool dropped = false;
};

GstPadProbeReturn hold_flush_stop(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *c = static_cast<Crossing *>(data);
  // Flush probes see both directions; only the one going upstream is held.
  if (!(GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_UPSTREAM) ||
      GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) != GST_EVENT_FLUSH_STOP)
    return GST_PAD_PROBE_OK;
  std::unique_lock<std::mutex> lock(c->mutex);
  c->downstream_stop_in_flight = true;
  c->cond.notify_all();
  // A safety limit only; on expiry the flush-stop is dropped to break the
  // cycle, and the test fails.
  if (!c->cond.wait_for(lock, std::chrono::seconds(30),
                        [&] { return c->upstream_stop_done; })) {
    c->dropped = true;
    return GST_PAD_PROBE_DROP;
  }
  return GST_PAD_PROBE_OK;
}

TEST(TollamarCrossingFlushes, UpstreamFlushStopUnderItsStreamLockMeetsADownstreamOne) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  Crossing crossing;
  gulong probe = gst_pad_add_probe(
      h.sinkpad(),
      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_UPSTREAM |
                                   GST_PAD_PROBE_TYPE_EVENT_FLUSH),
      hold_flush_stop, &crossing, nullptr);

  std::thread downstream([&] {
    gst_harness_push_upstream_event(h.get(), gst_event_new_flush_start());
    gst_harness_push_upstream_event(h.get(), gst_event_new_flush_stop(TRUE));
  });
  {
    std::unique_lock<std::mutex> lock(crossing.mutex);
    ASSERT_TRUE(crossing.cond.wait_for(lock, std::chrono::seconds(30), [&] {
      return crossing.downstream_stop_in_flight;
    }));
  }
  // A source that seeks sends its flush-stop holding its own stream lock,
  // which the downstream flush-stop needs next on its way upstream.
  // (Its flush-start dies at its own pad, which the downstream flush-start
  // has set flushing; the flush-stop comes alone.)
  GST_PAD_STREAM_LOCK(h->srcpad);
  EXPECT_TRUE(gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE)));
  GST_PAD_STREAM_UNLOCK(h->srcpad);
  {
    std::lock_guard<std::mutex> lock(crossing.mutex);
    crossing.upstream_stop_done = true;
    crossing.cond.notify_all();
  }
  downstream.join();
  gst_pad_remove_probe(h.sinkpad(), probe);
  EXPECT_FALSE(crossing.dropped)
      << "the upstream flush-stop waited for the downstream one";

  restart_upstream(h);
  for (guint k = 0; k < 3; k++) {
    ASSERT_EQ(push(h, k * kSlot), GST_FLOW_OK);
    EXPECT_EQ(pull(h).pts, k * kSlot);
  }
}

}  // namespace
