#include "support/pipeline_run.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

namespace nerko::testing_support {

void run_pipeline(const std::string &description) {
  gst_init(nullptr, nullptr);
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
  ASSERT_NE(pipeline, nullptr) << (error ? error->message : "") << "\n" << description;
  if (error)
    g_error_free(error);
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE) << description;
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *end = gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND,
                                               GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  EXPECT_NE(end, nullptr) << description;
  if (end) {
    EXPECT_EQ(GST_MESSAGE_TYPE(end), GST_MESSAGE_EOS) << description;
    gst_message_unref(end);
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
}

}  // namespace nerko::testing_support
