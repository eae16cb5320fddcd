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

TEST(TollamarFinalize, FinalisingReleasesQueuedItemsAndFrames) {
  FreeCounter counter;
  {
    ObjectRef<GstElement> element(make_element("livevideorate"));
    ASSERT_TRUE(element);
    // Items left behind, as when an application drops an element that
    // never went back through READY.
    with_lock(element.get(), [&](GstTollamar *self) {
      gst_queue_array_push_tail(self->queue, counter.watch(gst_event_new_stream_start("s")));
      gst_queue_array_push_tail(self->queue, counter.watch(make_buffer(0, 40 * ms)));
      gst_queue_array_push_tail(self->queue, counter.watch(gst_event_new_eos()));
      gst_queue_array_push_tail(self->queue, counter.watch(make_buffer(40 * ms, 40 * ms)));
      self->last_buffer = counter.watch(make_buffer(0, 40 * ms));
      self->black_buffer = counter.watch(make_buffer(0, 40 * ms));
    });
    EXPECT_EQ(counter.freed, 0);
  }
  EXPECT_EQ(counter.freed, 6);
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
