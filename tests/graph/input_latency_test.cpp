// NERKO_LATENCY_MS on the input: the demuxer off the PCR with its H.264 and
// H.265 declared one frame per buffer.
#include <gtest/gtest.h>

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

// The caps a pad the demuxer adds hands downstream.
std::string caps_passed_on(GstElement *demuxer, const char *caps) {
  std::string received;
  PadRef source(GST_PAD(gst_object_ref_sink(gst_pad_new("video_0", GST_PAD_SRC))));
  PadRef sink(GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK))));
  gst_pad_set_element_private(sink.get(), &received);
  gst_pad_set_event_function(sink.get(), keep_caps);
  gst_pad_set_active(source.get(), TRUE);
  gst_pad_set_active(sink.get(), TRUE);
  gst_element_add_pad(demuxer, source.get());
  gst_pad_link(source.get(), sink.get());
  gst_pad_push_event(source.get(), gst_event_new_stream_start("s"));
  gst_pad_push_event(source.get(), gst_event_new_caps(CapsRef(gst_caps_from_string(caps)).get()));
  gst_element_remove_pad(demuxer, source.get());
  return received;
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

}  // namespace
}  // namespace nerko::test
