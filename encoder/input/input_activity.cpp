#include "encoder/input/input_activity.h"

#include <algorithm>
#include "encoder/input/live_input_time.h"

namespace nerko {
namespace {

// One per watched decoder pad; `offset_applied` belongs to the pad's
// streaming thread.
struct PadWatch {
  SharedInputActivity activity;
  uint64_t generation;
  bool keep_alive;
  bool offset_applied = false;
};


}  // namespace

GstClockTime running_time_now(GstElement *element) {
  GstClock *clock = gst_element_get_clock(element);
  if (!clock)
    return GST_CLOCK_TIME_NONE;
  GstClockTime now = gst_clock_get_time(clock);
  gst_object_unref(clock);
  GstClockTime base = gst_element_get_base_time(element);
  return now > base ? now - base : 0;
}

GstClockTime stamp_running_time(GstPad *pad, GstClockTime stamp) {
  GstEvent *event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
  if (!event)
    return GST_CLOCK_TIME_NONE;
  const GstSegment *segment = nullptr;
  gst_event_parse_segment(event, &segment);
  GstClockTime time = segment->format == GST_FORMAT_TIME
                          ? gst_segment_to_running_time(segment, GST_FORMAT_TIME, stamp)
                          : GST_CLOCK_TIME_NONE;
  gst_event_unref(event);
  return time;
}

GstClockTime buffer_running_time(GstPad *pad, GstBuffer *buffer) {
  return stamp_running_time(pad, GST_BUFFER_PTS(buffer));
}

GstClockTimeDiff offset_to_now(GstPad *pad, GstBuffer *buffer) {
  GstElement *decoder = gst_pad_get_parent_element(pad);
  GstClockTime now = decoder ? running_time_now(decoder) : GST_CLOCK_TIME_NONE;
  if (decoder)
    gst_object_unref(decoder);
  GstClockTime time = buffer ? buffer_running_time(pad, buffer) : GST_CLOCK_TIME_NONE;
  if (!GST_CLOCK_TIME_IS_VALID(now) || !GST_CLOCK_TIME_IS_VALID(time))
    return 0;
  return GST_CLOCK_DIFF(time, now);
}

namespace {

void post_input_message(GstPad *pad, const char *event, uint64_t generation) {
  GstElement *decoder = gst_pad_get_parent_element(pad);
  if (!decoder)
    return;
  GstStructure *structure = gst_structure_new(kInputMessage, "event", G_TYPE_STRING, event, "generation",
                                              G_TYPE_UINT64, generation, nullptr);
  gst_element_post_message(decoder, gst_message_new_application(GST_OBJECT(decoder), structure));
  gst_object_unref(decoder);
}

GstPadProbeReturn on_end_of_stream(GstPad *pad, PadWatch &watch) {
  InputActivity &activity = *watch.activity;
  bool ended;
  {
    std::lock_guard<std::mutex> lock(activity.mutex);
    ended = watch.generation == activity.generation && --activity.open_streams == 0;
  }
  if (ended)
    post_input_message(pad, kInputEnded, watch.generation);
  // The branch goes on with the next input; an end of stream would end it.
  return GST_PAD_PROBE_DROP;
}

GstPadProbeReturn on_decoded_data(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  auto &watch = *static_cast<PadWatch *>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    const GstEventType type = GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info));
    return type == GST_EVENT_EOS ? on_end_of_stream(pad, watch) : GST_PAD_PROBE_OK;
  }
  InputActivity &activity = *watch.activity;
  GstBuffer *buffer = (info->type & GST_PAD_PROBE_TYPE_BUFFER)
                          ? GST_PAD_PROBE_INFO_BUFFER(info)
                          : gst_buffer_list_get(GST_PAD_PROBE_INFO_BUFFER_LIST(info), 0);
  const GstClockTime running = watch.keep_alive && buffer ? buffer_running_time(pad, buffer) : GST_CLOCK_TIME_NONE;
  // Asked before the lock is taken: a query is never made under it.
  const std::optional<bool> live =
      watch.keep_alive && !watch.offset_applied ? answers_live(pad) : std::optional<bool>();
  const bool keeps_its_time = live.value_or(false) && activity.live_input_keeps_its_time;
  const bool not_live = live.has_value() && !*live;
  bool first = false;
  std::optional<GstClockTimeDiff> offset;
  {
    std::lock_guard<std::mutex> lock(activity.mutex);
    activity.last_buffer_us = g_get_monotonic_time();
    if (!watch.keep_alive || watch.generation != activity.generation)
      return GST_PAD_PROBE_OK;
    first = !activity.flowing;
    activity.flowing = true;
    if (!watch.offset_applied) {
      if (!activity.offset)
        activity.offset = keeps_its_time ? 0 : offset_to_now(pad, buffer) - (not_live ? activity.file_lead : 0);
      offset = activity.offset;
      watch.offset_applied = true;
    }
    if (GST_CLOCK_TIME_IS_VALID(running)) {
      GstClockTimeDiff end = static_cast<GstClockTimeDiff>(running) + *activity.offset +
                             (GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0);
      if (!activity.media_end || end > *activity.media_end)
        activity.media_end = end;
    }
  }
  if (offset) {
    // The pad sends its segment again, moved, before this buffer.
    gst_pad_set_offset(pad, *offset);
  }
  if (first)
    post_input_message(pad, kInputFlowing, watch.generation);
  return GST_PAD_PROBE_OK;
}

GstPadProbeReturn on_live_rate_output(GstPad *, GstPadProbeInfo *info, gpointer data) {
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer || !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_GAP))
    return GST_PAD_PROBE_OK;
  auto *counted = static_cast<std::pair<SharedInputActivity, StreamKind> *>(data);
  InputActivity &activity = *counted->first;
  std::lock_guard<std::mutex> lock(activity.mutex);
  ++(counted->second == StreamKind::Video ? activity.filled_video : activity.filled_audio);
  return GST_PAD_PROBE_OK;
}

}  // namespace

void watch_decoded_pad(GstPad *pad, const SharedInputActivity &activity, bool keep_alive) {
  auto *watch = new PadWatch{activity, 0, keep_alive};
  {
    std::lock_guard<std::mutex> lock(activity->mutex);
    watch->generation = activity->generation;
    if (keep_alive)
      ++activity->open_streams;
  }
  int types = GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST;
  if (keep_alive)
    types |= GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM;
  gst_pad_add_probe(pad, static_cast<GstPadProbeType>(types), on_decoded_data, watch,
                    [](gpointer data) { delete static_cast<PadWatch *>(data); });
}

void count_filled_buffers(GstPad *source, const SharedInputActivity &activity, StreamKind kind) {
  gst_pad_add_probe(source, GST_PAD_PROBE_TYPE_BUFFER, on_live_rate_output,
                    new std::pair<SharedInputActivity, StreamKind>(activity, kind), [](gpointer data) {
                      delete static_cast<std::pair<SharedInputActivity, StreamKind> *>(data);
                    });
}

uint64_t begin_new_input(InputActivity &activity) {
  std::lock_guard<std::mutex> lock(activity.mutex);
  ++activity.generation;
  activity.flowing = false;
  activity.offset.reset();
  activity.media_end.reset();
  activity.open_streams = 0;
  activity.last_buffer_us = g_get_monotonic_time();
  return activity.generation;
}

void restart_silence(InputActivity &activity) {
  std::lock_guard<std::mutex> lock(activity.mutex);
  activity.last_buffer_us = g_get_monotonic_time();
}

gint64 input_quiet_ms(InputActivity &activity, GstElement *pipeline) {
  GstClockTime now = running_time_now(pipeline);
  std::lock_guard<std::mutex> lock(activity.mutex);
  if (activity.media_end && GST_CLOCK_TIME_IS_VALID(now))
    return std::max<GstClockTimeDiff>(0, static_cast<GstClockTimeDiff>(now) - *activity.media_end) / GST_MSECOND;
  return (g_get_monotonic_time() - activity.last_buffer_us) / 1000;
}

gint64 input_silence_ms(InputActivity &activity) {
  std::lock_guard<std::mutex> lock(activity.mutex);
  return (g_get_monotonic_time() - activity.last_buffer_us) / 1000;
}

}  // namespace nerko
