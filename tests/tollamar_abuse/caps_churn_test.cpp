// Caps that change every few buffers, and caps the element cannot use.
#include <gtest/gtest.h>

#include <string>

#include "abuse_support.h"

using namespace tollamar_abuse;

namespace {

const char kI420[] =
    "video/x-raw, format=(string)I420, width=(int)8, height=(int)8, "
    "framerate=(fraction)25/1";
const gsize kI420Size = 96;  // 8x8 I420

bool send_caps(Harness &h, const char *caps) {
  GstCaps *c = gst_caps_from_string(caps);
  bool ok = gst_harness_push_event(h.get(), gst_event_new_caps(c));
  gst_caps_unref(c);
  return ok;
}

TEST(TollamarAbuseCaps, CapsChangingEveryFewFramesKeepTheGridAndFillInTheNewFormat) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  std::vector<GstClockTime> pts;
  guint k = 0;
  for (int round = 0; round < 6; round++) {
    bool i420 = round % 2 == 1;
    ASSERT_TRUE(send_caps(h, i420 ? kI420 : kVideoCaps));
    for (int i = 0; i < 3; i++, k++) {
      ASSERT_EQ(push(h, k * kSlot, kSlot, i420 ? kI420Size : kFrameSize),
                GST_FLOW_OK);
      Output out = pull(h);
      EXPECT_FALSE(out.gap);
      pts.push_back(out.pts);
    }
  }
  // The stream stops in I420: the gap is black in that format, on the grid.
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  EXPECT_EQ(gap.size, kI420Size);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));

  // Every change went downstream, in order (a repeat of the caps already
  // set may be merged by GStreamer).
  std::vector<std::string> formats;
  while (GstEvent *event = h.try_pull_event()) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
      GstCaps *caps = nullptr;
      gst_event_parse_caps(event, &caps);
      std::string format =
          gst_structure_get_string(gst_caps_get_structure(caps, 0), "format");
      if (formats.empty() || formats.back() != format) formats.push_back(format);
    }
    gst_event_unref(event);
  }
  EXPECT_EQ(formats, (std::vector<std::string>{"RGBx", "I420", "RGBx", "I420",
                                               "RGBx", "I420"}));
}

TEST(TollamarAbuseCaps, AudioRateChangingEveryFewBuffersKeepsTheGrid) {
  Harness h("liveaudiorate");
  h.play();
  const char *rates[] = {
      "audio/x-raw, format=(string)S16LE, rate=(int)48000, channels=(int)1, "
      "layout=(string)interleaved",
      "audio/x-raw, format=(string)S16LE, rate=(int)44100, channels=(int)1, "
      "layout=(string)interleaved"};
  const gsize slot_bytes[] = {3840, 3528};  // 40 ms of mono S16LE
  gst_harness_set_src_caps_str(h.get(), rates[0]);
  std::vector<GstClockTime> pts;
  guint k = 0;
  for (int round = 0; round < 6; round++) {
    ASSERT_TRUE(send_caps(h, rates[round % 2]));
    for (int i = 0; i < 3; i++, k++) {
      ASSERT_EQ(push(h, k * kSlot, kSlot, slot_bytes[round % 2]), GST_FLOW_OK);
      Output out = pull(h);
      EXPECT_FALSE(out.gap);
      pts.push_back(out.pts);
    }
  }
  // Silence in the last format: 1764 samples of 44100 Hz per slot.
  h.crank();
  Output gap = pull(h);
  EXPECT_TRUE(gap.gap);
  EXPECT_EQ(gap.size, slot_bytes[1]);
  pts.push_back(gap.pts);
  EXPECT_TRUE(on_grid_from(pts, 0));
}

TEST(TollamarAbuseCaps, UnusableCapsMidStreamStopWithTheStreamError) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kVideoCaps);
  for (guint k = 0; k < 3; k++) {
    ASSERT_EQ(push(h, k * kSlot), GST_FLOW_OK);
    EXPECT_EQ(pull(h).pts, k * kSlot);
  }
  // Alternate fields without the interlaced caps feature: no format the
  // element can describe.
  ASSERT_TRUE(send_caps(h, "video/x-raw, format=(string)RGBx, width=(int)4, "
                           "height=(int)4, framerate=(fraction)25/1, "
                           "interlace-mode=(string)alternate"));
  tollamar_output::ErrorMessage e = tollamar_output::wait_error(h.element());
  EXPECT_EQ(e.domain, GST_STREAM_ERROR);
  EXPECT_EQ(e.code, GST_STREAM_ERROR_FAILED);
  EXPECT_EQ(e.text, "Internal data stream error.");
  EXPECT_EQ(e.debug.substr(e.debug.rfind(':') + 1),
            "\nstreaming stopped, reason not-negotiated (-4)")
      << e.debug;
  ASSERT_TRUE(e.has_flow_return);
  EXPECT_EQ(e.flow_return, GST_FLOW_NOT_NEGOTIATED);
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  // The task has stopped and upstream is refused with the reason.
  GstPad *srcpad = h.srcpad();
  GST_PAD_STREAM_LOCK(srcpad);
  GST_PAD_STREAM_UNLOCK(srcpad);
  EXPECT_EQ(gst_pad_get_task_state(srcpad), GST_TASK_PAUSED);
  EXPECT_EQ(push(h, 3 * kSlot), GST_FLOW_NOT_NEGOTIATED);
}

}  // namespace
