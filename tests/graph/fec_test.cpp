// The ULPFEC encoder of session 0 and the "request-fec-encoder" handler.
#include <gtest/gtest.h>

#include "graph_fixture.h"

namespace nerko::test {
namespace {

TEST(FecEncoderTest, PayloadType100MultipacketAndThePercentage) {
  Result<ElementRef> encoder = make_fec_encoder(42);
  ASSERT_TRUE(encoder.ok());
  GstElement *e = encoder.value().get();
  EXPECT_STREQ(factory_name(e), "rtpulpfecenc");
  EXPECT_EQ(get_property<guint>(e, "pt"), 100u);
  EXPECT_TRUE(get_property<gboolean>(e, "multipacket"));
  EXPECT_EQ(get_property<guint>(e, "percentage"), 42u);
  EXPECT_FALSE(g_object_is_floating(e));
}

TEST(FecEncoderTest, PercentageOutOfRangeIsThePropertyError) {
  Result<ElementRef> encoder = make_fec_encoder(101);
  ASSERT_FALSE(encoder.ok());
  EXPECT_EQ(encoder.error().message(),
            "property 'percentage' of type 'GstRtpUlpFecEnc' can't be set from given value, it is invalid or out "
            "of range");
}

class FecRequestTest : public GraphTest {
 protected:
  // Emits the signal as rtpbin does and returns its answer.
  ElementRef request(guint session) {
    GstElement *answer = nullptr;
    g_signal_emit_by_name(rtpbin.get(), "request-fec-encoder", session, &answer);
    return ElementRef(answer);
  }
  MessageRef next_error() {
    BusRef bus(gst_element_get_bus(pipeline.get()));
    return MessageRef(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
  }
};

TEST_F(FecRequestTest, SessionZeroGetsANewEncoder) {
  connect_fec(25);
  ElementRef encoder = request(0);
  ASSERT_TRUE(encoder);
  EXPECT_STREQ(factory_name(encoder.get()), "rtpulpfecenc");
  EXPECT_EQ(get_property<guint>(encoder.get(), "percentage"), 25u);
  // The answer is the caller's one reference.
  EXPECT_EQ(GST_OBJECT_REFCOUNT_VALUE(encoder.get()), 1);
  EXPECT_FALSE(next_error());
}

TEST_F(FecRequestTest, OtherSessionsGetNoneAndNothingIsPosted) {
  EXPECT_FALSE(request(1));
  EXPECT_FALSE(request(7));
  EXPECT_FALSE(next_error());
}

TEST_F(FecRequestTest, EncoderThatCannotBeMadeIsPostedFromRtpbinAndAnsweredWithNone) {
  connect_fec(250);
  EXPECT_FALSE(request(0));
  MessageRef message = next_error();
  ASSERT_TRUE(message);
  EXPECT_EQ(GST_MESSAGE_SRC(message.get()), GST_OBJECT(rtpbin.get()));
  GError *error = nullptr;
  gchar *debug = nullptr;
  gst_message_parse_error(message.get(), &error, &debug);
  ErrorRef error_ref(error);
  GStringRef debug_ref(debug);
  EXPECT_TRUE(g_error_matches(error, GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_FAILED));
  EXPECT_STREQ(error->message, "Failed to make FEC encoder");
  GStringRef path(gst_object_get_path_string(GST_OBJECT(rtpbin.get())));
  EXPECT_EQ(std::string(debug),
            std::string("examples/src/bin/zolvane(446): zolvane (): ") + path.get() +
                ":\nproperty 'percentage' of type 'GstRtpUlpFecEnc' can't be set from given value, it is invalid "
                "or out of range");
}

TEST_F(FecRequestTest, ClosureFreesItsContextWhenDisconnected) {
  // Run under the leak tracer / ASan: disconnecting finalises the closure.
  g_signal_handler_disconnect(rtpbin.get(), fec_handler);
  fec_handler = 0;
  EXPECT_FALSE(request(0));  // no handler answers any more
}

// A malformed emission is answered with null and posted as a fatal stop.
TEST_F(FecRequestTest, MalformedEmissionsAreFatalStops) {
  auto invoke = [this](std::vector<GValue> &values) {
    FecRequestContext context{100, BusRef(gst_element_get_bus(pipeline.get()))};
    EXPECT_EQ(on_request_fec_encoder(values.data(), static_cast<guint>(values.size()), context), nullptr);
    return posted_fatal();
  };
  std::vector<GValue> none;
  EXPECT_EQ(invoke(none), "Invalid argument values[0] of signal 'request-fec-encoder': missing");

  std::vector<GValue> text(1, G_VALUE_INIT);
  g_value_init(&text[0], G_TYPE_STRING);
  EXPECT_EQ(invoke(text),
            "Invalid argument values[0] of signal 'request-fec-encoder': expected GstElement, got gchararray");
  g_value_unset(&text[0]);

  std::vector<GValue> empty(1, G_VALUE_INIT);
  g_value_init(&empty[0], GST_TYPE_ELEMENT);
  EXPECT_EQ(invoke(empty), "Invalid argument values[0] of signal 'request-fec-encoder': no `Element`");
  g_value_unset(&empty[0]);

  std::vector<GValue> only_element(1, G_VALUE_INIT);
  g_value_init(&only_element[0], GST_TYPE_ELEMENT);
  g_value_set_object(&only_element[0], rtpbin.get());
  EXPECT_EQ(invoke(only_element), "Invalid argument values[1] of signal 'request-fec-encoder': missing");

  std::vector<GValue> signed_session(2, G_VALUE_INIT);
  g_value_init(&signed_session[0], GST_TYPE_ELEMENT);
  g_value_set_object(&signed_session[0], rtpbin.get());
  g_value_init(&signed_session[1], G_TYPE_INT);
  EXPECT_EQ(invoke(signed_session),
            "Invalid argument values[1] of signal 'request-fec-encoder': expected guint, got gint");
  for (GValue *v : {&only_element[0], &signed_session[0], &signed_session[1]})
    g_value_unset(v);
}

}  // namespace
}  // namespace nerko::test
