/* Gap content of liveaudiorate / livevideorate: what fills a frame slot for
 * which no input buffer is usable. Video repeats the last real frame or shows
 * a black one (the "fill-mode" property); audio gets silence, exact to the
 * sample, whose buffers tile the sample timeline without gap or overlap.
 */
#include "gsttollamar.h"
#include "gsttollamar_output.h"

#define GST_CAT_DEFAULT gst_tollamar_debug

/* with LOCK: one black frame in the negotiated format: an all-zero RGBx image
 * run through the video converter, so every format gets its own black. */
GstBuffer *
gst_tollamar_create_black_image (GstTollamar * self)
{
  GstVideoInfo rgbx;
  GstBuffer *src = NULL, *dest = NULL;
  GstVideoConverter *convert = NULL;
  GstVideoFrame src_frame, dest_frame;
  gboolean src_mapped = FALSE;

  gst_video_info_init (&rgbx);
  if (!gst_video_info_set_format (&rgbx, GST_VIDEO_FORMAT_RGBx,
          GST_VIDEO_INFO_WIDTH (&self->video_info),
          GST_VIDEO_INFO_HEIGHT (&self->video_info)))
    goto failed;
  GST_VIDEO_INFO_FPS_N (&rgbx) = GST_VIDEO_INFO_FPS_N (&self->video_info);
  GST_VIDEO_INFO_FPS_D (&rgbx) = GST_VIDEO_INFO_FPS_D (&self->video_info);
  GST_VIDEO_INFO_INTERLACE_MODE (&rgbx) =
      GST_VIDEO_INFO_INTERLACE_MODE (&self->video_info);

  src = gst_buffer_new_allocate (NULL, GST_VIDEO_INFO_SIZE (&rgbx), NULL);
  dest = gst_buffer_new_allocate (NULL, GST_VIDEO_INFO_SIZE (&self->video_info),
      NULL);
  if (!src || !dest)
    goto failed;
  gst_buffer_memset (src, 0, 0, GST_VIDEO_INFO_SIZE (&rgbx));

  /* No converter exists for some formats (tiled layouts among them); that
   * is the same failure as a frame that cannot be mapped. */
  convert = gst_video_converter_new (&rgbx, &self->video_info, NULL);
  if (!convert)
    goto failed;

  if (!gst_video_frame_map (&src_frame, &rgbx, src, GST_MAP_READ))
    goto failed;
  src_mapped = TRUE;
  if (!gst_video_frame_map (&dest_frame, &self->video_info, dest,
          GST_MAP_WRITE))
    goto failed;

  gst_video_converter_frame (convert, &src_frame, &dest_frame);
  gst_video_frame_unmap (&dest_frame);
  gst_video_frame_unmap (&src_frame);
  gst_video_converter_free (convert);
  gst_buffer_unref (src);
  return dest;

failed:
  if (src_mapped)
    gst_video_frame_unmap (&src_frame);
  if (convert)
    gst_video_converter_free (convert);
  if (src)
    gst_buffer_unref (src);
  if (dest)
    gst_buffer_unref (dest);
  GST_ELEMENT_ERROR (self, CORE, NOT_IMPLEMENTED, (NULL),
      ("invalid video buffer received"));
  return NULL;
}

/* with LOCK */
GstBuffer *
gst_tollamar_create_video_gap (GstTollamar * self, GstClockTime duration)
{
  gboolean black = self->fill_mode == GST_LIVE_VIDEO_RATE_FILL_MODE_BLACK;
  GstBuffer *source, *gap;

  if ((black || !self->last_buffer) && !self->black_buffer)
    self->black_buffer = gst_tollamar_create_black_image (self);

  source = (self->last_buffer && !black) ? self->last_buffer :
      self->black_buffer;
  if (!source)
    return NULL;

  /* A copy shares the source's memory: no pixels are copied per gap. */
  gap = GST_BUFFER_CAST (gst_mini_object_copy (GST_MINI_OBJECT_CAST (source)));
  GST_BUFFER_DTS (gap) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION (gap) = duration;
  GST_BUFFER_OFFSET (gap) = GST_BUFFER_OFFSET_NONE;
  GST_BUFFER_OFFSET_END (gap) = GST_BUFFER_OFFSET_NONE;
  return gap;
}

/* with LOCK: silence for the slot from *@start to *@next. Both ends are
 * rounded to whole samples counted from the grid's base, so the end of one
 * slot is exactly the start of the next however the base lies against the
 * absolute sample grid; both are replaced by their sample-aligned times. */
GstBuffer *
gst_tollamar_create_silence (GstTollamar * self, GstClockTime * start,
    GstClockTime * next)
{
  GstAudioInfo *info = &self->audio_info;
  gint rate = GST_AUDIO_INFO_RATE (info);
  gint bpf = GST_AUDIO_INFO_BPF (info);
  GstClockTime origin = GST_CLOCK_TIME_IS_VALID (self->base_running_time)
      && self->base_running_time <= *start ? self->base_running_time : 0;
  guint64 s0, s1, samples, size;
  GstClockTime t0, t1;
  GstBuffer *buf;
  GstMapInfo map;

  if (rate <= 0 || bpf <= 0) {
    GST_ELEMENT_ERROR (self, CORE, NEGOTIATION, (NULL),
        ("no audio format to make silence in"));
    return NULL;
  }

  s0 = gst_util_uint64_scale_round (*start - origin, rate, GST_SECOND);
  s1 = *next > origin ?
      gst_util_uint64_scale_round (*next - origin, rate, GST_SECOND) : 0;
  samples = s1 > s0 ? s1 - s0 : 0;

  /* A buffer size is 32 bits here; a slot beyond that is refused rather
   * than cut short. */
  if (samples > G_MAXUINT32 || samples * (guint64) bpf > G_MAXUINT32) {
    GST_ELEMENT_ERROR (self, STREAM, FAILED,
        ("Gap slot is too long for one silence buffer"),
        ("%" G_GUINT64_FORMAT " samples of %d bytes each do not fit 32 bits",
            samples, bpf));
    return NULL;
  }
  size = samples * bpf;

  GST_DEBUG_OBJECT (self, "Number of samples for audio frame #%d :  %d",
      (gint) self->frame_index, (gint) samples);

  t0 = origin + gst_util_uint64_scale (s0, GST_SECOND, rate);
  t1 = origin + gst_util_uint64_scale (s0 + samples, GST_SECOND, rate);
  *start = t0;
  *next = t1;
  GST_DEBUG_OBJECT (self, "Corrected sample_running_time %" GST_TIME_FORMAT
      " next_running_time %" GST_TIME_FORMAT, GST_TIME_ARGS (t0),
      GST_TIME_ARGS (t1));

  buf = gst_buffer_new_allocate (NULL, size, NULL);
  if (size > 0) {
    gst_buffer_map (buf, &map, GST_MAP_WRITE);
    gst_audio_format_info_fill_silence (info->finfo, map.data, map.size);
    gst_buffer_unmap (buf, &map);
  }

  GST_BUFFER_DURATION (buf) = t1 - t0;
  GST_BUFFER_DTS (buf) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_OFFSET (buf) = GST_BUFFER_OFFSET_NONE;
  GST_BUFFER_OFFSET_END (buf) = GST_BUFFER_OFFSET_NONE;

  if (GST_AUDIO_INFO_LAYOUT (info) == GST_AUDIO_LAYOUT_NON_INTERLEAVED)
    gst_buffer_add_audio_meta (buf, info, samples, NULL);

  return buf;
}
