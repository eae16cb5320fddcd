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

LatencyAnswer query_latency(GstElement *element) {
  GstQuery *query = gst_query_new_latency();
  LatencyAnswer a{};
  a.ok = gst_pad_query(GST_TOLLAMAR(element)->srcpad, query);
  gst_query_parse_latency(query, &a.live, &a.min, &a.max);
  gst_query_unref(query);
  return a;
}

GstClockTime stored_latency(GstElement *element) {
  GstClockTime latency = 0;
  with_lock(element, [&](GstTollamar *self) { latency = self->latency; });
  return latency;
}

}  // namespace

TEST(TollamarLatency, LiveUpstreamGetsMaxLatenessAddedToBothBounds) {
  for (const char *name : {"liveaudiorate", "livevideorate"}) {
    ObjectRef<GstElement> element(make_element(name));
    ASSERT_TRUE(element);
    ElementLog watcher(element.get());
    Upstream upstream(element.get());
    upstream.answer_latency(true, 20 * ms, 100 * ms);
    LatencyAnswer a = query_latency(element.get());
    EXPECT_TRUE(a.ok) << name;
    EXPECT_TRUE(a.live) << name;
    EXPECT_EQ(a.min, 220 * ms) << name;
    EXPECT_EQ(a.max, 300 * ms) << name;
    EXPECT_EQ(stored_latency(element.get()), 220 * ms) << name;
    EXPECT_TRUE(watcher.seen("Upstream latency: live 1 min 0:00:00.020000000 max 0:00:00.100000000"));
    EXPECT_TRUE(watcher.seen("Our latency: live 1 min 0:00:00.220000000 max 0:00:00.300000000"));
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
  ElementLog watcher(element.get());
  Upstream upstream(element.get());
  upstream.answer_latency(false, 5 * ms, 10 * ms);
  LatencyAnswer a = query_latency(element.get());
  EXPECT_TRUE(a.ok);
  EXPECT_TRUE(a.live);
  EXPECT_EQ(a.min, 200 * ms);
  EXPECT_EQ(a.max, GST_CLOCK_TIME_NONE);
  EXPECT_EQ(stored_latency(element.get()), 0u);
  EXPECT_TRUE(watcher.seen("Our latency: live 1 min 0:00:00.200000000 max 99:99:99.999999999"));
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
  EXPECT_EQ(stored_latency(element.get()), largest);

  upstream.answer_latency(false, 5 * ms, 10 * ms);
  a = query_latency(element.get());
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.min, largest);
  EXPECT_EQ(a.max, GST_CLOCK_TIME_NONE);

  g_object_set(element.get(), "max-lateness", largest - 20 * ms + 1, nullptr);
  upstream.answer_latency(true, 20 * ms, GST_CLOCK_TIME_NONE);
  a = query_latency(element.get());
  EXPECT_EQ(a.min, largest);
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
  ElementLog watcher(element.get());
  with_lock(element.get(), [](GstTollamar *self) { self->latency = 7 * ms; });
  EXPECT_FALSE(query_latency(element.get()).ok);
  EXPECT_EQ(stored_latency(element.get()), 7 * ms);
  EXPECT_TRUE(watcher.seen("Failed to query latency"));
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
    EXPECT_TRUE(gst_pad_query(GST_TOLLAMAR(element.get())->srcpad, query));
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
