// Without any input the elements invent stream-start, caps and a default
// segment, then fill every slot of the grid with a GAP buffer at its deadline.
#include <gtest/gtest.h>

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include "output_support.h"

using namespace tollamar_output;

namespace {

const GstClockTime kSlot = 40 * GST_MSECOND;
const GstClockTime kMaxLateness = 200 * GST_MSECOND;

std::string caps_string(GstEvent *event) {
  GstCaps *caps = nullptr;
  gst_event_parse_caps(event, &caps);
  gchar *s = gst_caps_to_string(caps);
  std::string out = s;
  g_free(s);
  return out;
}

TEST(TollamarNoInput, VideoInventsStreamStartCapsAndSegmentThenBlackGaps) {
  Harness h("livevideorate");
  h.play();

  // No latency query yet: latency is none and the deadline sum wraps to
  // one nanosecond before slot 0 + max-lateness.
  EXPECT_EQ(h.next_wait_time(), kMaxLateness - 1);
  h.crank();
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);

  GstEvent *event = h.try_pull_event();
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GST_EVENT_TYPE(event), GST_EVENT_STREAM_START);
  gst_event_unref(event);
  event = h.try_pull_event();
  ASSERT_NE(event, nullptr);
  ASSERT_EQ(GST_EVENT_TYPE(event), GST_EVENT_CAPS);
  EXPECT_EQ(caps_string(event),
            "video/x-raw, format=(string)RGBx, width=(int)320, height=(int)240, "
            "framerate=(fraction)25/1, pixel-aspect-ratio=(fraction)1/1");
  gst_event_unref(event);
  event = h.try_pull_event();
  ASSERT_NE(event, nullptr);
  ASSERT_EQ(GST_EVENT_TYPE(event), GST_EVENT_SEGMENT);
  const GstSegment *segment = nullptr;
  gst_event_parse_segment(event, &segment);
  GstSegment expected;
  gst_segment_init(&expected, GST_FORMAT_TIME);
  EXPECT_TRUE(gst_segment_is_equal(segment, &expected));
  gst_event_unref(event);
  EXPECT_EQ(h.try_pull_event(), nullptr);

  EXPECT_EQ(GST_BUFFER_PTS(buf), 0u);
  EXPECT_EQ(GST_BUFFER_DURATION(buf), kSlot);
  EXPECT_EQ(GST_BUFFER_DTS(buf), GST_CLOCK_TIME_NONE);
  EXPECT_EQ(GST_BUFFER_OFFSET(buf), GST_BUFFER_OFFSET_NONE);
  EXPECT_EQ(GST_BUFFER_OFFSET_END(buf), GST_BUFFER_OFFSET_NONE);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP));
  ASSERT_EQ(gst_buffer_get_size(buf), 320u * 240u * 4u);
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(buf, &map, GST_MAP_READ));
  gsize nonzero = 0;
  for (gsize i = 0; i < map.size; i++) nonzero += map.data[i] != 0;
  gst_buffer_unmap(buf, &map);
  EXPECT_EQ(nonzero, 0u);
  gst_buffer_unref(buf);

  // One gap per slot, each due at its slot + max-lateness (latency none).
  for (guint i = 1; i <= 3; i++) {
    EXPECT_EQ(h.next_wait_time(), i * kSlot + kMaxLateness - 1);
    h.crank();
    buf = h.pull();
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(GST_BUFFER_PTS(buf), i * kSlot);
    EXPECT_EQ(GST_BUFFER_DURATION(buf), kSlot);
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP));
    gst_buffer_unref(buf);
  }
  EXPECT_TRUE(h.drain_event_types().empty());
}

// The latency the element answers already holds max-lateness; adding it once
// more would make every idle gap buffer late by max-lateness at a sink that
// renders at its PTS plus the pipeline latency.
TEST(TollamarNoInput, DeadlineIsTheSlotPlusTheQueriedLatency) {
  Harness h("livevideorate");
  gst_harness_set_upstream_latency(h.get(), 20 * GST_MSECOND);
  // As a pipeline does: the latency is asked for once the element is PAUSED.
  h.pause();
  GstQuery *query = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_query(h.srcpad(), query));
  gst_query_unref(query);
  h.play();

  // slot 0 + latency (20 ms upstream + 200 ms max-lateness)
  EXPECT_EQ(h.next_wait_time(), 220 * GST_MSECOND);
  h.crank();
  gst_buffer_unref(h.pull());
  EXPECT_EQ(h.next_wait_time(), kSlot + 220 * GST_MSECOND);
}

// Upstream answers latency queries as a source that is not live.
GstPadProbeReturn answer_not_live(GstPad *, GstPadProbeInfo *info, gpointer) {
  GstQuery *query = GST_PAD_PROBE_INFO_QUERY(info);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY) return GST_PAD_PROBE_OK;
  gst_query_set_latency(query, FALSE, 0, GST_CLOCK_TIME_NONE);
  return GST_PAD_PROBE_HANDLED;
}

// A non-live upstream stores latency 0: input may still be max-lateness late.
TEST(TollamarNoInput, DeadlineNeverComesBeforeMaxLateness) {
  Harness h("livevideorate");
  gst_pad_add_probe(h->srcpad, GST_PAD_PROBE_TYPE_QUERY_UPSTREAM,
                    answer_not_live, nullptr, nullptr);
  h.pause();
  GstQuery *query = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_query(h.srcpad(), query));
  gst_query_unref(query);
  h.play();

  EXPECT_EQ(h.next_wait_time(), kMaxLateness);
  h.crank();
  gst_buffer_unref(h.pull());
  EXPECT_EQ(h.next_wait_time(), kSlot + kMaxLateness);
}

TEST(TollamarNoInput, AudioInventsMonoS16At48kAndFillsWithSilence) {
  Harness h("liveaudiorate");
  h.play();

  EXPECT_EQ(h.next_wait_time(), kMaxLateness - 1);
  h.crank();
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);

  std::vector<GstEventType> types;
  GstEvent *caps_event = nullptr;
  while (GstEvent *event = h.try_pull_event()) {
    types.push_back(GST_EVENT_TYPE(event));
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS)
      caps_event = event;
    else
      gst_event_unref(event);
  }
  EXPECT_EQ(types, (std::vector<GstEventType>{GST_EVENT_STREAM_START,
                                              GST_EVENT_CAPS,
                                              GST_EVENT_SEGMENT}));
  ASSERT_NE(caps_event, nullptr);
  EXPECT_EQ(caps_string(caps_event),
            "audio/x-raw, format=(string)S16LE, rate=(int)48000, "
            "channels=(int)1, layout=(string)interleaved");
  gst_event_unref(caps_event);

  for (guint i = 0; i < 3; i++) {
    if (i > 0) {
      EXPECT_EQ(h.next_wait_time(), i * kSlot + kMaxLateness - 1);
      h.crank();
      buf = h.pull();
      ASSERT_NE(buf, nullptr);
    }
    EXPECT_EQ(GST_BUFFER_PTS(buf), i * kSlot);
    EXPECT_EQ(GST_BUFFER_DURATION(buf), kSlot);
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP));
    // 1920 samples of 2 bytes, all silence
    ASSERT_EQ(gst_buffer_get_size(buf), 1920u * 2u);
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(buf, &map, GST_MAP_READ));
    gsize nonzero = 0;
    for (gsize k = 0; k < map.size; k++) nonzero += map.data[k] != 0;
    gst_buffer_unmap(buf, &map);
    EXPECT_EQ(nonzero, 0u);
    gst_buffer_unref(buf);
  }
}

TEST(TollamarNoInput, SixChannelDownstreamGetsChannelMaskZero) {
  Harness h("liveaudiorate");
  gst_harness_set_sink_caps_str(h.get(), "audio/x-raw, channels=(int)6");
  h.play();
  h.crank();
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(gst_buffer_get_size(buf), 1920u * 2u * 6u);
  gst_buffer_unref(buf);
  GstEvent *event = h.pull_event_of_type(GST_EVENT_CAPS);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(caps_string(event),
            "audio/x-raw, format=(string)S16LE, rate=(int)48000, "
            "channels=(int)6, layout=(string)interleaved, "
            "channel-mask=(bitmask)0x0000000000000000");
  gst_event_unref(event);
}

}  // namespace
