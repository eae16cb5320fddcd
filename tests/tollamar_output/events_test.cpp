// Events on the output side: upstream events forwarded in order and applied,
// invented caps replaced, events from downstream answered, and flow errors
// turned into a stream error followed by end of stream.
#include <gtest/gtest.h>

#include <gst/video/video.h>

#include "output_support.h"

using namespace tollamar_output;

namespace {

const GstClockTime kSlot = 40 * GST_MSECOND;
const char kRgbx4[] = "video/x-raw, format=(string)RGBx, width=(int)4, "
                      "height=(int)4, framerate=(fraction)25/1";

// The next event that reached upstream, passing over the reconfigure events
// that linking and playing send by themselves.
GstEvent *next_upstream_event(Harness &h) {
  while (GstEvent *event = gst_harness_try_pull_upstream_event(h.get())) {
    if (GST_EVENT_TYPE(event) != GST_EVENT_RECONFIGURE) return event;
    gst_event_unref(event);
  }
  return nullptr;
}

GstBuffer *next_gap(Harness &h) {
  h.crank();
  return h.pull();
}

TEST(TollamarEvents, UpstreamCapsReplaceInventedOnesAndTheirRate) {
  Harness h("livevideorate");
  h.play();
  GstBuffer *gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(gst_buffer_get_size(gap), 320u * 240u * 4u);
  gst_buffer_unref(gap);
  gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(GST_BUFFER_PTS(gap), kSlot);
  gst_buffer_unref(gap);
  h.drain_event_types();

  gst_harness_set_src_caps_str(
      h.get(), "video/x-raw, format=(string)RGBx, width=(int)4, "
               "height=(int)4, framerate=(fraction)10/1");
  // The grid goes on where the next frame was due, now 100 ms per slot.
  for (guint i = 0; i < 3; i++) {
    gap = next_gap(h);
    ASSERT_NE(gap, nullptr);
    EXPECT_EQ(gst_buffer_get_size(gap), 64u);
    EXPECT_EQ(GST_BUFFER_PTS(gap), 2 * kSlot + i * 100 * GST_MSECOND);
    EXPECT_EQ(GST_BUFFER_DURATION(gap), 100 * GST_MSECOND);
    gst_buffer_unref(gap);
  }
  std::vector<GstEventType> types = h.drain_event_types();
  EXPECT_EQ(std::count(types.begin(), types.end(), GST_EVENT_CAPS), 1);
  EXPECT_EQ(std::count(types.begin(), types.end(), GST_EVENT_STREAM_START), 1);
}

TEST(TollamarEvents, UpstreamEventsAreForwardedInOrderWithTheBuffers) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kRgbx4);
  ASSERT_TRUE(gst_harness_push_event(
      h.get(), gst_event_new_tag(gst_tag_list_new_empty())));
  ASSERT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)), GST_FLOW_OK);
  GstBuffer *buf = h.pull();
  ASSERT_NE(buf, nullptr);
  gst_buffer_unref(buf);
  EXPECT_EQ(h.drain_event_types(),
            (std::vector<GstEventType>{GST_EVENT_STREAM_START, GST_EVENT_CAPS,
                                       GST_EVENT_SEGMENT, GST_EVENT_TAG}));
}

TEST(TollamarEvents, BytesSegmentStopsWithTheStreamErrorAndEos) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kRgbx4);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_BYTES);
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_segment(&segment)));
  ErrorMessage e = wait_error(h.element());
  EXPECT_EQ(e.domain, GST_STREAM_ERROR);
  EXPECT_EQ(e.code, GST_STREAM_ERROR_FAILED);
  EXPECT_EQ(e.text, "Internal data stream error.");
  EXPECT_EQ(e.flow_return, GST_FLOW_ERROR);
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)),
            GST_FLOW_ERROR);
}

TEST(TollamarEvents, UnparsableUpstreamCapsAreNotNegotiated) {
  Harness h("livevideorate");
  h.play();
  // Alternate fields need the "format:Interlaced" caps feature.
  gst_harness_set_src_caps_str(
      h.get(), "video/x-raw, format=(string)RGBx, width=(int)4, "
               "height=(int)4, framerate=(fraction)25/1, "
               "interlace-mode=(string)alternate");
  ErrorMessage e = wait_error(h.element());
  EXPECT_EQ(e.text, "Internal data stream error.");
  EXPECT_EQ(e.flow_return, GST_FLOW_NOT_NEGOTIATED);
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)),
            GST_FLOW_NOT_NEGOTIATED);
}

TEST(TollamarEvents, EosFromUpstreamIsForwardedOnceAndRefusesLaterBuffers) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kRgbx4);
  ASSERT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)), GST_FLOW_OK);
  gst_buffer_unref(h.pull());
  ASSERT_TRUE(gst_harness_push_event(h.get(), gst_event_new_eos()));
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  // The task keeps its pace after end of stream; downstream refuses it all.
  h.crank();
  h.crank();
  h.next_wait_time();
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(kSlot, kSlot, 64)),
            GST_FLOW_EOS);
  std::vector<GstEventType> types = h.drain_event_types();
  EXPECT_EQ(std::count(types.begin(), types.end(), GST_EVENT_EOS), 0);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
}

TEST(TollamarEvents, SeekFromDownstreamIsDroppedAndAnswered) {
  Harness h("livevideorate");
  h.play();
  GstEvent *seek = gst_event_new_seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH,
                                      GST_SEEK_TYPE_SET, 0, GST_SEEK_TYPE_NONE,
                                      GST_CLOCK_TIME_NONE);
  EXPECT_TRUE(gst_harness_push_upstream_event(h.get(), seek));
  EXPECT_EQ(next_upstream_event(h), nullptr);
}

TEST(TollamarEvents, QosAndLatencyGoUpstream) {
  Harness h("livevideorate");
  h.play();
  EXPECT_TRUE(gst_harness_push_upstream_event(
      h.get(), gst_event_new_qos(GST_QOS_TYPE_UNDERFLOW, 0.5, 0, kSlot)));
  EXPECT_TRUE(gst_harness_push_upstream_event(
      h.get(), gst_event_new_latency(300 * GST_MSECOND)));
  GstEvent *event = next_upstream_event(h);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GST_EVENT_TYPE(event), GST_EVENT_QOS);
  gst_event_unref(event);
  event = next_upstream_event(h);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GST_EVENT_TYPE(event), GST_EVENT_LATENCY);
  GstClockTime latency = 0;
  gst_event_parse_latency(event, &latency);
  EXPECT_EQ(latency, 300 * GST_MSECOND);
  gst_event_unref(event);
}

TEST(TollamarEvents, FlushFromDownstreamPausesThenRestartsKeepingTheFormat) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kRgbx4);
  ASSERT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)), GST_FLOW_OK);
  gst_buffer_unref(h.pull());
  h.drain_event_types();

  EXPECT_TRUE(gst_harness_push_upstream_event(h.get(),
                                              gst_event_new_flush_start()));
  GstEvent *event = next_upstream_event(h);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GST_EVENT_TYPE(event), GST_EVENT_FLUSH_START);
  gst_event_unref(event);
  // Flush-start returns once the task has paused.
  EXPECT_EQ(gst_pad_get_task_state(h.srcpad()), GST_TASK_PAUSED);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(kSlot, kSlot, 64)),
            GST_FLOW_FLUSHING);

  gst_test_clock_set_time(h.clock(), 1 * GST_SECOND);
  EXPECT_TRUE(gst_harness_push_upstream_event(h.get(),
                                              gst_event_new_flush_stop(TRUE)));
  event = next_upstream_event(h);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GST_EVENT_TYPE(event), GST_EVENT_FLUSH_STOP);
  gst_event_unref(event);
  EXPECT_EQ(gst_pad_get_task_state(h.srcpad()), GST_TASK_STARTED);

  // Same format, no second stream-start; a new default segment.
  GstBuffer *gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(gst_buffer_get_size(gap), 64u);
  EXPECT_EQ(GST_BUFFER_PTS(gap), 1 * GST_SECOND);
  gst_buffer_unref(gap);
  EXPECT_EQ(h.drain_event_types(),
            std::vector<GstEventType>{GST_EVENT_SEGMENT});
}

// Answers every buffer push on the source pad with @ret.
GstPadProbeReturn refuse_buffers(GstPad *, GstPadProbeInfo *info,
                                 gpointer ret) {
  gst_buffer_unref(GST_PAD_PROBE_INFO_BUFFER(info));
  GST_PAD_PROBE_INFO_DATA(info) = nullptr;
  GST_PAD_PROBE_INFO_FLOW_RETURN(info) =
      static_cast<GstFlowReturn>(GPOINTER_TO_INT(ret));
  return GST_PAD_PROBE_HANDLED;
}

TEST(TollamarFlowErrors, NotLinkedPostsTheStreamErrorAndPushesEos) {
  Harness h("livevideorate");
  h.play();
  gst_pad_add_probe(h.srcpad(), GST_PAD_PROBE_TYPE_BUFFER, refuse_buffers,
                    GINT_TO_POINTER(GST_FLOW_NOT_LINKED), nullptr);
  h.crank();
  ErrorMessage e = wait_error(h.element());
  EXPECT_EQ(e.domain, GST_STREAM_ERROR);
  EXPECT_EQ(e.code, GST_STREAM_ERROR_FAILED);
  EXPECT_EQ(e.text, "Internal data stream error.");
  EXPECT_NE(e.debug.find("streaming stopped, reason not-linked (-1)"),
            std::string::npos)
      << e.debug;
  ASSERT_TRUE(e.has_flow_return);
  EXPECT_EQ(e.flow_return, -1);
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)),
            GST_FLOW_NOT_LINKED);
}

TEST(TollamarFlowErrors, FlushingPausesSilently) {
  Harness h("livevideorate");
  h.play();
  gst_pad_add_probe(h.srcpad(), GST_PAD_PROBE_TYPE_BUFFER, refuse_buffers,
                    GINT_TO_POINTER(GST_FLOW_FLUSHING), nullptr);
  h.crank();
  ASSERT_TRUE(wait_task_paused(h));
  GstBus *bus = gst_element_get_bus(h.element());
  EXPECT_TRUE(take_errors(bus).empty());
  gst_object_unref(bus);
  std::vector<GstEventType> types = h.drain_event_types();
  EXPECT_EQ(std::count(types.begin(), types.end(), GST_EVENT_EOS), 0);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)),
            GST_FLOW_FLUSHING);
}

TEST(TollamarEventsDecisions, UnparsableInventedCapsAreNotNegotiated) {
  Harness h("livevideorate");
  gst_harness_set_sink_caps_str(h.get(),
                                "video/x-raw, interlace-mode=(string)alternate");
  h.play();
  h.crank();
  ErrorMessage e = wait_error(h.element());
  EXPECT_EQ(e.text, "Internal data stream error.");
  EXPECT_EQ(e.flow_return, GST_FLOW_NOT_NEGOTIATED);
  // Stream-start, then end of stream: the caps that cannot be described
  // never go downstream.
  std::vector<GstEventType> types;
  while (GstEvent *event = h.pull_event()) {
    types.push_back(GST_EVENT_TYPE(event));
    gst_event_unref(event);
    if (types.back() == GST_EVENT_EOS) break;
  }
  EXPECT_EQ(types, (std::vector<GstEventType>{GST_EVENT_STREAM_START,
                                              GST_EVENT_EOS}));
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)),
            GST_FLOW_NOT_NEGOTIATED);
}

TEST(TollamarEvents, NoDownstreamCapsIsNotNegotiated) {
  Harness h("livevideorate");
  gst_harness_set_sink_caps_str(h.get(), "audio/x-raw");
  h.play();
  h.crank();
  ErrorMessage e = wait_error(h.element());
  EXPECT_EQ(e.flow_return, GST_FLOW_NOT_NEGOTIATED);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot, 64)),
            GST_FLOW_NOT_NEGOTIATED);
}

}  // namespace
