#include "encoder/graph/one_output_stream.h"

namespace nerko {
namespace {

// Belongs to the head's streaming thread, the only one that pushes on its
// source pad.
struct OutputStream {
  bool started = false;
  bool segment_sent = false;
  GstSegment upstream;  // the segment the head last sent, in which its buffers are stamped
};

// A segment whose positions are running times: the timeline every input is
// put on downstream.
GstEvent *plain_time_segment(GstEvent *replaced) {
  GstSegment plain;
  gst_segment_init(&plain, GST_FORMAT_TIME);
  GstEvent *event = gst_event_new_segment(&plain);
  gst_event_set_seqnum(event, gst_event_get_seqnum(replaced));
  return event;
}

GstPadProbeReturn on_event(GstPadProbeInfo *info, OutputStream &stream) {
  GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_STREAM_START:
      // A stream-start would also clear the segment downstream.
      if (stream.started)
        return GST_PAD_PROBE_DROP;
      stream.started = true;
      return GST_PAD_PROBE_OK;
    case GST_EVENT_SEGMENT:
      gst_event_copy_segment(event, &stream.upstream);
      if (stream.segment_sent)
        return GST_PAD_PROBE_DROP;
      stream.segment_sent = true;
      GST_PAD_PROBE_INFO_DATA(info) = plain_time_segment(event);
      gst_event_unref(event);
      return GST_PAD_PROBE_OK;
    case GST_EVENT_FLUSH_STOP:
      // The flush took the segment off the pads downstream.
      stream.segment_sent = false;
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

GstPadProbeReturn on_output(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto &stream = *static_cast<OutputStream *>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_BOTH)
    return on_event(info, stream);
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const GstClockTime pts = running_time(stream.upstream, GST_BUFFER_PTS(buffer));
  const GstClockTime dts = running_time(stream.upstream, GST_BUFFER_DTS(buffer));
  // Outside the segment (a frame made up for a time before the input's
  // segment begins): downstream would have clipped it, and its time cannot
  // be told.
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

}  // namespace

void keep_one_output_stream(GstPad *head_source) {
  auto *stream = new OutputStream;
  gst_segment_init(&stream->upstream, GST_FORMAT_UNDEFINED);
  gst_pad_add_probe(head_source,
                    static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
                                                 GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                    on_output, stream, [](gpointer data) { delete static_cast<OutputStream *>(data); });
}

}  // namespace nerko
