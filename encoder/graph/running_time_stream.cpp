#include "encoder/graph/running_time_stream.h"

#include "encoder/control/gst_ref.h"

namespace nerko {
namespace {

// Belongs to the streaming thread that pushes into the head (a funnel in
// front of it serialises its inputs).
struct InputTimeline {
  GstSegment upstream;  // the segment the buffers that follow are stamped in
};

// Belongs to the head's streaming thread.
struct OutputStream {
  bool started = false;
  bool segment_sent = false;
};

// A segment whose positions are running times.
GstEvent *plain_time_segment(GstEvent *replaced) {
  GstSegment plain;
  gst_segment_init(&plain, GST_FORMAT_TIME);
  GstEvent *event = gst_event_new_segment(&plain);
  gst_event_set_seqnum(event, gst_event_get_seqnum(replaced));
  return event;
}

GstClockTime running_time(const GstSegment &segment, GstClockTime timestamp) {
  if (!GST_CLOCK_TIME_IS_VALID(timestamp) || segment.format != GST_FORMAT_TIME)
    return timestamp;
  return gst_segment_to_running_time(&segment, GST_FORMAT_TIME, timestamp);
}

// An input that goes on air, or comes back, sends caps again even when its
// format is the one on air. Taken as new, they would cost the head its last
// frame, and a switch would show black where the last frame should bridge it.
bool repeats_current_caps(GstPad *pad, GstEvent *event) {
  GstCaps *caps = nullptr;
  gst_event_parse_caps(event, &caps);
  CapsRef current(gst_pad_get_current_caps(pad));
  return current && caps && gst_caps_is_equal(current.get(), caps);
}

GstPadProbeReturn on_input(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  auto &timeline = *static_cast<InputTimeline *>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS)
      return repeats_current_caps(pad, event) ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
    if (GST_EVENT_TYPE(event) != GST_EVENT_SEGMENT)
      return GST_PAD_PROBE_OK;
    gst_event_copy_segment(event, &timeline.upstream);
    // The stream outlives its input: a file's end is no end of the stream.
    timeline.upstream.stop = GST_CLOCK_TIME_NONE;
    GST_PAD_PROBE_INFO_DATA(info) = plain_time_segment(event);
    gst_event_unref(event);
    return GST_PAD_PROBE_OK;
  }
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const GstClockTime pts = running_time(timeline.upstream, GST_BUFFER_PTS(buffer));
  const GstClockTime dts = running_time(timeline.upstream, GST_BUFFER_DTS(buffer));
  // Before its segment: downstream would have clipped it, and its time
  // cannot be told.
  if (GST_BUFFER_PTS_IS_VALID(buffer) && !GST_CLOCK_TIME_IS_VALID(pts))
    return GST_PAD_PROBE_DROP;
  if (pts == GST_BUFFER_PTS(buffer) && dts == GST_BUFFER_DTS(buffer))
    return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  GST_BUFFER_PTS(buffer) = pts;
  GST_BUFFER_DTS(buffer) = dts;
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn on_output_event(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto &stream = *static_cast<OutputStream *>(data);
  switch (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info))) {
    case GST_EVENT_STREAM_START:
      // A stream-start would also clear the segment downstream.
      if (stream.started)
        return GST_PAD_PROBE_DROP;
      stream.started = true;
      return GST_PAD_PROBE_OK;
    case GST_EVENT_SEGMENT:
      if (stream.segment_sent)
        return GST_PAD_PROBE_DROP;
      stream.segment_sent = true;
      return GST_PAD_PROBE_OK;
    case GST_EVENT_FLUSH_STOP:
      // The flush took the segment off the pads downstream.
      stream.segment_sent = false;
      return GST_PAD_PROBE_OK;
    default:
      return GST_PAD_PROBE_OK;
  }
}

}  // namespace

void stamp_in_running_time(GstPad *head_sink) {
  auto *timeline = new InputTimeline;
  gst_segment_init(&timeline->upstream, GST_FORMAT_UNDEFINED);
  gst_pad_add_probe(head_sink,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    on_input, timeline, [](gpointer data) { delete static_cast<InputTimeline *>(data); });
}

void keep_one_output_stream(GstPad *head_source) {
  gst_pad_add_probe(head_source,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                    on_output_event, new OutputStream,
                    [](gpointer data) { delete static_cast<OutputStream *>(data); });
}

}  // namespace nerko
