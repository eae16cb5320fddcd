// Races the input, flushes from both sides, state changes and property
// changes against the output task for a bounded number of rounds: the
// element must neither deadlock nor lose a buffer reference.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "output_support.h"

using namespace tollamar_output;

namespace {

const int kRounds = 150;
const GstClockTime kSlot = 40 * GST_MSECOND;

// Buffers alive that went into or came out of the element.
std::atomic<int> g_alive{0};

void buffer_gone(gpointer, GstMiniObject *) { g_alive--; }

GstBuffer *tracked(GstBuffer *buf) {
  g_alive++;
  gst_mini_object_weak_ref(GST_MINI_OBJECT_CAST(buf), buffer_gone, nullptr);
  return buf;
}

std::atomic<int> g_accepted{0};
std::atomic<int> g_output{0};  // gap buffers pushed

// Every buffer the element pushes is tracked as well, gap buffers included.
GstPadProbeReturn track_output(GstPad *, GstPadProbeInfo *info, gpointer) {
  GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP)) return GST_PAD_PROBE_OK;
  g_output++;
  tracked(buf);
  return GST_PAD_PROBE_OK;
}

// Fails the test, rather than hanging the suite, when the workers do not
// finish in a generous time.
class Watchdog {
 public:
  void done() {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_++;
    cond_.notify_all();
  }
  void expect(int workers) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cond_.wait_for(lock, std::chrono::seconds(200),
                        [&] { return finished_ == workers; })) {
      ADD_FAILURE() << "deadlock: only " << finished_ << " of " << workers
                    << " workers finished";
      std::abort();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  int finished_ = 0;
};

void race(const char *factory, const char *caps, gsize frame_size) {
  g_alive = 0;
  g_accepted = 0;
  g_output = 0;
  {
    Harness h(factory);
    gst_harness_set_drop_buffers(h.get(), TRUE);
    gst_pad_add_probe(h.srcpad(), GST_PAD_PROBE_TYPE_BUFFER, track_output,
                      nullptr, nullptr);
    // The real clock here: the race needs the task to wake by itself while
    // the other threads run, and nothing below depends on when it does.
    GstClock *clock = gst_system_clock_obtain();
    GstClockTime base_time = gst_clock_get_time(clock);
    gst_element_set_clock(h.element(), clock);
    gst_element_set_base_time(h.element(), base_time);
    h.play();
    gst_harness_set_src_caps_str(h.get(), caps);
    Watchdog watchdog;
    std::vector<std::thread> workers;

    // Upstream streaming thread: buffers, with stalls and repeats.
    // Timestamps follow the clock, so that every deadline the task waits for
    // is at most a few slots away.
    workers.emplace_back([&] {
      std::mt19937 rng(1);
      for (int i = 0; i < kRounds * 4; i++) {
        GstClockTime now = gst_clock_get_time(clock) - base_time;
        GstClockTime pts = now > 2 * kSlot ? now - (rng() % 3) * kSlot : now;
        if (gst_harness_push(h.get(), tracked(make_buffer(
                                          pts, kSlot, frame_size))) ==
            GST_FLOW_OK)
          g_accepted++;
      }
      watchdog.done();
    });
    // Seeks: a flush from upstream the way a source seeks (flush-start,
    // then flush-stop and a new segment under the stream lock once the
    // streaming thread has left the element), or a flush from downstream.
    workers.emplace_back([&] {
      std::mt19937 rng(3);
      for (int i = 0; i < kRounds; i++) {
        if (rng() % 2) {
          gst_harness_push_event(h.get(), gst_event_new_flush_start());
          GST_PAD_STREAM_LOCK(h->srcpad);
          gst_harness_push_event(h.get(), gst_event_new_flush_stop(TRUE));
          GstSegment segment;
          gst_segment_init(&segment, GST_FORMAT_TIME);
          gst_harness_push_event(h.get(), gst_event_new_segment(&segment));
          GST_PAD_STREAM_UNLOCK(h->srcpad);
        } else {
          // A flush from downstream, sent up the pads the way an element
          // downstream sends it, without the element's state lock: state
          // changes may run between its flush-start and flush-stop. It may
          // land in an upstream flush whose flush-stop is still queued,
          // where GStreamer drops the flush-start at the flushing source pad
          // and hands the element only the flush-stop.
          gst_harness_push_upstream_event(h.get(), gst_event_new_flush_start());
          gst_harness_push_upstream_event(h.get(),
                                          gst_event_new_flush_stop(TRUE));
        }
      }
      watchdog.done();
    });
    // The application: state changes and properties.
    workers.emplace_back([&] {
      std::mt19937 rng(2);
      const GstState states[] = {GST_STATE_PAUSED, GST_STATE_PLAYING,
                                 GST_STATE_READY, GST_STATE_PLAYING};
      for (int i = 0; i < kRounds; i++) {
        gst_element_set_state(h.element(), states[rng() % 4]);
        g_object_set(h.element(), "max-lateness",
                     (guint64)(rng() % 4) * kSlot, "skip-to-first",
                     (gboolean)(rng() % 2), nullptr);
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(h.element()), "fill-mode"))
          gst_util_set_object_arg(G_OBJECT(h.element()), "fill-mode",
                                  rng() % 2 ? "black" : "last-frame");
        else
          gst_util_set_object_arg(G_OBJECT(h.element()), "fill-framerate",
                                  rng() % 2 ? "25/1" : "50/1");
      }
      gst_element_set_state(h.element(), GST_STATE_PLAYING);
      watchdog.done();
    });

    watchdog.expect(static_cast<int>(workers.size()));
    for (std::thread &t : workers) t.join();
    gst_element_set_state(h.element(), GST_STATE_NULL);
    gst_object_unref(clock);
    while (GstEvent *event = h.try_pull_event())
      gst_event_unref(event);
  }
  EXPECT_EQ(g_alive.load(), 0);
  // How much went through depends on the interleaving; it is recorded, not
  // asserted.
  ::testing::Test::RecordProperty("accepted", g_accepted.load());
  ::testing::Test::RecordProperty("gaps", g_output.load());
}

TEST(TollamarStress, VideoSurvivesRacingInputFlushesStatesAndProperties) {
  race("livevideorate",
       "video/x-raw, format=(string)RGBx, width=(int)4, height=(int)4, "
       "framerate=(fraction)25/1",
       64);
}

TEST(TollamarStress, AudioSurvivesRacingInputFlushesStatesAndProperties) {
  race("liveaudiorate",
       "audio/x-raw, format=(string)S16LE, rate=(int)48000, channels=(int)1, "
       "layout=(string)interleaved",
       3840);
}

}  // namespace
