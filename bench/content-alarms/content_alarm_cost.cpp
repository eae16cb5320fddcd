// CPU cost of the content alarms' probes: one 720p I420 picture and one
// 1024-sample stereo F32 buffer pushed again and again through a pad, with
// the probes and without, and the difference per second of 720p30 and of
// 48 kHz sound as a share of one core.
#include <gst/gst.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "encoder/input/content_watch.h"

namespace {

using Clock = std::chrono::steady_clock;

GstFlowReturn drop(GstPad *, GstObject *, GstBuffer *buffer) {
  gst_buffer_unref(buffer);
  return GST_FLOW_OK;
}

// Seconds to push `buffer` `count` times through a fresh pad pair.
double push_seconds(const char *caps_text, GstBuffer *buffer, int count, bool watched) {
  GstPad *source = gst_pad_new("src", GST_PAD_SRC);
  GstPad *sink = gst_pad_new("sink", GST_PAD_SINK);
  gst_pad_set_chain_function(sink, drop);
  gst_pad_set_active(source, TRUE);
  gst_pad_set_active(sink, TRUE);
  gst_pad_link(source, sink);
  gst_pad_push_event(source, gst_event_new_stream_start("cost"));
  GstCaps *caps = gst_caps_from_string(caps_text);
  gst_pad_push_event(source, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_pad_push_event(source, gst_event_new_segment(&segment));
  nerko::ContentAlarmSettings settings;
  settings.threshold_s = {10, 10, 10};
  if (watched)
    nerko::watch_content(source, std::make_shared<nerko::ContentWatch>(settings));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    GST_BUFFER_PTS(buffer) = i * 20 * GST_MSECOND;
    gst_pad_push(source, gst_buffer_ref(buffer));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  gst_pad_set_active(source, FALSE);
  gst_pad_set_active(sink, FALSE);
  gst_object_unref(source);
  gst_object_unref(sink);
  return seconds;
}

// Microseconds the probes add to one buffer: the best of five rounds each way.
double added_microseconds(const char *caps, gsize size, int count) {
  GstBuffer *buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  for (gsize i = 0; i < size; ++i)
    map.data[i] = static_cast<guint8>(i * 7);
  gst_buffer_unmap(buffer, &map);
  double with = 1e9, without = 1e9;
  for (int round = 0; round < 5; ++round) {
    with = std::min(with, push_seconds(caps, buffer, count, true));
    without = std::min(without, push_seconds(caps, buffer, count, false));
  }
  gst_buffer_unref(buffer);
  std::printf("  %-60s with %.2f us, without %.2f us a buffer\n", caps, with / count * 1e6, without / count * 1e6);
  return (with - without) / count * 1e6;
}

}  // namespace

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  const int count = argc > 1 ? std::atoi(argv[1]) : 3000;
  const double picture = added_microseconds(
      "video/x-raw,format=I420,width=1280,height=720,framerate=30/1", 1280 * 720 * 3 / 2, count);
  const double sound = added_microseconds(
      "audio/x-raw,format=F32LE,layout=interleaved,rate=48000,channels=2", 1024 * 2 * 4, count);
  std::printf("720p30 video: %.2f us a picture, %.3f %% of one core\n", picture, picture * 30 / 1e4);
  std::printf("48 kHz stereo sound: %.2f us a 1024-sample buffer, %.3f %% of one core\n", sound,
              sound * 48000.0 / 1024 / 1e4);
  std::printf("content alarms: %.3f %% of one core per 720p30 input with its sound\n",
              (picture * 30 + sound * 48000.0 / 1024) / 1e4);
  return 0;
}
