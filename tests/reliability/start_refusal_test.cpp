// What the operator reads when the pipeline refuses to start: the first
// error an element left on the bus, in the bus watch's own error form, and
// nothing of the generic follow-ups.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "encoder/control/bus_watch.h"

namespace nerko::reliability {
namespace {

// Everything written to the FILE it hands out, once closed.
class MemoryFile {
 public:
  MemoryFile() : file_(open_memstream(&buffer_, &size_)) {}
  ~MemoryFile() {
    if (file_)
      std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE *get() { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char *buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE *file_;
};

void post_error(GstBus *bus, GstObject *source, const char *text, const char *debug) {
  GError *error = g_error_new_literal(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_NOT_FOUND, text);
  gst_bus_post(bus, gst_message_new_error(source, error, debug));
  g_error_free(error);
}

class ReliabilityStartRefusal : public testing::Test {
 protected:
  void SetUp() override {
    gst_init(nullptr, nullptr);
    bus_ = gst_bus_new();
    source_ = GST_OBJECT(gst_object_ref_sink(gst_bin_new("source")));
  }
  void TearDown() override {
    gst_bus_set_flushing(bus_, TRUE);
    gst_object_unref(source_);
    gst_object_unref(bus_);
  }

  GstBus *bus_ = nullptr;
  GstObject *source_ = nullptr;
};

TEST_F(ReliabilityStartRefusal, OnlyTheFirstErrorIsShownInTheErrorLineForm) {
  gst_bus_post(bus_, gst_message_new_state_changed(source_, GST_STATE_NULL, GST_STATE_READY,
                                                   GST_STATE_VOID_PENDING));
  post_error(bus_, source_, "Resource not found.", "No such file \"/srv/clip.mkv\"");
  post_error(bus_, source_, "GStreamer error: state change failed", "generic follow-up");
  MemoryFile err;
  report_first_error(bus_, err.get());
  EXPECT_EQ(err.text(), "Error! Resource not found.: Some(\"No such file \\\"/srv/clip.mkv\\\"\")\n");
  // The follow-up stays where it was; the messages before the first error are gone.
  GstMessage *left = gst_bus_pop(bus_);
  ASSERT_NE(left, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(left), GST_MESSAGE_ERROR);
  gst_message_unref(left);
  EXPECT_EQ(gst_bus_pop(bus_), nullptr);
}

TEST_F(ReliabilityStartRefusal, ErrorWithoutDebugTextEndsInNone) {
  post_error(bus_, source_, "No URI handler implemented for \"x\".", nullptr);
  MemoryFile err;
  report_first_error(bus_, err.get());
  EXPECT_EQ(err.text(), "Error! No URI handler implemented for \"x\".: None\n");
}

TEST_F(ReliabilityStartRefusal, NoErrorOnTheBusWritesNothing) {
  gst_bus_post(bus_, gst_message_new_eos(source_));
  MemoryFile err;
  report_first_error(bus_, err.get());
  EXPECT_EQ(err.text(), "");
}

}  // namespace
}  // namespace nerko::reliability
