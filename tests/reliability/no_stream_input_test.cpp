// The decoder's "no-more-pads" with nothing built: the run must end with an
// error naming what the input held, instead of waiting for an end of stream
// that no sender will ever reach.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "encoder/graph/no_more_pads.h"

namespace nerko::reliability {
namespace {

ElementRef fake_sender() {
  return ElementRef(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("fakesink", nullptr))));
}

class ReliabilityNoStreamInput : public testing::Test {
 protected:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    pipeline_ = gst_pipeline_new(nullptr);
    decoder_ = gst_element_factory_make("identity", nullptr);
    ASSERT_NE(decoder_, nullptr);
    gst_bin_add(GST_BIN(pipeline_), decoder_);
    bus_ = gst_pipeline_get_bus(GST_PIPELINE(pipeline_));
    context_.sinks = std::make_shared<StreamSinks>();
  }
  void TearDown() override {
    context_.sinks.reset();
    gst_object_unref(bus_);
    gst_object_unref(pipeline_);
  }

  // Gives the decoder's source pad current caps named `name`.
  void decoded_stream(const char *name) {
    GstPad *src = gst_element_get_static_pad(decoder_, "src");
    ASSERT_TRUE(gst_pad_set_active(src, TRUE));
    gst_pad_store_sticky_event(src, gst_event_new_stream_start("s"));
    GstEvent *caps = gst_event_new_caps(gst_caps_new_empty_simple(name));
    EXPECT_EQ(gst_pad_store_sticky_event(src, caps), GST_FLOW_OK);
    gst_event_unref(caps);
    gst_object_unref(src);
  }

  GstElement *pipeline_ = nullptr;
  GstElement *decoder_ = nullptr;  // owned by the pipeline
  GstBus *bus_ = nullptr;
  NoMorePadsContext context_;
};

TEST_F(ReliabilityNoStreamInput, NothingBuiltPostsTheStreamErrorNamingWhatWasDecoded) {
  decoded_stream("text/x-raw");
  on_no_more_pads(decoder_, &context_);
  GstMessage *message = gst_bus_pop_filtered(bus_, GST_MESSAGE_ERROR);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(GST_MESSAGE_SRC(message), GST_OBJECT(decoder_));
  GError *error = nullptr;
  gchar *debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  EXPECT_EQ(error->domain, GST_STREAM_ERROR);
  EXPECT_EQ(error->code, GST_STREAM_ERROR_WRONG_TYPE);
  EXPECT_STREQ(error->message, "The input has no audio or video stream");
  const std::string text = debug ? debug : "";
  const std::string end = "\nDecoded streams: text/x-raw";
  ASSERT_GE(text.size(), end.size()) << text;
  EXPECT_EQ(text.substr(text.size() - end.size()), end) << text;
  g_error_free(error);
  g_free(debug);
  gst_message_unref(message);
}

TEST_F(ReliabilityNoStreamInput, AnyRecordedSenderMeansSomethingStreamsAndNothingIsPosted) {
  context_.sinks->audio_rtp = fake_sender();
  on_no_more_pads(decoder_, &context_);
  context_.sinks->audio_rtp = ElementRef();
  context_.sinks->video_rtp = fake_sender();
  on_no_more_pads(decoder_, &context_);
  GstMessage *message = gst_bus_pop_filtered(bus_, GST_MESSAGE_ERROR);
  EXPECT_EQ(message, nullptr);
  if (message)
    gst_message_unref(message);
}

TEST_F(ReliabilityNoStreamInput, StreamKindsNameEachSourcePadOrSayWhatIsMissing) {
  EXPECT_EQ(decoded_stream_kinds(decoder_), "unknown");  // a pad without caps
  decoded_stream("subpicture/x-dvd");
  EXPECT_EQ(decoded_stream_kinds(decoder_), "subpicture/x-dvd");
  GstElement *no_pads = gst_bin_new(nullptr);
  gst_object_ref_sink(no_pads);
  EXPECT_EQ(decoded_stream_kinds(no_pads), "none");
  gst_object_unref(no_pads);
}

}  // namespace
}  // namespace nerko::reliability
