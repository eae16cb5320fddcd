/* Real audio buffers on the output timeline of liveaudiorate.
 *
 * Audio is continuous in samples, whatever size its buffers have: a 10 ms
 * capture buffer, a 20 ms Opus frame or 1024 AAC samples. The frame grid
 * of "fill-framerate" only sizes the silence the element makes; a real
 * buffer takes as much of the output as its samples cover. It follows the
 * last buffer out directly; a hole before it is filled with silence up to
 * its first sample, and samples that overlap what has gone out already
 * (a late buffer after the idle path filled its time) are cut off.
 */
#include "gsttollamar.h"
#include "gsttollamar_output.h"

#define GST_CAT_DEFAULT gst_tollamar_debug

/* with LOCK */
gboolean
gst_tollamar_audio_is_known (GstTollamar * self)
{
  return self->audio_info.finfo != NULL
      && GST_AUDIO_INFO_RATE (&self->audio_info) > 0
      && GST_AUDIO_INFO_BPF (&self->audio_info) > 0;
}

/* with LOCK: restamps @buf to start at running time @running_time. */
static void
gst_tollamar_restamp (GstTollamar * self, GstBuffer ** buf,
    GstClockTime running_time)
{
  *buf = gst_buffer_make_writable (*buf);
  GST_BUFFER_PTS (*buf) = gst_tollamar_gap_timestamp (self, running_time);
  GST_BUFFER_DTS (*buf) = GST_CLOCK_TIME_NONE;
}

/* with LOCK */
GstTollamarPlacement
gst_tollamar_place_audio (GstTollamar * self, GstBuffer ** buf,
    GstFlowReturn * ret)
{
  gint rate = GST_AUDIO_INFO_RATE (&self->audio_info);
  gint bpf = GST_AUDIO_INFO_BPF (&self->audio_info);
  gsize samples = gst_buffer_get_size (*buf) / bpf;
  /* Less than one sample apart is contiguous. */
  GstClockTime half_sample = GST_SECOND / (2 * (guint64) rate);
  GstClockTime w = gst_tollamar_running_time (self, GST_BUFFER_PTS (*buf));
  GstClockTime next;

  if (self->skip_to_first && self->resync && samples > 0) {
    /* The first buffer after PLAYING starts the output wherever it lies.
     * One without samples is dropped below: were it to anchor, the silence
     * after it would start at its time, before what has gone out. */
    self->resync = FALSE;
    if (GST_CLOCK_TIME_IS_VALID (w)) {
      GST_DEBUG_OBJECT (self, "Setting signal base time from first buffer %"
          GST_PTR_FORMAT ": %" GST_TIME_FORMAT, *buf, GST_TIME_ARGS (w));
      gst_tollamar_anchor (self, w);
    }
  } else if (!GST_CLOCK_TIME_IS_VALID (self->base_running_time)
      && GST_CLOCK_TIME_IS_VALID (w)) {
    GST_DEBUG_OBJECT (self, "Anchoring output grid at buffer %"
        GST_TIME_FORMAT, GST_TIME_ARGS (w));
    gst_tollamar_anchor (self, w);
  }

  next = self->next_running_time;
  if (!GST_CLOCK_TIME_IS_VALID (w)) {
    /* Without a time of its own it simply continues the output. */
    if (GST_CLOCK_TIME_IS_VALID (next)) {
      gst_tollamar_restamp (self, buf, next);
      w = next;
    }
  } else if (GST_CLOCK_TIME_IS_VALID (next)) {
    GstClockTime end = w + gst_util_uint64_scale (samples, GST_SECOND, rate);

    if (end <= next + half_sample) {
      GST_DEBUG_OBJECT (self, "Buffer in the past, dropping");
      return GST_TOLLAMAR_PLACE_DROP;
    }
    if (w + half_sample < next) {
      guint64 cut = gst_util_uint64_scale_round (next - w, rate, GST_SECOND);

      if (cut >= samples) {
        GST_DEBUG_OBJECT (self, "Buffer in the past, dropping");
        return GST_TOLLAMAR_PLACE_DROP;
      }
      GST_DEBUG_OBJECT (self, "Cutting %" G_GUINT64_FORMAT " samples that "
          "overlap the output", cut);
      *buf = gst_audio_buffer_truncate (*buf, bpf, cut, samples - cut);
      samples -= cut;
      gst_tollamar_restamp (self, buf, next);
      w = next;
    } else if (w > next + half_sample
        && gst_tollamar_catches_up_to (self, buf, w)
        && !gst_tollamar_catch_up (self, w, ret)) {
      return GST_TOLLAMAR_PLACE_FAIL;
    }
  }

  if (GST_CLOCK_TIME_IS_VALID (w)) {
    self->next_running_time =
        w + gst_util_uint64_scale (samples, GST_SECOND, rate);
    if (GST_BUFFER_DURATION (*buf) != self->next_running_time - w) {
      *buf = gst_buffer_make_writable (*buf);
      GST_BUFFER_DURATION (*buf) = self->next_running_time - w;
    }
  }
  /* The next silence starts where this buffer ends. */
  self->filling = FALSE;
  return GST_TOLLAMAR_PLACE_PUSH;
}
