// The source pad's answers: latency as a live source, and no seeking.
#include <gtest/gtest.h>

#include "tollamar_support.h"

using namespace tollamar_test;

namespace {

constexpr GstClockTime ms = GST_MSECOND;

struct LatencyAnswer {
  bool ok;
  gboolean live;
  GstClockTime min;
  GstClockTime max;
};

// A pipeline asks for the latency once its elements are PAUSED; the element
// forgets it on the way there. The test clock stands at 1 s.
void ensure_paused(GstElement *element) {
  GstState state = GST_STATE_NULL;
  gst_element_get_state(element, &state, nullptr, 0);
  if (state >= GST_STATE_PAUSED) return;
  ObjectRef<GstClock> clock(gst_test_clock_new_with_start_time(GST_SECOND));
  gst_element_set_clock(element, clock.get());
  gst_element_set_base_time(element, 0);
  ASSERT_EQ(gst_element_set_state(element, GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
}

// The deadline of the first idle slot, due at running time 1 s once the
// element plays: the slot plus the larger of the latency the element keeps
// and "max-lateness", here 0. Stops the element.
GstClockTime idle_deadline(GstElement *element) {
  ensure_paused(element);
  g_object_set(element, "max-lateness", G_GUINT64_CONSTANT(0), nullptr);
  EXPECT_EQ(gst_element_set_state(element, GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  ObjectRef<GstClock> clock(gst_element_get_clock(element));
  GstClockID id = nullptr;
  gst_test_clock_wait_for_next_pending_id(GST_TEST_CLOCK(clock.get()), &id);
  GstClockTime deadline = gst_clock_id_get_time(id);
  gst_clock_id_unref(id);
  gst_element_set_state(element, GST_STATE_NULL);
  return deadline;
}

// The latency the element keeps from its last query, as its pacing shows
// it; none (a deadline 1 ns before the slot) before any answer.
GstClockTime stored_latency(GstElement *element) {
  GstClockTime deadline = idle_deadline(element);
  return deadline == GST_SECOND - 1 ? GST_CLOCK_TIME_NONE : deadline - GST_SECOND;
}

LatencyAnswer query_latency(GstElement *element) {
  ensure_paused(element);
  GstQuery *query = gst_query_new_latency();
  LatencyAnswer a{};
  a.ok = gst_pad_query(src_pad(element), query);
  gst_query_parse_latency(query, &a.live, &a.min, &a.max);
  gst_query_unref(query);
  return a;
}


}  // namespace

TEST(TollamarLatency, LiveUpstreamGetsMaxLatenessAddedToBothBounds) {
  for (const char *name : {"liveaudiorate", "livevideorate"}) {
    ObjectRef<GstElement> element(make_element(name));
    ASSERT_TRUE(element);
    Upstream upstream(element.get());
    upstream.answer_latency(true, 20 * ms, 100 * ms);
    LatencyAnswer a = query_latency(element.get());
    EXPECT_TRUE(a.ok) << name;
    EXPECT_TRUE(a.live) << name;
    EXPECT_EQ(a.min, 220 * ms) << name;
    EXPECT_EQ(a.max, 300 * ms) << name;
    EXPECT_EQ(stored_latency(element.get()), 220 * ms) << name;
  }
}

TEST(TollamarLatency, UnboundedUpstreamMaximumStaysUnbounded) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Upstream upstream(element.get());
  upstream.answer_latency(true, 20 * ms, GST_CLOCK_TIME_NONE);
  g_object_set(element.get(), "max-lateness", static_cast<guint64>(50 * ms), nullptr);
  LatencyAnswer a = query_latency(element.get());
  EXPECT_TRUE(a.ok);
  EXPECT_TRUE(a.live);
  EXPECT_EQ(a.min, 70 * ms);
  EXPECT_EQ(a.max, GST_CLOCK_TIME_NONE);
  EXPECT_EQ(stored_latency(element.get()), 70 * ms);
}

TEST(TollamarLatency, NonLiveUpstreamGetsMaxLatenessAndNoMaximum) {
  ObjectRef<GstElement> element(make_element("liveaudiorate"));
  ASSERT_TRUE(element);
  Upstream upstream(element.get());
  upstream.answer_latency(false, 5 * ms, 10 * ms);
  LatencyAnswer a = query_latency(element.get());
  EXPECT_TRUE(a.ok);
  EXPECT_TRUE(a.live);
  EXPECT_EQ(a.min, 200 * ms);
  EXPECT_EQ(a.max, GST_CLOCK_TIME_NONE);
  EXPECT_EQ(stored_latency(element.get()), 0u);
}

// The property takes any guint64; the answer must still be a valid latency.
TEST(TollamarLatency, LargestMaxLatenessSaturatesInsteadOfWrapping) {
  constexpr GstClockTime largest = GST_CLOCK_TIME_NONE - 1;
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Upstream upstream(element.get());
  g_object_set(element.get(), "max-lateness", G_MAXUINT64, nullptr);

  upstream.answer_latency(true, 20 * ms, 100 * ms);
  LatencyAnswer a = query_latency(element.get());
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.min, largest);
  EXPECT_EQ(a.max, GST_CLOCK_TIME_NONE);

  upstream.answer_latency(false, 5 * ms, 10 * ms);
  a = query_latency(element.get());
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.min, largest);
  EXPECT_EQ(a.max, GST_CLOCK_TIME_NONE);

  g_object_set(element.get(), "max-lateness", largest - 20 * ms + 1, nullptr);
  upstream.answer_latency(true, 20 * ms, GST_CLOCK_TIME_NONE);
  a = query_latency(element.get());
  EXPECT_EQ(a.min, largest);
  // Kept as it was answered: the deadline saturates instead of wrapping.
  EXPECT_EQ(idle_deadline(element.get()), static_cast<GstClockTime>(G_MAXINT64));
}

TEST(TollamarLatency, NewMaxLatenessAppliesFromTheNextQuery) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Upstream upstream(element.get());
  upstream.answer_latency(true, 10 * ms, 20 * ms);
  EXPECT_EQ(query_latency(element.get()).min, 210 * ms);
  g_object_set(element.get(), "max-lateness", static_cast<guint64>(0), nullptr);
  LatencyAnswer a = query_latency(element.get());
  EXPECT_EQ(a.min, 10 * ms);
  EXPECT_EQ(a.max, 20 * ms);
  EXPECT_EQ(stored_latency(element.get()), 10 * ms);
}

TEST(TollamarLatency, UnlinkedSinkPadFailsAndKeepsTheStoredLatency) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  g_object_set(element.get(), "max-lateness", G_GUINT64_CONSTANT(0), nullptr);
  {
    Upstream upstream(element.get());
    upstream.answer_latency(true, 7 * ms, 7 * ms);
    EXPECT_EQ(query_latency(element.get()).min, 7 * ms);
  }
  EXPECT_FALSE(query_latency(element.get()).ok);
  EXPECT_EQ(stored_latency(element.get()), 7 * ms);
}

TEST(TollamarLatency, UpstreamRefusingTheQueryFailsIt) {
  ObjectRef<GstElement> element(make_element("liveaudiorate"));
  ASSERT_TRUE(element);
  Upstream upstream(element.get());
  upstream.refuse_latency();
  EXPECT_FALSE(query_latency(element.get()).ok);
  EXPECT_EQ(stored_latency(element.get()), GST_CLOCK_TIME_NONE);
}

TEST(TollamarLatency, HarnessSeesALiveSourceWithItsOwnLatencyAdded) {
  ObjectRef<GstElement> element(make_element("livevideorate"));
  ASSERT_TRUE(element);
  Harness h(gst_harness_new_with_element(element.get(), "sink", "src"));
  gst_harness_set_live(h.get(), TRUE);
  gst_harness_set_upstream_latency(h.get(), 30 * ms);
  EXPECT_EQ(gst_harness_query_latency(h.get()), 230 * ms);
}

TEST(TollamarSeeking, SourcePadAnswersNotSeekableInTime) {
  for (GstFormat asked : {GST_FORMAT_TIME, GST_FORMAT_BYTES}) {
    ObjectRef<GstElement> element(make_element("livevideorate"));
    ASSERT_TRUE(element);
    GstQuery *query = gst_query_new_seeking(asked);
    EXPECT_TRUE(gst_pad_query(src_pad(element.get()), query));
    GstFormat format = GST_FORMAT_UNDEFINED;
    gboolean seekable = TRUE;
    gint64 start = -1, end = 0;
    gst_query_parse_seeking(query, &format, &seekable, &start, &end);
    EXPECT_EQ(format, GST_FORMAT_TIME);
    EXPECT_FALSE(seekable);
    EXPECT_EQ(start, 0);
    EXPECT_EQ(end, -1);
    gst_query_unref(query);
  }
}
