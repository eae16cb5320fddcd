#include "encoder/graph/running_time_stream.h"

namespace nerko {
namespace {

// Belongs to the streaming thread that pushes through the pad (a funnel in
// front of the head serialises its inputs).
struct Timeline {
  bool first_stream_only;
  bool started = false;
  bool segment_sent = false;
  GstSegment upstream;  // the segment the buffers that follow are stamped in
};

// A segment whose positions are running times.
GstEvent *plain_time_segment(GstEvent *replaced) {
  GstSegment plain;
  gst_segment_init(&plain, GST_FORMAT_TIME);
  GstEvent *event = gst_event_new_segment(&plain);
  gst_event_set_seqnum(event, gst_event_get_seqnum(replaced));
  return event;
}

GstPadProbeReturn on_event(GstPadProbeInfo *info, Timeline &timeline) {
  GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_STREAM_START:
      // A stream-start would also clear the segment downstream.
      if (timeline.first_stream_only && timeline.started)
        return GST_PAD_PROBE_DROP;
      timeline.started = true;
      return GST_PAD_PROBE_OK;
    case GST_EVENT_SEGMENT:
      gst_event_copy_segment(event, &timeline.upstream);
      if (timeline.first_stream_only && timeline.segment_sent)
        return GST_PAD_PROBE_DROP;
      timeline.segment_sent = true;
      GST_PAD_PROBE_INFO_DATA(info) = plain_time_segment(event);
      gst_event_unref(event);
      return GST_PAD_PROBE_OK;
    case GST_EVENT_FLUSH_STOP:
      // The flush took the segment off the pads downstream.
      timeline.segment_sent = false;
      return GST_PAD_PROBE_OK;
    default:
      return GST_PAD_PROBE_OK;
  }
}

GstClockTime running_time(const GstSegment &segment, GstClockTime timestamp) {
  if (!GST_CLOCK_TIME_IS_VALID(timestamp) || segment.format != GST_FORMAT_TIME)
    return timestamp;
  return gst_segment_to_running_time(&segment, GST_FORMAT_TIME, timestamp);
}

GstPadProbeReturn on_data(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto &timeline = *static_cast<Timeline *>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_BOTH)
    return on_event(info, timeline);
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const GstClockTime pts = running_time(timeline.upstream, GST_BUFFER_PTS(buffer));
  const GstClockTime dts = running_time(timeline.upstream, GST_BUFFER_DTS(buffer));
  // Outside its segment: downstream would have clipped it, and its time
  // cannot be told.
  if (GST_BUFFER_PTS_IS_VALID(buffer) && !GST_CLOCK_TIME_IS_VALID(pts))
    return GST_PAD_PROBE_DROP;
  if (pts == GST_BUFFER_PTS(buffer) && dts == GST_BUFFER_DTS(buffer))
    return GST_PAD_PROBE_OK;
  // The head keeps its last frame to repeat it: the copy shares its memory.
  buffer = gst_buffer_make_writable(buffer);
  GST_BUFFER_PTS(buffer) = pts;
  GST_BUFFER_DTS(buffer) = dts;
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

void add_timeline_probe(GstPad *pad, bool first_stream_only) {
  auto *timeline = new Timeline{first_stream_only, false, false, {}};
  gst_segment_init(&timeline->upstream, GST_FORMAT_UNDEFINED);
  gst_pad_add_probe(pad,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                 GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                    on_data, timeline, [](gpointer data) { delete static_cast<Timeline *>(data); });
}

}  // namespace

void stamp_in_running_time(GstPad *head_sink) {
  add_timeline_probe(head_sink, false);
}

void keep_one_output_stream(GstPad *head_source) {
  add_timeline_probe(head_source, true);
}

}  // namespace nerko
