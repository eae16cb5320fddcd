#include "encoder/control/send_lag.h"

#include <gst/base/gstbasesink.h>

#include <algorithm>

#include "encoder/control/gst_ref.h"
#include "encoder/control/latency_report.h"

namespace nerko {
namespace {

using ClockRef = ObjectRef<GstClock>;
using SampleRef = Owned<GstSample, unref_mini_object<GstSample>>;

bool is_playing(GstElement *element) {
  GST_OBJECT_LOCK(element);
  bool playing = GST_STATE(element) == GST_STATE_PLAYING;
  GST_OBJECT_UNLOCK(element);
  return playing;
}

// A stream that has ended sends nothing more, and that is not lagging: an
// input whose video ends before its audio must not report the video behind.
bool has_ended(GstElement *sender) {
  PadRef pad(gst_element_get_static_pad(sender, "sink"));
  if (!pad)
    return true;
  GST_OBJECT_LOCK(pad.get());
  bool ended = GST_PAD_IS_EOS(pad.get());
  GST_OBJECT_UNLOCK(pad.get());
  return ended;
}

// The last buffer rendered; a payloader that pushed a list leaves the list.
GstBuffer *last_buffer(GstSample *sample) {
  if (GstBuffer *buffer = gst_sample_get_buffer(sample))
    return buffer;
  GstBufferList *list = gst_sample_get_buffer_list(sample);
  if (!list || gst_buffer_list_length(list) == 0)
    return nullptr;
  return gst_buffer_list_get(list, gst_buffer_list_length(list) - 1);
}

}  // namespace

std::optional<GstClockTimeDiff> sender_lag(GstElement *sender) {
  if (!sender || !GST_IS_BASE_SINK(sender) || !is_playing(sender) || has_ended(sender))
    return std::nullopt;
  ClockRef clock(gst_element_get_clock(sender));
  if (!clock)
    return std::nullopt;
  SampleRef sample(gst_base_sink_get_last_sample(GST_BASE_SINK(sender)));
  if (!sample)
    return std::nullopt;
  GstBuffer *buffer = last_buffer(sample.get());
  const GstSegment *segment = gst_sample_get_segment(sample.get());
  if (!buffer || !segment || segment->format != GST_FORMAT_TIME || !GST_BUFFER_PTS_IS_VALID(buffer))
    return std::nullopt;
  GstClockTime sent = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
  if (!GST_CLOCK_TIME_IS_VALID(sent))
    return std::nullopt;
  GstClockTime latency = gst_base_sink_get_latency(GST_BASE_SINK(sender));
  if (GST_CLOCK_TIME_IS_VALID(latency))
    sent += latency;
  GstClockTime now = gst_clock_get_time(clock.get());
  GstClockTime base_time = gst_element_get_base_time(sender);
  if (!GST_CLOCK_TIME_IS_VALID(now) || now < base_time)
    return std::nullopt;
  return GST_CLOCK_DIFF(sent, now - base_time);
}

SendLag read_send_lag(const StreamSinks &sinks) {
  std::optional<GstClockTime> latency = sink_latency(sinks.video_rtp.get());
  if (std::optional<GstClockTime> audio = sink_latency(sinks.audio_rtp.get()))
    latency = std::max(latency.value_or(0), *audio);
  return {sender_lag(sinks.video_rtp.get()), sender_lag(sinks.audio_rtp.get()), latency};
}

}  // namespace nerko
