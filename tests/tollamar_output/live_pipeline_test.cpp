// A live source behind something that loses frames: the element keeps the
// output continuous through the stall and recovers without a burst. The
// pipeline runs on a test clock that moves only from one clock wait to the
// next, once the source and the element are both waiting, so the run is the
// same every time.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "output_support.h"

using namespace tollamar_output;

namespace {

const GstClockTime kSlot = 40 * GST_MSECOND;
// The source's frames 10 to 19 never reach the element.
const GstClockTime kStallStart = 10 * kSlot;
const GstClockTime kStallEnd = 20 * kSlot;
const size_t kOutputs = 40;

struct Output {
  GstClockTime pts;
  bool gap;
};

struct Recorder {
  std::mutex mutex;
  std::vector<Output> outputs;
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return outputs.size();
  }
};

GstPadProbeReturn drop_stalled(GstPad *, GstPadProbeInfo *info, gpointer) {
  GstClockTime pts = GST_BUFFER_PTS(GST_PAD_PROBE_INFO_BUFFER(info));
  return pts >= kStallStart && pts < kStallEnd ? GST_PAD_PROBE_DROP
                                                : GST_PAD_PROBE_OK;
}

GstPadProbeReturn record(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *recorder = static_cast<Recorder *>(data);
  GstBuffer *buf = GST_PAD_PROBE_INFO_BUFFER(info);
  std::lock_guard<std::mutex> lock(recorder->mutex);
  recorder->outputs.push_back(
      {GST_BUFFER_PTS(buf), GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP)});
  return GST_PAD_PROBE_OK;
}

std::vector<Output> run_through_stall(const char *description) {
  init_plugin();
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(description, &error);
  EXPECT_EQ(error, nullptr) << (error ? error->message : "");
  if (!pipeline) return {};
  GstClock *clock = gst_test_clock_new();
  gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);

  GstElement *drop = gst_bin_get_by_name(GST_BIN(pipeline), "drop");
  GstPad *drop_src = gst_element_get_static_pad(drop, "src");
  gst_pad_add_probe(drop_src, GST_PAD_PROBE_TYPE_BUFFER, drop_stalled, nullptr,
                    nullptr);
  GstElement *sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstPad *sink_pad = gst_element_get_static_pad(sink, "sink");
  Recorder recorder;
  gst_pad_add_probe(sink_pad, GST_PAD_PROBE_TYPE_BUFFER, record, &recorder,
                    nullptr);

  EXPECT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING),
            GST_STATE_CHANGE_FAILURE);
  // Each step: wait until the source (next frame) and the element (next
  // slot deadline) both wait on the clock, then release the earlier one.
  for (int step = 0; step < 1000 && recorder.size() < kOutputs; step++) {
    gst_test_clock_wait_for_multiple_pending_ids(GST_TEST_CLOCK(clock), 2,
                                                 nullptr);
    gst_test_clock_crank(GST_TEST_CLOCK(clock));
  }

  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
  EXPECT_EQ(msg, nullptr);
  if (msg) gst_message_unref(msg);
  gst_object_unref(bus);

  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink_pad);
  gst_object_unref(sink);
  gst_object_unref(drop_src);
  gst_object_unref(drop);
  gst_object_unref(clock);
  gst_object_unref(pipeline);

  std::lock_guard<std::mutex> lock(recorder.mutex);
  return recorder.outputs;
}

void expect_continuous_through_the_stall(const std::vector<Output> &outputs) {
  ASSERT_GE(outputs.size(), kOutputs);
  EXPECT_EQ(outputs[0].pts, 0u);
  bool recovered = false;
  for (size_t i = 0; i < outputs.size(); i++) {
    // One buffer per slot: no hole, no repeat, no burst.
    if (i > 0) {
      EXPECT_EQ(outputs[i].pts, outputs[i - 1].pts + kSlot) << "output " << i;
    }
    if (outputs[i].pts >= kStallStart && outputs[i].pts < kStallEnd) {
      EXPECT_TRUE(outputs[i].gap) << "slot at " << outputs[i].pts;
    }
    if (outputs[i].pts >= kStallEnd && !outputs[i].gap) recovered = true;
  }
  EXPECT_TRUE(recovered) << "no real buffer after the stall";
  // Before the stall every frame arrived in time.
  for (size_t i = 0; i < 10 && i < outputs.size(); i++)
    EXPECT_FALSE(outputs[i].gap) << "output " << i;
}

TEST(TollamarLivePipeline, VideoStaysContinuousThroughAStall) {
  std::vector<Output> outputs = run_through_stall(
      "videotestsrc is-live=true ! "
      "video/x-raw, format=RGBx, width=64, height=48, framerate=25/1 ! "
      "identity name=drop ! livevideorate ! fakesink name=sink sync=false");
  expect_continuous_through_the_stall(outputs);
}

TEST(TollamarLivePipeline, AudioStaysContinuousThroughAStall) {
  std::vector<Output> outputs = run_through_stall(
      "audiotestsrc is-live=true samplesperbuffer=1920 ! "
      "audio/x-raw, format=S16LE, rate=48000, channels=1 ! "
      "identity name=drop ! liveaudiorate ! fakesink name=sink sync=false");
  expect_continuous_through_the_stall(outputs);
}

}  // namespace
