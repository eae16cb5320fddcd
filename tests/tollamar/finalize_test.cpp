// Destroying an element releases everything it holds: queued buffers and
// events, the last frame and the black frame.
#include <gtest/gtest.h>

#include "tollamar_support.h"

using namespace tollamar_test;

namespace {

constexpr GstClockTime ms = GST_MSECOND;

// Counts how many of the watched mini objects have been freed.
struct FreeCounter {
  int freed = 0;
  static void notify(gpointer data, GstMiniObject *) { static_cast<FreeCounter *>(data)->freed++; }
  template <typename T>
  T *watch(T *object) {
    gst_mini_object_weak_ref(GST_MINI_OBJECT_CAST(object), &FreeCounter::notify, this);
    return object;
  }
};

}  // namespace

TEST(TollamarFinalize, DestroyingReleasesQueuedItemsAndFrames) {
  FreeCounter counter;
  {
    ObjectRef<GstElement> element(make_element("livevideorate"));
    ASSERT_TRUE(element);
    Downstream downstream(element.get());
    ObjectRef<GstClock> clock(gst_test_clock_new());
    gst_element_set_clock(element.get(), clock.get());
    gst_element_set_base_time(element.get(), 0);
    gst_util_set_object_arg(G_OBJECT(element.get()), "fill-mode", "last-frame");
    ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
    send_stream_head(element.get(), "video/x-raw, format=I420, width=8, height=8, framerate=25/1");
    // The element keeps the last frame to fill gaps with.
    EXPECT_EQ(chain(element.get(), counter.watch(make_buffer(0, 40 * ms, 96))), GST_FLOW_OK);
    ASSERT_TRUE(downstream.wait_for_buffers(1));
    // Items left behind in the queue of a task held in PAUSED.
    ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
    EXPECT_EQ(chain(element.get(), counter.watch(make_buffer(40 * ms, 40 * ms, 96))), GST_FLOW_OK);
    EXPECT_TRUE(gst_pad_send_event(sink_pad(element.get()), counter.watch(gst_event_new_eos())));
    EXPECT_EQ(counter.freed, 0);
    EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  }
  EXPECT_EQ(counter.freed, 3);
}

TEST(TollamarFinalize, ElementStoppedWithAFullQueueReleasesEverything) {
  FreeCounter counter;
  {
    ObjectRef<GstElement> element(make_element("liveaudiorate"));
    ASSERT_TRUE(element);
    ASSERT_EQ(gst_element_set_state(element.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
    send_stream_head(element.get(),
                     "audio/x-raw, format=S16LE, rate=48000, channels=1, layout=interleaved");
    for (int i = 0; i < 4; i++) {
      GstBuffer *buffer = counter.watch(make_buffer(i * 20 * ms, 20 * ms, 1920));
      EXPECT_EQ(chain(element.get(), buffer), GST_FLOW_OK);
    }
    EXPECT_EQ(counter.freed, 0);
    EXPECT_EQ(gst_element_set_state(element.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
    EXPECT_EQ(counter.freed, 4);
  }
  EXPECT_EQ(counter.freed, 4);
}
