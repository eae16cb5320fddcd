// Checked signal connection: the texts of a refused connection and who frees
// the handler's context.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include "encoder/control/gst_ref.h"
#include "encoder/control/signals.h"

namespace nerko {
namespace {

struct Counter {
  int calls = 0;
  bool *freed;
};

void count_element_added(GstBin *, GstElement *, gpointer data) { ++static_cast<Counter *>(data)->calls; }
void free_counter(gpointer data, GClosure *) {
  auto *counter = static_cast<Counter *>(data);
  *counter->freed = true;
  delete counter;
}

class SignalConnection : public testing::Test {
 protected:
  void SetUp() override { gst_init(nullptr, nullptr); }
};

TEST_F(SignalConnection, UnknownSignalIsALibraryFailureAndFreesTheContext) {
  ElementRef bin(GST_ELEMENT(gst_object_ref_sink(gst_bin_new(nullptr))));
  bool freed = false;
  GClosure *closure =
      g_cclosure_new(G_CALLBACK(count_element_added), new Counter{0, &freed}, free_counter);
  Status status = connect_signal_checked(bin.get(), "request-fec-encoder", closure);
  ASSERT_TRUE(status);
  EXPECT_EQ(status->kind(), ErrorKind::Library);
  EXPECT_EQ(status->message(), "Signal 'request-fec-encoder' of type 'GstBin' not found");
  EXPECT_TRUE(freed);
}

TEST_F(SignalConnection, ConnectedHandlerRunsAndItsContextLivesUntilDisconnected) {
  ElementRef bin(GST_ELEMENT(gst_object_ref_sink(gst_bin_new(nullptr))));
  bool freed = false;
  auto *counter = new Counter{0, &freed};
  gulong id = 0;
  Status status = connect_signal_checked(
      bin.get(), "element-added", g_cclosure_new(G_CALLBACK(count_element_added), counter, free_counter),
      &id);
  EXPECT_FALSE(status);
  EXPECT_NE(id, 0u);
  gst_bin_add(GST_BIN(bin.get()), gst_bin_new(nullptr));
  EXPECT_EQ(counter->calls, 1);
  EXPECT_FALSE(freed);
  g_signal_handler_disconnect(bin.get(), id);
  EXPECT_TRUE(freed);
}

}  // namespace
}  // namespace nerko
