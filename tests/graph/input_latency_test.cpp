// NERKO_LATENCY_MS on the input's elements: each buffering element's latency,
// the MPEG-TS demuxer off the PCR, and its H.264 and H.265 declared one frame
// per buffer.
#include <gtest/gtest.h>

#include "encoder/input/input_latency.h"
#include "graph_fixture.h"

namespace nerko::test {
namespace {

ElementRef make(const char *factory) {
  return ElementRef(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make(factory, nullptr))));
}

TEST(InputLatency, BufferingElementsTakeTheValueAndTsdemuxLeavesThePcr) {
  ElementRef demuxer = make("tsdemux");
  ElementRef jitter = make("rtpjitterbuffer");
  apply_input_latency(demuxer.get(), 30);
  apply_input_latency(jitter.get(), 30);
  EXPECT_EQ(get_property<gint>(demuxer.get(), "latency"), 30);
  EXPECT_TRUE(get_property<gboolean>(demuxer.get(), "ignore-pcr"));
  EXPECT_EQ(get_property<guint>(jitter.get(), "latency"), 30u);
}

gboolean keep_caps(GstPad *pad, GstObject *, GstEvent *event) {
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps *caps = nullptr;
    gst_event_parse_caps(event, &caps);
    GStringRef text(gst_caps_to_string(caps));
    *static_cast<std::string *>(gst_pad_get_element_private(pad)) = text.get();
  }
  gst_event_unref(event);
  return TRUE;
}

// The caps a pad added to the demuxer hands downstream.
std::string caps_passed_on(GstElement *demuxer, const char *caps) {
  std::string received;
  PadRef source(GST_PAD(gst_object_ref_sink(gst_pad_new("video_0", GST_PAD_SRC))));
  PadRef sink(GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK))));
  gst_pad_set_element_private(sink.get(), &received);
  gst_pad_set_event_function(sink.get(), keep_caps);
  gst_pad_set_active(source.get(), TRUE);
  gst_pad_set_active(sink.get(), TRUE);
  gst_element_add_pad(demuxer, source.get());
  EXPECT_EQ(gst_pad_link(source.get(), sink.get()), GST_PAD_LINK_OK);
  EXPECT_TRUE(gst_pad_push_event(source.get(), gst_event_new_stream_start("s")));
  CapsRef sent(gst_caps_from_string(caps));
  EXPECT_TRUE(gst_pad_push_event(source.get(), gst_event_new_caps(sent.get())));
  gst_element_remove_pad(demuxer, source.get());
  return received;
}

TEST(InputLatency, DemuxedH264AndH265ByteStreamsAreDeclaredOneFramePerBuffer) {
  struct Case {
    const char *sent, *received;
  } cases[] = {
      {"video/x-h264, stream-format=(string)byte-stream",
       "video/x-h264, stream-format=(string)byte-stream, alignment=(string)au"},
      {"video/x-h265, stream-format=(string)byte-stream",
       "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au"},
      {"video/x-h264, stream-format=(string)avc", "video/x-h264, stream-format=(string)avc"},
  };
  ElementRef demuxer = make("tsdemux");
  apply_input_latency(demuxer.get(), 0);
  for (const Case &c : cases)
    EXPECT_EQ(caps_passed_on(demuxer.get(), c.sent), c.received);
  ElementRef untouched = make("tsdemux");
  EXPECT_EQ(caps_passed_on(untouched.get(), cases[0].sent), cases[0].sent);
}

TEST(InputLatency, LiveRateHeadsWaitTheValueButAtLeastAFrame) {
  EXPECT_EQ(live_rate_wait(std::nullopt), std::nullopt);
  EXPECT_EQ(live_rate_wait(0), 40 * GST_MSECOND);
  EXPECT_EQ(live_rate_wait(20), 40 * GST_MSECOND);
  EXPECT_EQ(live_rate_wait(100), 100 * GST_MSECOND);
  EXPECT_EQ(keep_alive_share(20), 20 * GST_MSECOND);
}

}  // namespace
}  // namespace nerko::test
