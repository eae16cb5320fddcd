/* Output preparation and source-pad events of liveaudiorate / livevideorate.
 *
 * Downstream must see stream-start, caps and segment before any buffer. The
 * output task forwards the ones upstream queued, recording the format, the
 * segment and end of stream; when it has to fill a gap before upstream sent
 * them, it invents them: 320x240 RGBx at 25/1 for video, 48000 Hz S16LE mono
 * for audio, or the nearest that downstream accepts, and a default segment.
 * Events from downstream are answered here too.
 */
#include "gsttollamar.h"
#include "gsttollamar_output.h"

#define GST_CAT_DEFAULT gst_tollamar_debug

/* Fixation targets of invented caps. */
static const gint INVENTED_WIDTH = 320;
static const gint INVENTED_HEIGHT = 240;
static const gchar INVENTED_VIDEO_FORMAT[] = "RGBx";
static const gint INVENTED_FPS_N = 25;
static const gint INVENTED_FPS_D = 1;
static const gint INVENTED_RATE = 48000;
static const gchar INVENTED_AUDIO_FORMAT[] = "S16LE";
static const gchar INVENTED_LAYOUT[] = "interleaved";
static const gint INVENTED_CHANNELS = 1;

static void
gst_tollamar_fixate_video (GstStructure * s)
{
  gst_structure_fixate_field_nearest_int (s, "width", INVENTED_WIDTH);
  gst_structure_fixate_field_nearest_int (s, "height", INVENTED_HEIGHT);
  gst_structure_fixate_field_string (s, "format", INVENTED_VIDEO_FORMAT);
  if (gst_structure_has_field (s, "framerate"))
    gst_structure_fixate_field_nearest_fraction (s, "framerate",
        INVENTED_FPS_N, INVENTED_FPS_D);
  else
    gst_structure_set (s, "framerate", GST_TYPE_FRACTION, INVENTED_FPS_N,
        INVENTED_FPS_D, NULL);
  if (gst_structure_has_field (s, "pixel-aspect-ratio"))
    gst_structure_fixate_field_nearest_fraction (s, "pixel-aspect-ratio", 1, 1);
  else
    gst_structure_set (s, "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, NULL);
}

static void
gst_tollamar_fixate_audio (GstStructure * s)
{
  gint channels;

  gst_structure_fixate_field_nearest_int (s, "rate", INVENTED_RATE);
  gst_structure_fixate_field_string (s, "format", INVENTED_AUDIO_FORMAT);
  gst_structure_fixate_field_string (s, "layout", INVENTED_LAYOUT);
  gst_structure_fixate_field_nearest_int (s, "channels", INVENTED_CHANNELS);
  /* More than two channels need a mask; 0 leaves them unpositioned. */
  if (gst_structure_get_int (s, "channels", &channels) && channels > 2
      && !gst_structure_has_field_typed (s, "channel-mask", GST_TYPE_BITMASK))
    gst_structure_set (s, "channel-mask", GST_TYPE_BITMASK, (guint64) 0, NULL);
}

/* with LOCK: TRUE when the format is known for this element's kind. */
static gboolean
gst_tollamar_has_format (GstTollamar * self)
{
  if (gst_tollamar_is_video (self))
    return self->video_info.finfo != NULL;
  return self->audio_info.finfo != NULL;
}

/* with LOCK, released around the caps query and the push: invents caps
 * from what downstream accepts. */
static gboolean
gst_tollamar_invent_caps (GstTollamar * self, GstFlowReturn * ret)
{
  GstCaps *templ, *caps;
  GstEvent *event;
  gboolean parsed;

  gst_tollamar_unlock (self);
  templ = gst_pad_get_pad_template_caps (self->srcpad);
  caps = gst_pad_peer_query_caps (self->srcpad, templ);
  gst_caps_unref (templ);
  gst_tollamar_lock (self);

  if (gst_tollamar_pass_interrupted (self)) {
    GST_DEBUG_OBJECT (self, "Flushing");
    if (caps)
      gst_caps_unref (caps);
    *ret = GST_FLOW_FLUSHING;
    return FALSE;
  }

  if (!caps || gst_caps_is_empty (caps)) {
    GST_ERROR_OBJECT (self, "No possible downstream caps");
    *ret = self->flow_return = GST_FLOW_NOT_NEGOTIATED;
    if (caps)
      gst_caps_unref (caps);
    return FALSE;
  }

  caps = gst_caps_truncate (gst_caps_make_writable (caps));
  /* The template allows any memory; what goes out must name one. */
  GstCapsFeatures *features = gst_caps_get_features (caps, 0);
  if (features && gst_caps_features_is_any (features))
    gst_caps_set_features (caps, 0, NULL);

  if (gst_tollamar_is_video (self)) {
    GstVideoInfo info;

    gst_tollamar_fixate_video (gst_caps_get_structure (caps, 0));
    caps = gst_caps_fixate (caps);
    parsed = gst_video_info_from_caps (&info, caps);
    if (parsed) {
      self->video_info = info;
      self->fps_n = GST_VIDEO_INFO_FPS_N (&info);
      self->fps_d = GST_VIDEO_INFO_FPS_D (&info);
      /* The gap about to be made is the first slot in this format. */
      gst_tollamar_follow_rate (self);
    }
  } else {
    GstAudioInfo info;

    gst_tollamar_fixate_audio (gst_caps_get_structure (caps, 0));
    caps = gst_caps_fixate (caps);
    parsed = gst_audio_info_from_caps (&info, caps);
    if (parsed)
      self->audio_info = info;
  }

  /* Caps the element cannot describe would leave it without a format for
   * its gap content; treat them as no acceptable caps at all. */
  if (!parsed) {
    GST_ERROR_OBJECT (self, "Cannot use downstream caps %" GST_PTR_FORMAT,
        caps);
    gst_caps_unref (caps);
    *ret = self->flow_return = GST_FLOW_NOT_NEGOTIATED;
    return FALSE;
  }

  GST_DEBUG_OBJECT (self, "Inventing new caps %" GST_PTR_FORMAT, caps);
  event = gst_event_new_caps (caps);
  gst_caps_unref (caps);
  return gst_tollamar_send_event (self, event, ret);
}

/* with LOCK, released around pushes and queries */
gboolean
gst_tollamar_ensure_output (GstTollamar * self, GstFlowReturn * ret)
{
  GstEvent *event;

  if (!self->have_stream_start) {
    gchar *stream_id = gst_pad_create_stream_id (self->srcpad,
        GST_ELEMENT_CAST (self), NULL);

    GST_DEBUG_OBJECT (self, "Inventing stream-start event with stream-id %s",
        stream_id);
    event = gst_event_new_stream_start (stream_id);
    g_free (stream_id);
    self->have_stream_start = TRUE;
    if (!gst_tollamar_send_event (self, event, ret))
      return FALSE;
  }

  if (!gst_tollamar_has_format (self)
      && !gst_tollamar_invent_caps (self, ret))
    return FALSE;

  /* Caps pushed while downstream was at end of stream were dropped there,
   * and a flush then leaves the pad without them: send the format again. */
  if (!gst_pad_has_current_caps (self->srcpad)) {
    GstCaps *caps = gst_tollamar_is_video (self) ?
        gst_video_info_to_caps (&self->video_info) :
        gst_audio_info_to_caps (&self->audio_info);

    if (caps) {
      event = gst_event_new_caps (caps);
      gst_caps_unref (caps);
      if (!gst_tollamar_send_event (self, event, ret))
        return FALSE;
    }
  }

  /* Likewise a segment pushed at end of stream: a new stream-start lets
   * buffers through again, and they must not come without one. */
  if (self->segment.format == GST_FORMAT_UNDEFINED) {
    gst_segment_init (&self->segment, GST_FORMAT_TIME);
    GST_DEBUG_OBJECT (self, "Inventing default segment");
  } else if ((event = gst_pad_get_sticky_event (self->srcpad,
              GST_EVENT_SEGMENT, 0))) {
    gst_event_unref (event);
    return TRUE;
  }

  event = gst_event_new_segment (&self->segment);
  return gst_tollamar_send_event (self, event, ret);
}

/* with LOCK: takes the format of upstream caps; FALSE if they cannot be
 * described. */
static gboolean
gst_tollamar_take_caps (GstTollamar * self, GstCaps * caps)
{
  if (gst_tollamar_is_video (self)) {
    GstVideoInfo info;

    if (!gst_video_info_from_caps (&info, caps))
      return FALSE;
    self->video_info = info;
    self->fps_n = GST_VIDEO_INFO_FPS_N (&info);
    self->fps_d = GST_VIDEO_INFO_FPS_D (&info);
  } else {
    GstAudioInfo info;

    if (!gst_audio_info_from_caps (&info, caps))
      return FALSE;
    self->audio_info = info;
  }
  /* Frames of the old format cannot fill gaps in the new one. */
  gst_clear_buffer (&self->last_buffer);
  gst_clear_buffer (&self->black_buffer);
  return TRUE;
}

/* with LOCK, released around the push */
gboolean
gst_tollamar_src_loop_event (GstTollamar * self, GstEvent * event,
    GstFlowReturn * ret)
{
  GST_DEBUG_OBJECT (self, "Got event %s", GST_EVENT_TYPE_NAME (event));

  switch (GST_EVENT_TYPE (event)) {
    case GST_EVENT_STREAM_START:
      self->have_stream_start = TRUE;
      break;
    case GST_EVENT_CAPS:{
      GstCaps *caps;

      gst_event_parse_caps (event, &caps);
      if (!gst_tollamar_take_caps (self, caps)) {
        GST_ERROR_OBJECT (self, "Failed to parse caps");
        gst_event_unref (event);
        *ret = self->flow_return = GST_FLOW_NOT_NEGOTIATED;
        return FALSE;
      }
      break;
    }
    case GST_EVENT_SEGMENT:{
      const GstSegment *segment;

      gst_event_parse_segment (event, &segment);
      if (segment->format != GST_FORMAT_TIME) {
        GST_ERROR_OBJECT (self, "Non-time segments not supported");
        gst_event_unref (event);
        *ret = self->flow_return = GST_FLOW_ERROR;
        return FALSE;
      }
      gst_segment_copy_into (segment, &self->segment);
      break;
    }
    case GST_EVENT_EOS:
      *ret = self->flow_return = GST_FLOW_EOS;
      break;
    default:
      break;
  }

  if (!gst_tollamar_push_event (self, event))
    GST_DEBUG_OBJECT (self, "Failed to push event");
  return TRUE;
}

/* with LOCK */
gboolean
gst_tollamar_shutting_down (GstTollamar * self)
{
  GstState target;

  /* The shutdown sets the flushing state and stops the task before the
   * pads are deactivated; all that time its next state is READY. */
  GST_OBJECT_LOCK (self);
  target = GST_STATE_NEXT (self) != GST_STATE_VOID_PENDING ?
      GST_STATE_NEXT (self) : GST_STATE (self);
  GST_OBJECT_UNLOCK (self);
  return target <= GST_STATE_READY;
}

/* with LOCK */
gboolean
gst_tollamar_may_restart_task (GstTollamar * self)
{
  return !gst_tollamar_shutting_down (self)
      && gst_pad_is_active (self->srcpad);
}

gboolean
gst_tollamar_src_event (GstPad * pad, GstObject * parent, GstEvent * event)
{
  GstTollamar *self = GST_TOLLAMAR (parent);

  GST_LOG_OBJECT (pad, "Got %s event", GST_EVENT_TYPE_NAME (event));

  switch (GST_EVENT_TYPE (event)) {
    case GST_EVENT_FLUSH_START:{
      gboolean res;

      gst_tollamar_stop_flow (self);
      res = gst_pad_push_event (self->sinkpad, event);
      /* Wait for the task to finish its pass and pause, so that the task
       * that flush-stop starts is never paused by this flush's late pass. */
      gst_pad_pause_task (self->srcpad);
      return res;
    }
    case GST_EVENT_FLUSH_STOP:
      gst_tollamar_flush_stop (self, NULL);
      return gst_pad_push_event (self->sinkpad, event);
    case GST_EVENT_SEEK:
    case GST_EVENT_NAVIGATION:
    case GST_EVENT_STEP:
      GST_DEBUG_OBJECT (self, "Dropping event");
      gst_event_unref (event);
      return TRUE;
    default:
      return gst_pad_event_default (pad, parent, event);
  }
}
