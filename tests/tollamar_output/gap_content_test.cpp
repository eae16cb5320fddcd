// What fills a slot: a black frame or the last frame for video, silence that
// tiles the sample timeline for audio, and a stream error when neither can
// be made.
#include <gtest/gtest.h>

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include "output_support.h"

using namespace tollamar_output;

namespace {

const GstClockTime kSlot = 40 * GST_MSECOND;
const char kRgbx4[] = "video/x-raw, format=(string)RGBx, width=(int)4, "
                      "height=(int)4, framerate=(fraction)25/1";
const char kRgbx8[] = "video/x-raw, format=(string)RGBx, width=(int)8, "
                      "height=(int)8, framerate=(fraction)25/1";

std::vector<guint8> bytes(GstBuffer *buf) {
  GstMapInfo map;
  EXPECT_TRUE(gst_buffer_map(buf, &map, GST_MAP_READ));
  std::vector<guint8> out(map.data, map.data + map.size);
  gst_buffer_unmap(buf, &map);
  return out;
}

// Pushes one real frame (delta unit, with video meta) and returns it as it
// came out.
GstBuffer *push_frame(Harness &h, GstClockTime pts, gsize size, guint8 fill) {
  GstBuffer *buf = make_buffer(pts, kSlot, size, fill);
  GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
  gst_buffer_add_video_meta(buf, GST_VIDEO_FRAME_FLAG_NONE,
                            GST_VIDEO_FORMAT_RGBx, 4, 4);
  EXPECT_EQ(gst_harness_push(h.get(), buf), GST_FLOW_OK);
  return h.pull();
}

GstBuffer *next_gap(Harness &h) {
  h.crank();
  GstBuffer *buf = h.pull();
  EXPECT_NE(buf, nullptr);
  if (buf) {
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP));
  }
  return buf;
}

TEST(TollamarGapContent, BlackByDefaultEvenAfterRealFrames) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kRgbx4);
  GstBuffer *real = push_frame(h, 0, 64, 0x55);
  ASSERT_NE(real, nullptr);
  GstBuffer *gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(bytes(gap), std::vector<guint8>(64, 0));
  EXPECT_NE(gst_buffer_peek_memory(gap, 0), gst_buffer_peek_memory(real, 0));
  gst_buffer_unref(gap);
  gst_buffer_unref(real);
}

TEST(TollamarGapContent, LastFrameRepeatsTheLastRealFrameSharingItsMemory) {
  Harness h("livevideorate");
  gst_util_set_object_arg(G_OBJECT(h.element()), "fill-mode", "last-frame");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kRgbx4);

  // No real frame yet: black.
  GstBuffer *gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(bytes(gap), std::vector<guint8>(64, 0));
  gst_buffer_unref(gap);

  GstBuffer *real = push_frame(h, kSlot, 64, 0x55);
  ASSERT_NE(real, nullptr);
  for (guint i = 2; i <= 3; i++) {
    gap = next_gap(h);
    ASSERT_NE(gap, nullptr);
    EXPECT_NE(gap, real);
    EXPECT_EQ(gst_buffer_n_memory(gap), 1u);
    EXPECT_EQ(gst_buffer_peek_memory(gap, 0), gst_buffer_peek_memory(real, 0));
    EXPECT_NE(gst_buffer_get_video_meta(gap), nullptr);
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(gap, GST_BUFFER_FLAG_DELTA_UNIT));
    EXPECT_EQ(GST_BUFFER_PTS(gap), i * kSlot);
    EXPECT_EQ(GST_BUFFER_DURATION(gap), kSlot);
    EXPECT_EQ(GST_BUFFER_DTS(gap), GST_CLOCK_TIME_NONE);
    EXPECT_EQ(GST_BUFFER_OFFSET(gap), GST_BUFFER_OFFSET_NONE);
    EXPECT_EQ(GST_BUFFER_OFFSET_END(gap), GST_BUFFER_OFFSET_NONE);
    gst_buffer_unref(gap);
  }
  gst_buffer_unref(real);
}

TEST(TollamarGapContent, LastFrameIsBlackAfterACapsChangeUntilANewFrame) {
  Harness h("livevideorate");
  gst_util_set_object_arg(G_OBJECT(h.element()), "fill-mode", "last-frame");
  h.play();
  gst_harness_set_src_caps_str(h.get(), kRgbx4);
  GstBuffer *real = push_frame(h, 0, 64, 0x55);
  ASSERT_NE(real, nullptr);
  gst_buffer_unref(real);

  gst_harness_set_src_caps_str(h.get(), kRgbx8);
  GstBuffer *gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(bytes(gap), std::vector<guint8>(256, 0));
  gst_buffer_unref(gap);

  real = push_frame(h, 2 * kSlot, 256, 0x77);
  ASSERT_NE(real, nullptr);
  gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(gst_buffer_peek_memory(gap, 0), gst_buffer_peek_memory(real, 0));
  gst_buffer_unref(gap);
  gst_buffer_unref(real);
}

TEST(TollamarGapContent, YuvBlackIsTheConvertersRenderingMadeOnce) {
  Harness h("livevideorate");
  h.play();
  gst_harness_set_src_caps_str(
      h.get(), "video/x-raw, format=(string)I420, width=(int)8, height=(int)8, "
               "framerate=(fraction)25/1");
  GstBuffer *first = next_gap(h);
  ASSERT_NE(first, nullptr);
  // 8x8 luma at video black, 4x4 of each chroma plane at neutral.
  std::vector<guint8> expected(64, 16);
  expected.insert(expected.end(), 32, 128);
  EXPECT_EQ(bytes(first), expected);
  for (int i = 0; i < 3; i++) {
    GstBuffer *gap = next_gap(h);
    ASSERT_NE(gap, nullptr);
    EXPECT_EQ(gst_buffer_peek_memory(gap, 0), gst_buffer_peek_memory(first, 0));
    gst_buffer_unref(gap);
  }
  gst_buffer_unref(first);
}

TEST(TollamarGapContent, SilenceTilesSlotsThatAreNotWholeSamples) {
  Harness h("liveaudiorate");
  gst_util_set_object_arg(G_OBJECT(h.element()), "fill-framerate", "24/1");
  h.play();
  gst_harness_set_src_caps_str(h.get(),
                               "audio/x-raw, format=(string)S16LE, "
                               "rate=(int)44100, channels=(int)1, "
                               "layout=(string)interleaved");
  // 44100 / 24 = 1837.5 samples per slot.
  guint64 total = 0;
  guint64 previous = 0;
  GstClockTime end = 0;
  for (guint i = 0; i < 10; i++) {
    GstBuffer *gap = next_gap(h);
    ASSERT_NE(gap, nullptr);
    guint64 samples = gst_buffer_get_size(gap) / 2;
    EXPECT_TRUE(samples == 1837 || samples == 1838) << samples;
    if (i > 0) {
      EXPECT_LE(samples > previous ? samples - previous : previous - samples,
                1u);
    }
    previous = samples;
    total += samples;
    EXPECT_EQ(GST_BUFFER_DURATION(gap),
              gst_util_uint64_scale(total, GST_SECOND, 44100) - end);
    end = gst_util_uint64_scale(total, GST_SECOND, 44100);
    gst_buffer_unref(gap);
  }
  // Ten slots are 10/24 s: 18374.99997 samples, rounded 18375.
  EXPECT_EQ(total, 18375u);
}

TEST(TollamarGapContent, NonInterleavedSilenceCarriesAudioMeta) {
  Harness h("liveaudiorate");
  h.play();
  gst_harness_set_src_caps_str(h.get(),
                               "audio/x-raw, format=(string)F32LE, "
                               "rate=(int)48000, channels=(int)2, "
                               "layout=(string)non-interleaved");
  GstBuffer *gap = next_gap(h);
  ASSERT_NE(gap, nullptr);
  EXPECT_EQ(gst_buffer_get_size(gap), 1920u * 4u * 2u);
  GstAudioMeta *meta = gst_buffer_get_audio_meta(gap);
  ASSERT_NE(meta, nullptr);
  EXPECT_EQ(meta->samples, 1920u);
  EXPECT_EQ(GST_AUDIO_INFO_CHANNELS(&meta->info), 2);
  EXPECT_EQ(GST_AUDIO_INFO_LAYOUT(&meta->info), GST_AUDIO_LAYOUT_NON_INTERLEAVED);
  EXPECT_EQ(meta->offsets[1], 1920u * 4u);
  gst_buffer_unref(gap);
}

// Without a black frame there is nothing to push: the task stops with the
// stream error instead of going on silently.
TEST(TollamarGapContentDecisions, BlackFrameFailureIsAFlowError) {
  Harness h("livevideorate");
  h.play();
  // A valid GRAY8 size whose RGBx source image cannot be described.
  gst_harness_set_src_caps_str(
      h.get(), "video/x-raw, format=(string)GRAY8, width=(int)40000, "
               "height=(int)40000, framerate=(fraction)25/1");
  h.crank();
  ErrorMessage first = wait_error(h.element());
  EXPECT_EQ(first.domain, GST_CORE_ERROR);
  EXPECT_EQ(first.code, GST_CORE_ERROR_NOT_IMPLEMENTED);
  EXPECT_NE(first.debug.find("invalid video buffer received"), std::string::npos);
  ErrorMessage second = wait_error(h.element());
  EXPECT_EQ(second.domain, GST_STREAM_ERROR);
  EXPECT_EQ(second.code, GST_STREAM_ERROR_FAILED);
  EXPECT_EQ(second.text, "Internal data stream error.");
  EXPECT_NE(second.debug.find("streaming stopped, reason error (-5)"),
            std::string::npos);
  EXPECT_TRUE(second.has_flow_return);
  EXPECT_EQ(second.flow_return, GST_FLOW_ERROR);
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
  EXPECT_EQ(gst_harness_push(h.get(), make_buffer(0, kSlot)), GST_FLOW_ERROR);
}

TEST(TollamarGapContentDecisions, SilenceTooLongForOneBufferIsAFlowError) {
  Harness h("liveaudiorate");
  // One slot of 2147483647 s: far more than 2^32 bytes of silence.
  gst_util_set_object_arg(G_OBJECT(h.element()), "fill-framerate",
                          "1/2147483647");
  h.play();
  h.crank();
  ErrorMessage first = wait_error(h.element());
  EXPECT_EQ(first.domain, GST_STREAM_ERROR);
  EXPECT_EQ(first.code, GST_STREAM_ERROR_FAILED);
  EXPECT_EQ(first.text, "Gap slot is too long for one silence buffer");
  EXPECT_NE(first.debug.find(
                "103079215056000 samples of 2 bytes each do not fit 32 bits"),
            std::string::npos)
      << first.debug;
  ErrorMessage second = wait_error(h.element());
  EXPECT_EQ(second.text, "Internal data stream error.");
  EXPECT_EQ(second.flow_return, GST_FLOW_ERROR);
  GstEvent *eos = h.wait_event_of_type(GST_EVENT_EOS);
  ASSERT_NE(eos, nullptr);
  gst_event_unref(eos);
  EXPECT_EQ(gst_harness_buffers_in_queue(h.get()), 0u);
}

}  // namespace
