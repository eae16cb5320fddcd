/* The output task of liveaudiorate / livevideorate.
 *
 * A task on the source pad takes the queued items one at a time and decides,
 * against the pipeline clock, what goes downstream: the queued buffer on its
 * frame slot, a run of gap buffers first for slots that were missed, nothing
 * for a buffer that is already in the past, or, when the queue stays empty
 * past the deadline of the next slot, one gap buffer for that slot. The slots
 * form a grid anchored at base_running_time and spaced by the output frame
 * rate; generated frames are stretched by the measured distortion, the ratio
 * of elapsed upstream time to nominal elapsed time.
 */
#include "gsttollamar.h"
#include "gsttollamar_output.h"

#include <cmath>

#define GST_CAT_DEFAULT gst_tollamar_debug

/* A buffer up to this much before a slot still counts as that slot. */
static const GstClockTime SLOT_TOLERANCE = GST_MSECOND;

/* Measured distortions outside these bounds are timestamp jumps, not drift. */
static const gdouble MIN_DISTORTION = 0.5;
static const gdouble MAX_DISTORTION = 2.0;

/* Missed time the output is filled up to at most, beside the latency. */
static const GstClockTime MAX_CATCH_UP = GST_SECOND;

/* Pacing used when the negotiated or configured rate has a zero numerator. */
static const gint FALLBACK_FPS_N = 25;
static const gint FALLBACK_FPS_D = 1;

/* with LOCK */
void
gst_tollamar_pacing_rate (GstTollamar * self, guint64 * n, guint64 * d)
{
  guint32 fps_n = (guint32) self->fps_n;
  guint32 fps_d = (guint32) self->fps_d;

  if (fps_n != 0 && fps_d != 0) {
    /* Warn again if the rate ever drops back to zero. */
    self->zero_rate_warned = FALSE;
    *n = fps_n;
    *d = fps_d;
    return;
  }

  if (!self->zero_rate_warned) {
    GST_WARNING_OBJECT (self, "Frame rate %u/%u has no slot length, pacing "
        "and filling at %d/%d instead", fps_n, fps_d, FALLBACK_FPS_N,
        FALLBACK_FPS_D);
    self->zero_rate_warned = TRUE;
  }
  *n = FALLBACK_FPS_N;
  *d = FALLBACK_FPS_D;
}

/* with LOCK: the frame index counts slots of one rate only. When the rate
 * changes (new caps, a new "fill-framerate"), the old index against the new
 * slot length would jump the timestamps forward or back, so the grid starts
 * again where the next buffer is due. The grid takes the new rate only here:
 * a "fill-framerate" set while the task waits for a slot must not change the
 * slot under it. */
void
gst_tollamar_follow_rate (GstTollamar * self)
{
  guint64 n, d;
  gboolean first;

  gst_tollamar_pacing_rate (self, &n, &d);
  if (self->grid_fps_n == n && self->grid_fps_d == d)
    return;
  first = self->grid_fps_n == 0;
  self->grid_fps_n = n;
  self->grid_fps_d = d;

  if (!first && GST_CLOCK_TIME_IS_VALID (self->base_running_time)
      && GST_CLOCK_TIME_IS_VALID (self->next_running_time)) {
    GST_DEBUG_OBJECT (self, "Frame rate now %u/%u, grid starts again at %"
        GST_TIME_FORMAT, (guint) n, (guint) d,
        GST_TIME_ARGS (self->next_running_time));
    self->base_running_time = self->next_running_time;
    self->frame_index = 0;
    self->distortion = 1.0;
  }
}

/* with LOCK: the rate the grid counts slots in, as the last pass took it. */
static void
gst_tollamar_grid_rate (GstTollamar * self, guint64 * n, guint64 * d)
{
  if (self->grid_fps_n == 0) {
    gst_tollamar_pacing_rate (self, n, d);
    return;
  }
  *n = self->grid_fps_n;
  *d = self->grid_fps_d;
}

/* with LOCK */
GstClockTime
gst_tollamar_nominal (GstTollamar * self, guint32 n)
{
  guint64 fps_n, fps_d;

  gst_tollamar_grid_rate (self, &fps_n, &fps_d);
  return gst_util_uint64_scale (n, fps_d * GST_SECOND, fps_n);
}

/* with LOCK */
GstClockTime
gst_tollamar_distorted (GstTollamar * self, guint32 n)
{
  gdouble t = (gdouble) gst_tollamar_nominal (self, n) * self->distortion
      + (gdouble) self->base_running_time;

  /* Keep the conversion defined and never produce "none" by accident. */
  if (!(t < 18446744073709549568.0))
    return G_MAXUINT64 - 1;
  if (!(t > 0.0))
    return 0;
  return (GstClockTime) t;
}

/* with LOCK */
gboolean
gst_tollamar_pass_is_stale (GstTollamar * self)
{
  return self->pass_reset_count != self->reset_count;
}

/* with LOCK */
gboolean
gst_tollamar_pass_interrupted (GstTollamar * self)
{
  return self->flow_return == GST_FLOW_FLUSHING
      || gst_tollamar_pass_is_stale (self);
}

/* with LOCK */
GstFlowReturn
gst_tollamar_after_push (GstTollamar * self, GstFlowReturn ret)
{
  if (gst_tollamar_pass_interrupted (self))
    return GST_FLOW_FLUSHING;
  self->frame_index++;
  self->flow_return = ret;
  return ret;
}

/* with LOCK, released around the push */
GstFlowReturn
gst_tollamar_push_buffer (GstTollamar * self, GstBuffer * buf)
{
  GstFlowReturn ret;

  gst_tollamar_unlock (self);
  GST_DEBUG_OBJECT (self, "Pushing buffer %" GST_PTR_FORMAT, buf);
  ret = gst_pad_push (self->srcpad, buf);
  gst_tollamar_lock (self);
  return gst_tollamar_after_push (self, ret);
}

/* with LOCK, released around the push */
gboolean
gst_tollamar_push_event (GstTollamar * self, GstEvent * event)
{
  gboolean pushed;

  gst_tollamar_unlock (self);
  pushed = gst_pad_push_event (self->srcpad, event);
  gst_tollamar_lock (self);
  return pushed;
}

/* with LOCK, released around the push */
gboolean
gst_tollamar_send_event (GstTollamar * self, GstEvent * event,
    GstFlowReturn * ret)
{
  gst_tollamar_push_event (self, event);
  if (!gst_tollamar_pass_interrupted (self))
    return TRUE;
  GST_DEBUG_OBJECT (self, "Flushing");
  *ret = GST_FLOW_FLUSHING;
  return FALSE;
}

/* The output task lets go of the source pad's stream lock, which its pad
 * task holds, and takes it back. GStreamer takes and releases that lock
 * inside its own library, where the sanitizer build does not follow locks
 * (tests/tsan.supp); ThreadSanitizer is told of the hold around the two
 * calls made here, so that it sees them in pairs. */
static void
gst_tollamar_release_stream (GstTollamar * self)
{
  GRecMutex *stream_lock = GST_PAD_GET_STREAM_LOCK (self->srcpad);

#ifdef NERKO_TSAN
  __tsan_mutex_pre_lock (stream_lock->p, 0);
  __tsan_mutex_post_lock (stream_lock->p, 0, 0);
#endif
  g_rec_mutex_unlock (stream_lock);
}

static void
gst_tollamar_retake_stream (GstTollamar * self)
{
  GRecMutex *stream_lock = GST_PAD_GET_STREAM_LOCK (self->srcpad);

  g_rec_mutex_lock (stream_lock);
#ifdef NERKO_TSAN
  __tsan_mutex_pre_unlock (stream_lock->p, 0);
  __tsan_mutex_post_unlock (stream_lock->p, 0);
#endif
}

/* with LOCK and, as the task runs, the source pad's stream lock: waits on
 * @cond with both released. GStreamer drops a flush-start from downstream
 * while the source pad is still flushing from an upstream flush, and then
 * hands the element the flush-stop only once it gets the stream lock, which
 * a running task keeps across its passes; the task lets go of it while it
 * waits, so such a flush-stop gets through. The stream lock is taken back
 * first, in the order every other thread takes the two. */
static void
gst_tollamar_task_wait_cond (GstTollamar * self, GCond * cond)
{
  gst_tollamar_release_stream (self);
  gst_tollamar_wait (self, cond);
  gst_tollamar_unlock (self);
  gst_tollamar_retake_stream (self);
  gst_tollamar_lock (self);
}

/* with LOCK: starts a new grid at @running_time, so that neither an old frame
 * index nor an old distortion asks for a burst of catch-up frames. */
void
gst_tollamar_anchor (GstTollamar * self, GstClockTime running_time)
{
  self->base_running_time = running_time;
  self->next_running_time = running_time;
  self->frame_index = 0;
  self->distortion = 1.0;
  self->filling = FALSE;
}

/* with LOCK: running time of @ts in the output segment; before any segment
 * arrived the timestamps are taken as running times, as in a default one. */
GstClockTime
gst_tollamar_running_time (GstTollamar * self, GstClockTime ts)
{
  if (!GST_CLOCK_TIME_IS_VALID (ts))
    return GST_CLOCK_TIME_NONE;
  if (self->segment.format != GST_FORMAT_TIME)
    return ts;
  return gst_segment_to_running_time (&self->segment, GST_FORMAT_TIME, ts);
}

/* with LOCK: the timestamp that puts @running_time on the output segment's
 * timeline, so that gap and real buffers share one. Past the segment's ends
 * the position goes on counting (downstream clips such buffers): taking the
 * running time there instead would send the timestamps back in time. A
 * position before zero has no timestamp; zero is the nearest. */
GstClockTime
gst_tollamar_gap_timestamp (GstTollamar * self, GstClockTime running_time)
{
  guint64 pos;
  gint sign;

  if (self->segment.format != GST_FORMAT_TIME)
    return running_time;
  sign = gst_segment_position_from_running_time_full (&self->segment,
      GST_FORMAT_TIME, running_time, &pos);
  if (sign > 0)
    return pos;
  return sign < 0 ? 0 : running_time;
}

/* with LOCK, released around the push */
gboolean
gst_tollamar_push_next_gap_buffer (GstTollamar * self, GstClockTime limit,
    GstFlowReturn * ret)
{
  guint32 i;
  GstClockTime rt, rt_next;
  GstBuffer *buf;
  GstFlowReturn res;

  /* The grid formulas mean nothing without a base; only a reset racing the
   * task can get here without one, and that reset also flushes. */
  if (!GST_CLOCK_TIME_IS_VALID (self->base_running_time)) {
    *ret = self->flow_return != GST_FLOW_OK ? self->flow_return :
        GST_FLOW_FLUSHING;
    return FALSE;
  }

  /* A run of gap buffers starts where the last real buffer ended: starting
   * on the older grid instead would leave a hole or an overlap there. Only
   * a video frame that ended well short of its slot (lasting nothing, say)
   * leaves the rest of its slot to be skipped, as the grid has it. Audio
   * counts samples, not slots, and always goes on from the last one. */
  if (!self->filling) {
    GstClockTime slot = gst_tollamar_distorted (self, self->frame_index);

    self->filling = TRUE;
    if (GST_CLOCK_TIME_IS_VALID (self->next_running_time)
        && (!gst_tollamar_is_video (self)
            || self->next_running_time + gst_tollamar_nominal (self, 1) / 2
            >= slot)) {
      self->base_running_time = self->next_running_time;
      self->frame_index = 0;
    } else {
      self->next_running_time = slot;
    }
    GST_DEBUG_OBJECT (self, "Starting to generate buffers. Re-synced "
        "running_time to %" GST_TIME_FORMAT,
        GST_TIME_ARGS (self->next_running_time));
  }
  i = self->frame_index;

  rt = gst_tollamar_distorted (self, i);
  rt_next = gst_tollamar_distorted (self, i + 1);
  GST_DEBUG_OBJECT (self, "Skew up to now %" GST_STIME_FORMAT,
      GST_STIME_ARGS ((GstClockTimeDiff) (rt - self->next_running_time)));
  /* Silence goes on from the last sample out; the slot only says how far.
   * At a few hertz a slot can hold no whole sample, so the slots can run
   * ahead of the samples: silence from the slot would leave a hole, and in
   * a catch-up could even end up past the buffer it fills up to. */
  if (!gst_tollamar_is_video (self)
      && GST_CLOCK_TIME_IS_VALID (self->next_running_time)) {
    rt = self->next_running_time;
    rt_next = MAX (rt_next, rt);
  }
  if (GST_CLOCK_TIME_IS_VALID (limit) && rt_next > limit)
    rt_next = MAX (limit, rt);
  GST_DEBUG_OBJECT (self, "Generating buffer for frame #%d (running_time %"
      GST_TIME_FORMAT ")", (gint) i, GST_TIME_ARGS (rt));

  if (gst_tollamar_is_video (self)) {
    if (!self->video_info.finfo) {
      GST_ERROR_OBJECT (self, "No video format to fill the gap with");
      *ret = self->flow_return = GST_FLOW_NOT_NEGOTIATED;
      return FALSE;
    }
    /* It lasts until the next one starts, so gap frames tile the timeline
     * whatever the distortion stretches them to. */
    buf = gst_tollamar_create_video_gap (self, rt_next - rt);
  } else {
    if (!self->audio_info.finfo) {
      GST_ERROR_OBJECT (self, "No audio format to fill the gap with");
      *ret = self->flow_return = GST_FLOW_NOT_NEGOTIATED;
      return FALSE;
    }
    buf = gst_tollamar_create_silence (self, &rt, &rt_next);
  }
  if (!buf) {
    /* The error is on the bus already; pausing reports the stream error. */
    *ret = self->flow_return = GST_FLOW_ERROR;
    return FALSE;
  }
  /* Silence starts on a whole sample, and at a rate of a few hertz the
   * nearest one can lie well before what has gone out already. */
  if (GST_CLOCK_TIME_IS_VALID (self->next_running_time)
      && rt < self->next_running_time) {
    rt = self->next_running_time;
    rt_next = MAX (rt_next, rt);
  }

  GST_BUFFER_PTS (buf) = gst_tollamar_gap_timestamp (self, rt);
  self->next_running_time = rt_next;
  GST_BUFFER_FLAG_SET (buf, GST_BUFFER_FLAG_GAP);

  res = gst_tollamar_push_buffer (self, buf);
  *ret = res;

  if (res == GST_FLOW_OK)
    return TRUE;
  GST_DEBUG_OBJECT (self, "Pushing buffer returned %s", gst_flow_get_name (res));
  return res == GST_FLOW_EOS;
}

/* with LOCK: how far the output may lag behind a buffer and still be filled
 * up to it. Beyond, the timestamps jumped (a source restarted, a clock
 * changed): a gap buffer for every missed slot would stall everything
 * downstream, so the output starts again at the buffer instead. While the
 * input stalls the idle path fills each slot only a latency after it is
 * due, so a buffer that comes back in time finds the output that far
 * behind, plus a slot, plus however early upstream stamped it: all of that
 * is caught up, or a stream that returns on time would go quiet for as long
 * as the latency. */
static GstClockTime
gst_tollamar_catch_up_limit (GstTollamar * self)
{
  GstClockTime latency = GST_CLOCK_TIME_IS_VALID (self->latency) ?
      self->latency : self->max_lateness;
  GstClockTime slack = MAX_CATCH_UP + gst_tollamar_nominal (self, 1);

  /* A "max-lateness" of centuries must not wrap the sum round to nothing. */
  return latency < G_MAXUINT64 - slack ? latency + slack : G_MAXUINT64;
}

/* with LOCK */
gboolean
gst_tollamar_catches_up_to (GstTollamar * self, GstBuffer ** buf,
    GstClockTime w)
{
  GstClockTime missed = w - self->next_running_time;

  if (missed <= gst_tollamar_catch_up_limit (self))
    return TRUE;
  GST_INFO_OBJECT (self, "Timestamps jumped %" GST_TIME_FORMAT " ahead of "
      "the output; it starts again at the buffer at %" GST_TIME_FORMAT
      " instead of filling the missed slots", GST_TIME_ARGS (missed),
      GST_TIME_ARGS (w));
  gst_tollamar_anchor (self, w);
  *buf = gst_buffer_make_writable (*buf);
  GST_BUFFER_FLAG_SET (*buf, GST_BUFFER_FLAG_DISCONT);
  return FALSE;
}

/* with LOCK: fills the output with gap buffers from where it stands up to
 * @until, so that the next buffer starting there follows without a hole.
 * Video spreads the span over the nearest whole number of slots; audio
 * fills whole slots of silence and a last, shorter one. */
gboolean
gst_tollamar_catch_up (GstTollamar * self, GstClockTime until,
    GstFlowReturn * ret)
{
  if (gst_tollamar_is_video (self)) {
    guint64 fps_n, fps_d;
    GstClockTime span = until - self->next_running_time;
    guint64 n;

    gst_tollamar_grid_rate (self, &fps_n, &fps_d);
    n = MAX (gst_util_uint64_scale_round (span, fps_n, fps_d * GST_SECOND), 1);
    self->base_running_time = self->next_running_time;
    self->frame_index = 0;
    self->filling = TRUE;
    self->distortion = (gdouble) span / (gdouble) gst_tollamar_nominal (self,
        (guint32) n);
    for (guint64 k = 0; k < n; k++) {
      if (!gst_tollamar_push_next_gap_buffer (self, until, ret)
          || !GST_CLOCK_TIME_IS_VALID (self->base_running_time))
        return FALSE;
    }
    return TRUE;
  }

  while (GST_CLOCK_TIME_IS_VALID (self->next_running_time)
      && until > self->next_running_time
      && gst_util_uint64_scale_round (until - self->next_running_time,
          GST_AUDIO_INFO_RATE (&self->audio_info), GST_SECOND) > 0) {
    GstClockTime before = self->next_running_time;

    if (!gst_tollamar_push_next_gap_buffer (self, until, ret)
        || !GST_CLOCK_TIME_IS_VALID (self->base_running_time))
      return FALSE;
    if (self->next_running_time <= before)
      break;
  }
  return TRUE;
}

/* Entered without the lock. Pauses the task and, for a real failure, tells
 * the application and ends the stream downstream. */
static void
gst_tollamar_pause (GstTollamar * self, GstClock * clock, GstFlowReturn reason)
{
  GST_LOG_OBJECT (self, "pausing task, reason %s", gst_flow_get_name (reason));
  gst_pad_pause_task (self->srcpad);

  /* A blocked chain call re-checks the stored flow result. A flush-stop or
   * a new start between the failed check and the pause above has set the
   * flow back to OK and started the task, which the pause then stopped
   * again: start it once more, or the output would stall for good. */
  gst_tollamar_lock (self);
  g_cond_broadcast (&self->queue_cond);
  if (self->flow_return == GST_FLOW_OK)
    gst_pad_start_task (self->srcpad, gst_tollamar_src_loop, self->srcpad,
        NULL);
  gst_tollamar_unlock (self);

  if (clock)
    gst_object_unref (clock);

  if (reason == GST_FLOW_NOT_LINKED || reason < GST_FLOW_EOS) {
    GST_ELEMENT_ERROR_WITH_DETAILS (self, STREAM, FAILED,
        ("Internal data stream error."),
        ("streaming stopped, reason %s (%d)", gst_flow_get_name (reason),
            reason), ("flow-return", G_TYPE_INT, reason, NULL));
    gst_pad_push_event (self->srcpad, gst_event_new_eos ());
  }
}

/* with LOCK: end running time of a queued buffer whose start is @w. */
static GstClockTime
gst_tollamar_buffer_end (GstTollamar * self, GstBuffer * buf, GstClockTime w)
{
  if (!GST_CLOCK_TIME_IS_VALID (w))
    return GST_CLOCK_TIME_NONE;

  if (gst_tollamar_is_video (self)) {
    if (GST_BUFFER_DURATION_IS_VALID (buf))
      return w + GST_BUFFER_DURATION (buf);
    /* The caps rate tells the frame length; the fallback pacing rate does
     * not, so a variable-rate frame without duration ends where it starts. */
    if (GST_VIDEO_INFO_FPS_N (&self->video_info) > 0)
      return w + gst_util_uint64_scale (GST_SECOND,
          GST_VIDEO_INFO_FPS_D (&self->video_info),
          GST_VIDEO_INFO_FPS_N (&self->video_info));
    return w;
  }

  guint64 bytes_per_second = (guint64) MAX (GST_AUDIO_INFO_RATE (&self->audio_info), 0)
      * (guint64) MAX (GST_AUDIO_INFO_BPF (&self->audio_info), 0);
  if (bytes_per_second == 0)
    return w;
  return w + gst_util_uint64_scale (gst_buffer_get_size (buf), GST_SECOND,
      bytes_per_second);
}

/* with LOCK: when the next output is due after a real buffer that starts
 * at @w and ends at @e. A frame that claims to last longer than a slot
 * (hours, for a broken timestamp) would otherwise hold back every gap buffer
 * and drop every frame until its end: the output stays on the grid and the
 * next buffer is due one slot after the later of its start and the previous
 * due time at the latest. */
static GstClockTime
gst_tollamar_limit_end (GstTollamar * self, GstClockTime w, GstClockTime e)
{
  guint64 fps_n, fps_d;
  GstClockTime from, limit;

  if (!GST_CLOCK_TIME_IS_VALID (e) || !gst_tollamar_is_video (self))
    return e;
  gst_tollamar_grid_rate (self, &fps_n, &fps_d);
  from = w;
  if (GST_CLOCK_TIME_IS_VALID (self->next_running_time)
      && self->next_running_time > from)
    from = self->next_running_time;
  limit = from + gst_util_uint64_scale_ceil (GST_SECOND, fps_d, fps_n);
  return e > limit ? limit : e;
}

/* with LOCK: target slot of a buffer @diff after the base, seen through the
 * distortion. Only the low 32 bits count, as for frame_index. */
static guint32
gst_tollamar_target_frame (GstTollamar * self, GstClockTime diff)
{
  guint64 fps_n, fps_d;
  gdouble t;

  gst_tollamar_grid_rate (self, &fps_n, &fps_d);
  /* The distortion stretches the slot; rounding up after dividing by it
   * would lose a whole slot whenever it is a hair above 1.0. */
  if (self->distortion == 1.0)
    t = (gdouble) gst_util_uint64_scale_ceil (diff + SLOT_TOLERANCE, fps_n,
        fps_d * GST_SECOND);
  else
    t = std::ceil ((gdouble) (diff + SLOT_TOLERANCE) * (gdouble) fps_n
        / ((gdouble) fps_d * (gdouble) GST_SECOND * self->distortion));
  if (!(t < 9223372036854775807.0))
    return (guint32) G_MAXINT64;
  return (guint32) (gint64) t;
}

/* with LOCK: the task is done with a queued buffer. */
static gboolean
gst_tollamar_consumed (GstTollamar * self)
{
  gst_tollamar_update_queued_duration (self);
  g_cond_broadcast (&self->queue_cond);
  return TRUE;
}

/* with LOCK: a gap push before @buf failed with @ret;
 * the buffer is dropped and the task pauses. A push that "succeeded" yet
 * left no grid was overtaken by a flush. */
static gboolean
gst_tollamar_catch_up_failed (GstTollamar * self, GstBuffer * buf,
    GstFlowReturn ret, GstFlowReturn * reason)
{
  if (ret == GST_FLOW_OK || ret == GST_FLOW_EOS)
    ret = GST_FLOW_FLUSHING;
  gst_tollamar_update_queued_duration (self);
  gst_buffer_unref (buf);
  *reason = ret;
  return FALSE;
}

/* with LOCK, released around the push: pushes a real buffer whose place
 * in the output is settled. FALSE when the task must pause with @reason. */
static gboolean
gst_tollamar_push_real (GstTollamar * self, GstBuffer * buf,
    GstFlowReturn * reason)
{
  GstFlowReturn ret = gst_tollamar_push_buffer (self, buf);

  if (ret != GST_FLOW_OK) {
    GST_DEBUG_OBJECT (self, "Pushing buffer returned %s",
        gst_flow_get_name (ret));
    if (ret != GST_FLOW_EOS) {
      gst_tollamar_update_queued_duration (self);
      *reason = ret;
      return FALSE;
    }
  }
  return gst_tollamar_consumed (self);
}

/* with LOCK, released around the pushes: the task takes a queued buffer.
 * TRUE when the task goes on, FALSE when it must pause with @reason. */
static gboolean
gst_tollamar_handle_buffer (GstTollamar * self, GstBuffer * buf,
    GstFlowReturn * reason)
{
  GstClockTime w, e, diff;
  GstClockTime stamped = GST_CLOCK_TIME_NONE;
  gboolean on_grid;
  guint32 target;
  GstFlowReturn ret;

  GST_DEBUG_OBJECT (self, "Handling buffer %" GST_PTR_FORMAT, buf);

  if (!gst_tollamar_is_video (self) && gst_tollamar_audio_is_known (self)) {
    switch (gst_tollamar_place_audio (self, &buf, &ret)) {
      case GST_TOLLAMAR_PLACE_PUSH:
        return gst_tollamar_push_real (self, buf, reason);
      case GST_TOLLAMAR_PLACE_DROP:
        gst_buffer_unref (buf);
        return gst_tollamar_consumed (self);
      case GST_TOLLAMAR_PLACE_FAIL:
        return gst_tollamar_catch_up_failed (self, buf, ret, reason);
    }
  }

  w = gst_tollamar_running_time (self, GST_BUFFER_PTS (buf));

  if (self->skip_to_first && !GST_CLOCK_TIME_IS_VALID (self->next_running_time)) {
    self->next_running_time = w;
    self->base_running_time = w;
    GST_DEBUG_OBJECT (self, "Setting signal base time from first buffer %"
        GST_PTR_FORMAT ": %" GST_TIME_FORMAT, buf, GST_TIME_ARGS (w));
  }
  /* After a flush the grid is gone; the first timed buffer starts a new one. */
  if (!GST_CLOCK_TIME_IS_VALID (self->base_running_time)
      && GST_CLOCK_TIME_IS_VALID (w)) {
    GST_DEBUG_OBJECT (self, "Anchoring output grid at buffer %"
        GST_TIME_FORMAT, GST_TIME_ARGS (w));
    gst_tollamar_anchor (self, w);
  }

  /* A buffer without running time takes the slot that is due, and is
   * stamped with it: an untimed buffer in a paced stream would leave that
   * slot without a time, and the next gap buffer a hole after it. */
  if (!GST_CLOCK_TIME_IS_VALID (w)
      && GST_CLOCK_TIME_IS_VALID (self->next_running_time)
      && GST_CLOCK_TIME_IS_VALID (self->base_running_time)) {
    stamped = self->filling ?
        gst_tollamar_distorted (self, self->frame_index) :
        self->next_running_time;
    buf = gst_buffer_make_writable (buf);
    GST_BUFFER_PTS (buf) = gst_tollamar_gap_timestamp (self, stamped);
    GST_BUFFER_DTS (buf) = GST_CLOCK_TIME_NONE;
    GST_DEBUG_OBJECT (self, "Buffer without running time takes the slot at %"
        GST_TIME_FORMAT, GST_TIME_ARGS (stamped));
  }

  e = gst_tollamar_buffer_end (self, buf, w);
  diff = w - self->base_running_time;

  /* A buffer without running time, or one well before the base, says
   * nothing about the grid: no catch-up frames and no distortion from it. */
  on_grid = GST_CLOCK_TIME_IS_VALID (w)
      && GST_CLOCK_TIME_IS_VALID (self->base_running_time)
      && !(w < self->base_running_time
      && self->base_running_time - w > SLOT_TOLERANCE);

  if (self->skip_to_first && self->resync) {
    self->next_running_time = GST_CLOCK_TIME_NONE;
    self->resync = FALSE;
    target = 0;
    /* The buffer becomes frame 0 of a new grid, so the time spent before it
     * (paused, or waiting for input) neither bursts nor distorts. */
    if (GST_CLOCK_TIME_IS_VALID (w)) {
      gst_tollamar_anchor (self, w);
      self->next_running_time = GST_CLOCK_TIME_NONE;
      diff = 0;
    }
  } else if (on_grid) {
    target = gst_tollamar_target_frame (self, diff);
  } else {
    target = self->frame_index;
  }

  GST_DEBUG_OBJECT (self, "New frame # %d (Current: %d time diff %"
      GST_TIME_FORMAT ")", (gint) target, (gint) self->frame_index,
      GST_TIME_ARGS (diff));

  if (!GST_CLOCK_TIME_IS_VALID (e))
    e = w;

  /* Slots missed upstream, or a stall the idle path filled: gap buffers
   * reach exactly to this buffer, so no slot is lost on the way back. */
  if (on_grid && GST_CLOCK_TIME_IS_VALID (self->next_running_time)
      && w > self->next_running_time + SLOT_TOLERANCE
      && (self->filling || (guint32) (self->frame_index + 1) < target)
      && gst_tollamar_catches_up_to (self, &buf, w)
      && !gst_tollamar_catch_up (self, w, &ret)) {
    return gst_tollamar_catch_up_failed (self, buf, ret, reason);
  }

  if (GST_CLOCK_TIME_IS_VALID (w)
      && GST_CLOCK_TIME_IS_VALID (self->next_running_time)
      && (e < self->next_running_time
          /* while filling, a buffer that ends on the next due time belongs
           * to the slot a gap buffer has already filled */
          || (self->filling && w < self->next_running_time
              && e <= self->next_running_time + SLOT_TOLERANCE)
          /* a repeated timestamp: its slot has gone out already and it
           * brings nothing past it */
          || (on_grid && target <= self->frame_index
              && e <= self->next_running_time))) {
    GST_DEBUG_OBJECT (self, "Buffer in the past, dropping");
    gst_buffer_unref (buf);
    goto consumed;
  }

  if (gst_tollamar_is_video (self))
    gst_mini_object_replace ((GstMiniObject **) & self->last_buffer,
        GST_MINI_OBJECT_CAST (buf));

  /* A buffer without running time cannot anchor a grid; it takes the slot
   * and filling goes on after it. */
  if (self->filling && GST_CLOCK_TIME_IS_VALID (w))
    gst_tollamar_anchor (self, w);
  if (GST_CLOCK_TIME_IS_VALID (stamped))
    e = gst_tollamar_buffer_end (self, buf, stamped);

  if (GST_CLOCK_TIME_IS_VALID (self->base_running_time)) {
    GstClockTime f = gst_tollamar_nominal (self, self->frame_index);

    GST_DEBUG_OBJECT (self, "Skew of buffer %" GST_STIME_FORMAT,
        GST_STIME_ARGS ((GstClockTimeDiff) (self->base_running_time + f - w)));
    if (self->frame_index != 0 && on_grid) {
      gdouble distortion = (gdouble) diff / (gdouble) f;

      /* Zero would collapse the grid onto the base and infinity would push
       * it out of reach; a ratio near either says the timestamps jumped, not
       * that upstream's clock runs at another rate, and divided into the
       * next target slot it would ask for a flood of catch-up frames. Keep
       * the last usable measurement instead. */
      if (distortion >= MIN_DISTORTION && distortion <= MAX_DISTORTION)
        self->distortion = distortion;
      GST_DEBUG_OBJECT (self, "Elapsed upstream: %" GST_TIME_FORMAT
          " frame_based %" GST_TIME_FORMAT " Distortion %16.14lf",
          GST_TIME_ARGS (diff), GST_TIME_ARGS (f), self->distortion);
    }
  }

  if (GST_CLOCK_TIME_IS_VALID (w) || GST_CLOCK_TIME_IS_VALID (stamped))
    self->next_running_time = gst_tollamar_limit_end (self,
        GST_CLOCK_TIME_IS_VALID (w) ? w : stamped, e);
  return gst_tollamar_push_real (self, buf, reason);

consumed:
  return gst_tollamar_consumed (self);
}

/* Clock time at which the slot due at running time @due is late by
 * @lateness. The sum saturates at the largest time that is also a valid
 * GstClockTimeDiff, which stands for "not due in any clock's lifetime": a
 * "max-lateness" of centuries must not wrap round to a slot due at once.
 * Sets *@beyond_range when the sum reaches that limit. */
static GstClockTime
gst_tollamar_deadline (GstClockTime due, GstClockTime base_time,
    GstClockTime lateness, gboolean * beyond_range)
{
  const GstClockTime limit = G_MAXINT64;

  if (due >= limit || base_time >= limit - due
      || lateness >= limit - due - base_time) {
    *beyond_range = TRUE;
    return limit;
  }
  return due + base_time + lateness;
}

/* with LOCK, released around the clock wait and the pushes: the queue is
 * empty. TRUE when the task goes on, FALSE when it must pause with @reason. */
static gboolean
gst_tollamar_handle_idle (GstTollamar * self, GstClock * clock,
    GstClockTime base_time, GstFlowReturn * reason)
{
  GstClockTime deadline, due;
  GstClockTime anchor = GST_CLOCK_TIME_NONE;
  GstClockID id;
  GstClockReturn wait_result;
  gboolean beyond_range = FALSE;
  GstFlowReturn ret;

  GST_DEBUG_OBJECT (self, "Have no item currently");

  /* After a flush there is no grid. A buffer that arrives in time anchors
   * it; otherwise the first gap slot starts at the clock's running time of
   * now and is due like any slot, latency and max-lateness later. */
  if (GST_CLOCK_TIME_IS_VALID (self->base_running_time)) {
    due = self->next_running_time;
  } else {
    GstClockTime now = gst_clock_get_time (clock);

    anchor = due = now > base_time ? now - base_time : 0;
  }

  /* A known latency already holds max-lateness; adding it again would make
   * every idle gap buffer late by max-lateness at a synchronised sink. With
   * latency still none the sum ends 1 ns early on purpose, and a slot whose
   * sum is 0 is simply due at once. */
  if (GST_CLOCK_TIME_IS_VALID (self->latency)) {
    deadline = gst_tollamar_deadline (due, base_time,
        MAX (self->latency, self->max_lateness), &beyond_range);
  } else {
    deadline = gst_tollamar_deadline (due, base_time, self->max_lateness,
        &beyond_range);
    if (deadline > 0 && !beyond_range)
      deadline -= 1;
  }
  id = self->clock_id = gst_clock_new_single_shot_id (clock, deadline);
  gst_tollamar_unlock (self);

  /* Without the stream lock as well: see gst_tollamar_task_wait_cond. */
  gst_tollamar_release_stream (self);
  GST_DEBUG_OBJECT (self, "Waiting for clock to reach %" GST_TIME_FORMAT,
      GST_TIME_ARGS (deadline));
  wait_result = gst_clock_id_wait (id, NULL);
  gst_tollamar_retake_stream (self);

  gst_tollamar_lock (self);
  if (self->clock_id) {
    gst_clock_id_unref (self->clock_id);
    self->clock_id = NULL;
  }

  /* A flush-stop meanwhile (it may come alone, GStreamer having dropped the
   * flush-start) left a new stream: the next pass starts on it afresh. */
  if (gst_tollamar_pass_interrupted (self)) {
    GST_DEBUG_OBJECT (self, "Flushing");
    *reason = GST_FLOW_FLUSHING;
    return FALSE;
  }

  if (!gst_queue_array_is_empty (self->queue)) {
    GST_DEBUG_OBJECT (self, "Have items now, retrying");
    return TRUE;
  }

  /* The clock stands at the end of its range: every later slot would be due
   * at once, and the grid's sums would wrap. No real clock gets there. */
  if (beyond_range && wait_result != GST_CLOCK_UNSCHEDULED) {
    gst_tollamar_unlock (self);
    GST_ELEMENT_ERROR (self, CORE, CLOCK,
        ("The clock has run past the times the output can be paced at."),
        ("slot due at running time %" GST_TIME_FORMAT ", base time %"
            GST_TIME_FORMAT, GST_TIME_ARGS (due), GST_TIME_ARGS (base_time)));
    gst_tollamar_lock (self);
    *reason = self->flow_return = GST_FLOW_ERROR;
    return FALSE;
  }

  if (GST_CLOCK_TIME_IS_VALID (anchor)
      && !GST_CLOCK_TIME_IS_VALID (self->base_running_time)) {
    GST_DEBUG_OBJECT (self, "Anchoring output grid at clock running time %"
        GST_TIME_FORMAT, GST_TIME_ARGS (anchor));
    gst_tollamar_anchor (self, anchor);
  }

  if (!gst_tollamar_ensure_output (self, &ret)
      || !gst_tollamar_push_next_gap_buffer (self, GST_CLOCK_TIME_NONE,
          &ret)) {
    *reason = ret;
    return FALSE;
  }
  return TRUE;
}

void
gst_tollamar_src_loop (gpointer user_data)
{
  GstPad *pad = GST_PAD_CAST (user_data);
  GstTollamar *self = GST_TOLLAMAR (GST_PAD_PARENT (pad));
  GstClock *clock = NULL;
  GstClockTime base_time;
  GstMiniObject *item;
  GstFlowReturn reason = GST_FLOW_FLUSHING;
  gboolean goes_on;

  gst_tollamar_lock (self);
  if (self->flow_return == GST_FLOW_FLUSHING)
    goto flushing;

  /* A flush-stop that raced the shutdown may have started the task again
   * after it was stopped; flush, so that a chain call waiting for room and
   * the pad deactivation waiting for that call both go on. */
  if (gst_tollamar_shutting_down (self)) {
    self->flow_return = GST_FLOW_FLUSHING;
    g_cond_broadcast (&self->start_cond);
    goto flushing;
  }

  clock = gst_element_get_clock (GST_ELEMENT_CAST (self));
  while (!((clock && !self->waiting) || self->flow_return != GST_FLOW_OK)) {
    GST_DEBUG_OBJECT (self, "Waiting to reach PLAYING");
    gst_tollamar_task_wait_cond (self, &self->start_cond);
    if (clock)
      gst_object_unref (clock);
    clock = gst_element_get_clock (GST_ELEMENT_CAST (self));
  }
  if (self->flow_return == GST_FLOW_FLUSHING || !clock)
    goto flushing;
  /* Whatever this pass computes belongs to the stream after the last reset. */
  self->pass_reset_count = self->reset_count;

  gst_tollamar_follow_rate (self);
  base_time = gst_element_get_base_time (GST_ELEMENT_CAST (self));
  item = (GstMiniObject *) gst_queue_array_pop_head (self->queue);

  if (item && GST_IS_BUFFER (item)) {
    goes_on = gst_tollamar_handle_buffer (self, GST_BUFFER_CAST (item),
        &reason);
  } else if (item && GST_IS_EVENT (item)) {
    goes_on = gst_tollamar_src_loop_event (self, GST_EVENT_CAST (item),
        &reason);
  } else {
    /* Only buffers and events are ever queued. */
    g_assert (item == NULL);
    goes_on = gst_tollamar_handle_idle (self, clock, base_time, &reason);
  }
  gst_tollamar_unlock (self);
  if (!goes_on)
    goto pause;

  gst_object_unref (clock);
  return;

flushing:
  GST_DEBUG_OBJECT (self, "Flushing");
  gst_tollamar_unlock (self);
  reason = GST_FLOW_FLUSHING;
pause:
  gst_tollamar_pause (self, clock, reason);
}
