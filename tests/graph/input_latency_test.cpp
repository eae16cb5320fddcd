// NERKO_LATENCY_MS on the input: the demuxer off the PCR with its H.264 and
// H.265 declared one frame per buffer, and a start whose first frame came
// early timed later.
#include <gst/check/gsttestclock.h>
#include <gtest/gtest.h>

#include <vector>

#include "encoder/input/input_latency.h"
#include "graph_fixture.h"

namespace nerko::test {
namespace {

gboolean keep_caps(GstPad *pad, GstObject *, GstEvent *event) {
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps *caps = nullptr;
    gst_event_parse_caps(event, &caps);
    *static_cast<std::string *>(gst_pad_get_element_private(pad)) = GStringRef(gst_caps_to_string(caps)).get();
  }
  gst_event_unref(event);
  return TRUE;
}

GstFlowReturn take_buffer(GstPad *, GstObject *, GstBuffer *buffer) {
  gst_buffer_unref(buffer);
  return GST_FLOW_OK;
}

gboolean answer_live_latency(GstPad *pad, GstObject *parent, GstQuery *query) {
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return gst_pad_query_default(pad, parent, query);
  gst_query_set_latency(query, TRUE, 20 * GST_MSECOND, GST_CLOCK_TIME_NONE);
  return TRUE;
}

// A source pad the demuxer adds as it adds its own, answering latency as a
// live 20 ms source, linked to a sink pad that keeps the caps it is handed.
struct DemuxerPad {
  DemuxerPad(GstElement *demuxer, const char *name, const char *caps)
      : demuxer(demuxer),
        source(GST_PAD(gst_object_ref_sink(gst_pad_new(name, GST_PAD_SRC)))),
        sink(GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK)))) {
    gst_pad_set_query_function(source.get(), answer_live_latency);
    gst_pad_set_element_private(sink.get(), &received);
    gst_pad_set_event_function(sink.get(), keep_caps);
    gst_pad_set_chain_function(sink.get(), take_buffer);
    gst_pad_set_active(source.get(), TRUE);
    gst_pad_set_active(sink.get(), TRUE);
    gst_element_add_pad(demuxer, source.get());
    gst_pad_link(source.get(), sink.get());
    gst_pad_push_event(source.get(), gst_event_new_stream_start("s"));
    gst_pad_push_event(source.get(), gst_event_new_caps(CapsRef(gst_caps_from_string(caps)).get()));
  }
  ~DemuxerPad() { gst_element_remove_pad(demuxer, source.get()); }
  GstElement *demuxer;
  PadRef source, sink;
  std::string received;  // the caps
};

// The caps a pad the demuxer adds hands downstream.
std::string caps_passed_on(GstElement *demuxer, const char *caps) {
  return DemuxerPad(demuxer, "video_0", caps).received;
}

TEST(InputLatency, TsdemuxLeavesThePcrAndDeclaresWholeH264AndH265Frames) {
  const char *h264 = "video/x-h264, stream-format=(string)byte-stream";
  ElementRef untouched(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("tsdemux", nullptr))));
  EXPECT_EQ(caps_passed_on(untouched.get(), h264), h264);
  ElementRef demuxer(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("tsdemux", nullptr))));
  apply_input_latency(demuxer.get(), 30);
  EXPECT_EQ(get_property<gint>(demuxer.get(), "latency"), 30);
  EXPECT_TRUE(get_property<gboolean>(demuxer.get(), "ignore-pcr"));
  EXPECT_EQ(caps_passed_on(demuxer.get(), h264), std::string(h264) + ", alignment=(string)au");
  EXPECT_EQ(caps_passed_on(demuxer.get(), "video/x-h265, stream-format=(string)byte-stream"),
            "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au");
  EXPECT_EQ(caps_passed_on(demuxer.get(), "video/x-h264, stream-format=(string)avc"),
            "video/x-h264, stream-format=(string)avc");
}

// A frame every 40 ms for 3.2 s, each leaving the demuxer late (against its
// running time, on the pipeline's clock) by the case's lateness in turn; in
// the first second 150 ms, which must not count.
TEST(InputLatency, AStartWhoseMedianFrameCameLateIsTimedFromThatFrame) {
  const struct {
    const char *what;
    std::vector<double> lateness_ms;
    GstClockTime added;
  } cases[] = {
      {"frames on time", {0}, 0},
      {"frames early", {-10}, 0},
      {"frames late, in whole milliseconds", {29.5}, 30 * GST_MSECOND},
      {"some frames late, the median on time", {0, 0, 35}, 0},
      {"late key frames beside a late median", {20, 20, 55}, 20 * GST_MSECOND},
      {"a stalled start", {900}, 200 * GST_MSECOND},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ElementRef demuxer(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("tsdemux", nullptr))));
    apply_input_latency(demuxer.get(), 20);
    ObjectRef<GstClock> clock(gst_test_clock_new());
    gst_element_set_clock(demuxer.get(), clock.get());
    BusRef bus(gst_bus_new());
    gst_element_set_bus(demuxer.get(), bus.get());

    DemuxerPad pad(demuxer.get(), "audio_0", "audio/mpeg");
    GstSegment segment;  // stamps a second ahead, so that early frames have one
    gst_segment_init(&segment, GST_FORMAT_TIME);
    segment.start = GST_SECOND;
    gst_pad_push_event(pad.source.get(), gst_event_new_segment(&segment));
    for (int i = 0; i <= 80; ++i) {
      const GstClockTime now = i * 40 * GST_MSECOND;
      const double late_ms = now < GST_SECOND ? 150 : c.lateness_ms[i % c.lateness_ms.size()];
      gst_test_clock_set_time(GST_TEST_CLOCK(clock.get()), now);
      GstBuffer *frame = gst_buffer_new();
      GST_BUFFER_PTS(frame) = now + GST_SECOND - static_cast<GstClockTimeDiff>(late_ms * GST_MSECOND);
      gst_pad_push(pad.source.get(), frame);
    }

    GstQuery *query = gst_query_new_latency();
    GstClockTime least = 0;
    if (gst_pad_peer_query(pad.sink.get(), query))
      gst_query_parse_latency(query, nullptr, &least, nullptr);
    gst_query_unref(query);
    EXPECT_EQ(least, 20 * GST_MSECOND + c.added);
    // Asked of the pipeline, which queries its latency again.
    MessageRef asked(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_LATENCY));
    EXPECT_EQ(asked.get() != nullptr, c.added > 0);
  }
}

}  // namespace
}  // namespace nerko::test
