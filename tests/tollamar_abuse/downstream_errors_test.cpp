// A downstream that refuses what the element pushes: a failure flow stops
// the task with the stream error and end of stream, end of stream from
// downstream does not.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "abuse_support.h"

using namespace tollamar_abuse;
using tollamar_output::ErrorMessage;

namespace {

// Lets @accept buffers through, then answers every push with @refusal.
struct Refusal {
  std::atomic<int> accept;
  GstFlowReturn refusal;
};

GstPadProbeReturn refuse_after(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *r = static_cast<Refusal *>(data);
  if (r->accept.fetch_sub(1) > 0) return GST_PAD_PROBE_OK;
  gst_buffer_unref(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_PAD_PROBE_INFO_DATA(info) = nullptr;
  GST_PAD_PROBE_INFO_FLOW_RETURN(info) = r->refusal;
  return GST_PAD_PROBE_HANDLED;
}

void expect_stream_error(Harness &h, GstFlowReturn reason, const char *debug_end) {
  ErrorMessage e = tollamar_output::wait_error(h.element());
  EXPECT_EQ(e.domain, GST_STREAM_ERROR);
  EXPECT_EQ(e.code, GST_STREAM_ERROR_FAILED);
  EXPECT_EQ(e.text, "Internal data stream error.");
  ASSERT_GE(e.debug.size(), strlen(debug_end));
  EXPECT_EQ(e.debug.substr(e.debug.size() - strlen(debug_end)), debug_end);
  ASSERT_TRUE(e.has_flow_return);
  EXPECT_EQ(e.flow_return, reason);
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  // The task stopped for good: once its last pass is over it stands paused.
  GstPad *srcpad = h.srcpad();
  GST_PAD_STREAM_LOCK(srcpad);
  GST_PAD_STREAM_UNLOCK(srcpad);
  EXPECT_EQ(gst_pad_get_task_state(srcpad), GST_TASK_PAUSED);
}

TEST(TollamarAbuseDownstream, ErrorForARealFrameStopsWithTheStreamError) {
  Harness h("livevideorate");
  Refusal refusal{{2}, GST_FLOW_ERROR};
  gst_pad_add_probe(h.srcpad(), GST_PAD_PROBE_TYPE_BUFFER, refuse_after,
                    &refusal, nullptr);
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  for (guint k = 0; k < 2; k++) {
    ASSERT_EQ(push(h, k * kSlot), GST_FLOW_OK);
    EXPECT_EQ(pull(h).pts, k * kSlot);
  }
  ASSERT_EQ(push(h, 2 * kSlot), GST_FLOW_OK);
  ASSERT_NO_FATAL_FAILURE(
      expect_stream_error(h, GST_FLOW_ERROR, "streaming stopped, reason error (-5)"));
  EXPECT_EQ(push(h, 3 * kSlot), GST_FLOW_ERROR);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
}

TEST(TollamarAbuseDownstream, NotNegotiatedForAGapStopsWithTheStreamError) {
  Harness h("liveaudiorate");
  Refusal refusal{{1}, GST_FLOW_NOT_NEGOTIATED};
  gst_pad_add_probe(h.srcpad(), GST_PAD_PROBE_TYPE_BUFFER, refuse_after,
                    &refusal, nullptr);
  h.play();
  h.crank();
  Output first = pull(h);
  EXPECT_TRUE(first.gap);
  h.crank();
  ASSERT_NO_FATAL_FAILURE(expect_stream_error(
      h, GST_FLOW_NOT_NEGOTIATED, "streaming stopped, reason not-negotiated (-4)"));
  EXPECT_EQ(push(h, 0, kSlot, 3840), GST_FLOW_NOT_NEGOTIATED);
}

TEST(TollamarAbuseDownstream, EndOfStreamFromDownstreamKeepsThePace) {
  Harness h("livevideorate");
  Refusal refusal{{1}, GST_FLOW_EOS};
  gst_pad_add_probe(h.srcpad(), GST_PAD_PROBE_TYPE_BUFFER, refuse_after,
                    &refusal, nullptr);
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  ASSERT_EQ(push(h, 0), GST_FLOW_OK);
  EXPECT_EQ(pull(h).pts, 0u);
  ASSERT_EQ(push(h, kSlot), GST_FLOW_OK);
  // Refused with end of stream: no error, the task keeps waking per slot,
  // and upstream is told end of stream from now on.
  EXPECT_EQ(h.next_wait_time(), 2 * kSlot + kMaxLateness - 1);
  h.crank();
  EXPECT_EQ(h.next_wait_time(), 3 * kSlot + kMaxLateness - 1);
  EXPECT_EQ(push(h, 2 * kSlot), GST_FLOW_EOS);
  GstBus *bus = gst_element_get_bus(h.element());
  EXPECT_TRUE(tollamar_output::take_errors(bus).empty());
  gst_object_unref(bus);
  EXPECT_EQ(gst_pad_get_task_state(h.srcpad()), GST_TASK_STARTED);
}

}  // namespace
