/* livevideorate / liveaudiorate
 *
 * Both elements take raw video (livevideorate) or raw audio (liveaudiorate)
 * from a live but irregular upstream and produce a continuous stream paced
 * by the pipeline clock. Incoming buffers are queued and released by a task
 * on the source pad when they are due; when nothing is due in time, the
 * element pushes gap buffers flagged GAP: the last frame or a black frame
 * for video, sample-exact silence for audio. If upstream has not sent
 * stream-start, caps or a segment yet, the element invents them. Towards
 * the pipeline the elements behave like a live source: they return
 * no-preroll when going to PAUSED and add their own latency to upstream's.
 *
 * Properties:
 *   "max-lateness"   (guint64, ns, default 200 ms) how much upstream time may
 *                    wait in the queue; beyond it the upstream thread blocks.
 *                    It is also added to the latency the element reports.
 *   "skip-to-first"  (boolean, default false) produce nothing before the
 *                    first buffer after going to PLAYING and anchor the
 *                    output on it, instead of anchoring at the moment the
 *                    element goes to PLAYING.
 *   "fill-mode"      (livevideorate only; "black" or "last-frame", default
 *                    "black") what a video gap buffer shows. Without a
 *                    previous frame a black frame is used regardless.
 *   "fill-framerate" (liveaudiorate only; fraction, default 25/1) how many
 *                    buffers per second pace the audio output.
 *
 * Example pipeline:
 *   gst-launch-1.0 udpsrc port=5000 caps="application/x-rtp,media=video,
 *     encoding-name=VP8,clock-rate=90000" ! rtpvp8depay ! vp8dec !
 *     livevideorate max-lateness=100000000 fill-mode=last-frame !
 *     videoconvert ! autovideosink
 */
#include "gsttollamar.h"
#include "gsttollamar_output.h"

#include <cstring>

GST_DEBUG_CATEGORY (gst_tollamar_debug);
#define GST_CAT_DEFAULT gst_tollamar_debug

/* Pad templates. Both pads of one element carry the same caps: the element
 * never changes the format of what passes through it. */

#define TOLLAMAR_VIDEO_FORMATS "{ AYUV64, ARGB64, GBRA_12LE, GBRA_12BE, " \
    "Y412_LE, Y412_BE, A444_10LE, GBRA_10LE, A444_10BE, GBRA_10BE, " \
    "A422_10LE, A422_10BE, A420_10LE, A420_10BE, RGB10A2_LE, BGR10A2_LE, " \
    "Y410, GBRA, ABGR, VUYA, BGRA, AYUV, ARGB, RGBA, A420, Y444_16LE, " \
    "Y444_16BE, v216, P016_LE, P016_BE, Y444_12LE, GBR_12LE, Y444_12BE, " \
    "GBR_12BE, I422_12LE, I422_12BE, Y212_LE, Y212_BE, I420_12LE, " \
    "I420_12BE, P012_LE, P012_BE, Y444_10LE, GBR_10LE, Y444_10BE, " \
    "GBR_10BE, r210, I422_10LE, I422_10BE, NV16_10LE32, Y210, v210, UYVP, " \
    "I420_10LE, I420_10BE, P010_10LE, NV12_10LE32, NV12_10LE40, " \
    "P010_10BE, Y444, GBR, RGBP, BGRP, NV24, xBGR, BGRx, xRGB, RGBx, BGR, " \
    "IYU2, v308, RGB, Y42B, NV61, NV16, VYUY, UYVY, YVYU, YUY2, I420, " \
    "YV12, NV21, NV12, NV12_64Z32, NV12_4L4, NV12_32L32, AV12, Y41B, " \
    "IYU1, YVU9, YUV9, RGB16, BGR16, RGB15, BGR15, RGB8P, GRAY16_LE, " \
    "GRAY16_BE, GRAY10_LE32, GRAY8 }"

#define TOLLAMAR_VIDEO_CAPS "video/x-raw(ANY), " \
    "format = (string) " TOLLAMAR_VIDEO_FORMATS ", " \
    "width = (int) [ 1, max ], height = (int) [ 1, max ], " \
    "framerate = (fraction) [ 0, max ]"

#define TOLLAMAR_AUDIO_FORMATS "{ F64LE, F64BE, F32LE, F32BE, S32LE, " \
    "S32BE, U32LE, U32BE, S24_32LE, S24_32BE, U24_32LE, U24_32BE, S24LE, " \
    "S24BE, U24LE, U24BE, S20LE, S20BE, U20LE, U20BE, S18LE, S18BE, " \
    "U18LE, U18BE, S16LE, S16BE, U16LE, U16BE, S8, U8 }"

#define TOLLAMAR_AUDIO_CAPS "audio/x-raw, " \
    "format = (string) " TOLLAMAR_AUDIO_FORMATS ", " \
    "rate = (int) [ 1, max ], channels = (int) [ 1, max ], " \
    "layout = (string) { interleaved, non-interleaved }"

static GstStaticPadTemplate video_sink_template =
GST_STATIC_PAD_TEMPLATE ("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS (TOLLAMAR_VIDEO_CAPS));
static GstStaticPadTemplate video_src_template =
GST_STATIC_PAD_TEMPLATE ("src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS (TOLLAMAR_VIDEO_CAPS));
static GstStaticPadTemplate audio_sink_template =
GST_STATIC_PAD_TEMPLATE ("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
    GST_STATIC_CAPS (TOLLAMAR_AUDIO_CAPS));
static GstStaticPadTemplate audio_src_template =
GST_STATIC_PAD_TEMPLATE ("src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS (TOLLAMAR_AUDIO_CAPS));

/* Property ids; the third has a different meaning per element type. */
enum
{
  PROP_0,
  PROP_MAX_LATENESS,
  PROP_SKIP_TO_FIRST,
  PROP_FILL_MODE,
  PROP_FILL_FRAMERATE = PROP_FILL_MODE,
};

static const guint64 DEFAULT_MAX_LATENESS = 200 * GST_MSECOND;
static const gboolean DEFAULT_SKIP_TO_FIRST = FALSE;
static const GstLiveVideoRateFillMode DEFAULT_FILL_MODE =
    GST_LIVE_VIDEO_RATE_FILL_MODE_BLACK;
static const gint DEFAULT_FILL_FRAMERATE_N = 25;
static const gint DEFAULT_FILL_FRAMERATE_D = 1;

/* Both types chain up to GstElement. */
static GstElementClass *parent_class = NULL;

static gboolean plugin_init (GstPlugin * plugin);
static void gst_tollamar_class_init (gpointer g_class, gpointer class_data);
static void gst_tollamar_init (GTypeInstance * instance, gpointer g_class);
static void gst_tollamar_finalize (GObject * object);
static void gst_tollamar_set_property (GObject * object, guint prop_id,
    const GValue * value, GParamSpec * pspec);
static void gst_tollamar_get_property (GObject * object, guint prop_id,
    GValue * value, GParamSpec * pspec);
static GstClock *gst_tollamar_provide_clock (GstElement * element);
static GstFlowReturn gst_tollamar_sink_chain (GstPad * pad,
    GstObject * parent, GstBuffer * buffer);
static gboolean gst_tollamar_sink_event (GstPad * pad, GstObject * parent,
    GstEvent * event);
static gboolean gst_tollamar_sink_query (GstPad * pad, GstObject * parent,
    GstQuery * query);
static gboolean gst_tollamar_src_query (GstPad * pad, GstObject * parent,
    GstQuery * query);
static GstStateChangeReturn gst_tollamar_change_state (GstElement * element,
    GstStateChange transition);
static gboolean gst_tollamar_anchor_at_play (GstTollamar * self);

/* Plugin entry points */

#define TOLLAMAR_PLUGIN_NAME "tollamar"
#define TOLLAMAR_PLUGIN_DESCRIPTION "Tollamar"
#define TOLLAMAR_VERSION "1.19.0.1"
#define TOLLAMAR_LICENSE "LGPL"
#define TOLLAMAR_SOURCE "gst-plugins-bad"
#define TOLLAMAR_PACKAGE "GStreamer Bad Plug-ins git"
#define TOLLAMAR_ORIGIN "Unknown package origin"

static const GstPluginDesc tollamar_plugin_desc = {
  1, 19,
  TOLLAMAR_PLUGIN_NAME,
  TOLLAMAR_PLUGIN_DESCRIPTION,
  plugin_init,
  TOLLAMAR_VERSION,
  TOLLAMAR_LICENSE,
  TOLLAMAR_SOURCE,
  TOLLAMAR_PACKAGE,
  TOLLAMAR_ORIGIN,
  NULL,
  {NULL},
};

extern "C" const GstPluginDesc *
gst_plugin_tollamar_get_desc (void)
{
  return &tollamar_plugin_desc;
}

extern "C" void
gst_plugin_tollamar_register (void)
{
  gst_plugin_register_static (1, 19, TOLLAMAR_PLUGIN_NAME,
      TOLLAMAR_PLUGIN_DESCRIPTION, plugin_init, TOLLAMAR_VERSION,
      TOLLAMAR_LICENSE, TOLLAMAR_SOURCE, TOLLAMAR_PACKAGE, TOLLAMAR_ORIGIN);
}

static gboolean
plugin_init (GstPlugin * plugin)
{
  if (!gst_tollamar_debug)
    GST_DEBUG_CATEGORY_INIT (gst_tollamar_debug, "tollamar", 0,
        "Live audio/video element");

  if (!gst_element_register (plugin, "liveaudiorate", GST_RANK_NONE,
          GST_TYPE_LIVE_AUDIO_RATE))
    return FALSE;
  return gst_element_register (plugin, "livevideorate", GST_RANK_NONE,
      GST_TYPE_LIVE_VIDEO_RATE);
}

/* Type registration: two GstElement subclasses sharing one implementation */

static GType
gst_tollamar_register_type (const gchar * name)
{
  /* An application may use the types before the plug-in is loaded; the
   * element logs from its first instance on. */
  if (!gst_tollamar_debug)
    GST_DEBUG_CATEGORY_INIT (gst_tollamar_debug, "tollamar", 0,
        "Live audio/video element");

  const GTypeInfo info = {
    sizeof (GstTollamarClass),
    NULL,
    NULL,
    gst_tollamar_class_init,
    NULL,
    NULL,
    sizeof (GstTollamar),
    0,
    gst_tollamar_init,
    NULL,
  };
  return g_type_register_static (GST_TYPE_ELEMENT, name, &info,
      (GTypeFlags) 0);
}

extern "C" GType
gst_live_audio_rate_get_type (void)
{
  static gsize type = 0;
  if (g_once_init_enter (&type))
    g_once_init_leave (&type, gst_tollamar_register_type ("GstLiveAudioRate"));
  return type;
}

extern "C" GType
gst_live_video_rate_get_type (void)
{
  static gsize type = 0;
  if (g_once_init_enter (&type))
    g_once_init_leave (&type, gst_tollamar_register_type ("GstLiveVideoRate"));
  return type;
}

extern "C" GType
gst_live_video_rate_fill_mode_get_type (void)
{
  static gsize type = 0;
  static const GEnumValue values[] = {
    {GST_LIVE_VIDEO_RATE_FILL_MODE_LAST_FRAME, "Last Frame", "last-frame"},
    {GST_LIVE_VIDEO_RATE_FILL_MODE_BLACK, "Black Frame", "black"},
    {0, NULL, NULL},
  };
  if (g_once_init_enter (&type))
    g_once_init_leave (&type,
        g_enum_register_static ("GstLiveVideoRateFillMode", values));
  return type;
}

/* Class and instance */

static void
gst_tollamar_class_init (gpointer g_class, gpointer class_data)
{
  GstTollamarClass *klass = (GstTollamarClass *) g_class;
  GObjectClass *gobject_class = G_OBJECT_CLASS (klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS (klass);
  const GParamFlags flags =
      (GParamFlags) (G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);

  (void) class_data;

  parent_class = GST_ELEMENT_CLASS (g_type_class_peek_parent (klass));

  gobject_class->set_property = gst_tollamar_set_property;
  gobject_class->get_property = gst_tollamar_get_property;
  gobject_class->finalize = gst_tollamar_finalize;

  g_object_class_install_property (gobject_class, PROP_MAX_LATENESS,
      g_param_spec_uint64 ("max-lateness", "Maximum Lateness",
          "Maximum lateness allowed for upstream buffers, must be smaller "
          "than latency", 0, G_MAXUINT64, DEFAULT_MAX_LATENESS, flags));
  g_object_class_install_property (gobject_class, PROP_SKIP_TO_FIRST,
      g_param_spec_boolean ("skip-to-first", "Skip to first",
          "Don't produce buffers before the first one we receive",
          DEFAULT_SKIP_TO_FIRST, flags));

  element_class->change_state = GST_DEBUG_FUNCPTR (gst_tollamar_change_state);
  element_class->provide_clock =
      GST_DEBUG_FUNCPTR (gst_tollamar_provide_clock);

  GST_DEBUG_REGISTER_FUNCPTR (gst_tollamar_sink_chain);
  GST_DEBUG_REGISTER_FUNCPTR (gst_tollamar_sink_event);
  GST_DEBUG_REGISTER_FUNCPTR (gst_tollamar_sink_query);
  GST_DEBUG_REGISTER_FUNCPTR (gst_tollamar_src_event);
  GST_DEBUG_REGISTER_FUNCPTR (gst_tollamar_src_query);

  if (G_TYPE_FROM_CLASS (klass) == GST_TYPE_LIVE_VIDEO_RATE) {
    g_object_class_install_property (gobject_class, PROP_FILL_MODE,
        g_param_spec_enum ("fill-mode", "Fill Mode",
            "Fill Mode to use when input buffer is too late. If there is no "
            "previous frame to use, black frame be filled regardless of this "
            "property", GST_TYPE_LIVE_VIDEO_RATE_FILL_MODE,
            DEFAULT_FILL_MODE, flags));
    gst_element_class_add_static_pad_template (element_class,
        &video_sink_template);
    gst_element_class_add_static_pad_template (element_class,
        &video_src_template);
    gst_element_class_set_static_metadata (element_class, "Live video rate",
        "Filter/Video", "Generates a continuous live video stream",
        "nerko-encoder maintainers <nerko-encoder@lists.example.org>");
  } else {
    g_object_class_install_property (gobject_class, PROP_FILL_FRAMERATE,
        gst_param_spec_fraction ("fill-framerate", "Fill Buffer Framerate",
            "Fill buffer framerate", 0, 1, G_MAXINT, 1,
            DEFAULT_FILL_FRAMERATE_N, DEFAULT_FILL_FRAMERATE_D, flags));
    gst_element_class_add_static_pad_template (element_class,
        &audio_sink_template);
    gst_element_class_add_static_pad_template (element_class,
        &audio_src_template);
    gst_element_class_set_static_metadata (element_class, "Live audio rate",
        "Filter/Audio", "Generates a continuous live audio stream",
        "nerko-encoder maintainers <nerko-encoder@lists.example.org>");
  }
}

static void
gst_tollamar_init (GTypeInstance * instance, gpointer g_class)
{
  GstTollamar *self = GST_TOLLAMAR (instance);
  GstElementClass *klass = GST_ELEMENT_CLASS (g_class);

  self->sinkpad = gst_pad_new_from_template (
      gst_element_class_get_pad_template (klass, "sink"), "sink");
  gst_pad_set_chain_function (self->sinkpad,
      GST_DEBUG_FUNCPTR (gst_tollamar_sink_chain));
  gst_pad_set_event_function (self->sinkpad,
      GST_DEBUG_FUNCPTR (gst_tollamar_sink_event));
  gst_pad_set_query_function (self->sinkpad,
      GST_DEBUG_FUNCPTR (gst_tollamar_sink_query));
  GST_PAD_SET_PROXY_CAPS (self->sinkpad);
  gst_element_add_pad (GST_ELEMENT (self), self->sinkpad);

  self->srcpad = gst_pad_new_from_template (
      gst_element_class_get_pad_template (klass, "src"), "src");
  gst_pad_set_event_function (self->srcpad,
      GST_DEBUG_FUNCPTR (gst_tollamar_src_event));
  gst_pad_set_query_function (self->srcpad,
      GST_DEBUG_FUNCPTR (gst_tollamar_src_query));
  GST_PAD_SET_PROXY_CAPS (self->srcpad);
  gst_element_add_pad (GST_ELEMENT (self), self->srcpad);

  g_mutex_init (&self->lock);
#ifdef NERKO_TSAN
  /* A new element may live where a finalised one did: tell ThreadSanitizer
   * that this is a new mutex, not the old one with its lock order. */
  __tsan_mutex_create (&self->lock, 0);
#endif
  g_cond_init (&self->start_cond);
  g_cond_init (&self->queue_cond);

  self->max_lateness = DEFAULT_MAX_LATENESS;
  self->skip_to_first = DEFAULT_SKIP_TO_FIRST;
  self->got_first = FALSE;
  self->resync = FALSE;
  self->fill_mode = DEFAULT_FILL_MODE;
  self->fps_n = DEFAULT_FILL_FRAMERATE_N;
  self->fps_d = DEFAULT_FILL_FRAMERATE_D;

  self->queue = gst_queue_array_new (16);

  /* Leaves flow_return at FLUSHING: buffers are refused until READY to
   * PAUSED. */
  gst_tollamar_reset (self, FALSE);
}

static void
gst_tollamar_finalize (GObject * object)
{
  GstTollamar *self = GST_TOLLAMAR (object);

  gst_tollamar_reset (self, FALSE);

#ifdef NERKO_TSAN
  __tsan_mutex_destroy (&self->lock, 0);
#endif
  g_mutex_clear (&self->lock);
  g_cond_clear (&self->start_cond);
  g_cond_clear (&self->queue_cond);
  gst_queue_array_free (self->queue);
  self->queue = NULL;

  G_OBJECT_CLASS (parent_class)->finalize (object);
}

/* Property access. The streaming threads read these fields under the lock,
 * so they are written and read under it here as well. */

static void
gst_tollamar_set_property (GObject * object, guint prop_id,
    const GValue * value, GParamSpec * pspec)
{
  GstTollamar *self = GST_TOLLAMAR (object);

  switch (prop_id) {
    case PROP_MAX_LATENESS:{
      gboolean changed, running;

      GST_OBJECT_LOCK (self);
      running = GST_STATE (self) >= GST_STATE_PAUSED;
      GST_OBJECT_UNLOCK (self);
      gst_tollamar_lock (self);
      changed = self->max_lateness != g_value_get_uint64 (value);
      self->max_lateness = g_value_get_uint64 (value);
      gst_tollamar_unlock (self);
      /* The latency the element answers has changed: a running pipeline
       * must ask again, or a synchronised sink keeps the old figure and
       * drops what now comes later. */
      if (changed && running)
        gst_element_post_message (GST_ELEMENT (self),
            gst_message_new_latency (GST_OBJECT (self)));
      break;
    }
    case PROP_SKIP_TO_FIRST:{
      gboolean playing;

      GST_OBJECT_LOCK (self);
      playing = GST_STATE (self) == GST_STATE_PLAYING;
      GST_OBJECT_UNLOCK (self);
      gst_tollamar_lock (self);
      self->skip_to_first = g_value_get_boolean (value);
      /* Turned off while playing and still waiting for the first buffer:
       * no buffer will release the output task now, and upstream would
       * block for good once the queue fills. Start as PLAYING does. */
      if (!self->skip_to_first && self->waiting && playing)
        gst_tollamar_anchor_at_play (self);
      gst_tollamar_unlock (self);
      break;
    }
    case PROP_FILL_MODE:       /* also PROP_FILL_FRAMERATE */
      gst_tollamar_lock (self);
      if (gst_tollamar_is_video (self)) {
        self->fill_mode = (GstLiveVideoRateFillMode) g_value_get_enum (value);
      } else {
        self->fps_n = gst_value_get_fraction_numerator (value);
        self->fps_d = gst_value_get_fraction_denominator (value);
      }
      gst_tollamar_unlock (self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
  }
}

static void
gst_tollamar_get_property (GObject * object, guint prop_id,
    GValue * value, GParamSpec * pspec)
{
  GstTollamar *self = GST_TOLLAMAR (object);

  switch (prop_id) {
    case PROP_MAX_LATENESS:
      gst_tollamar_lock (self);
      g_value_set_uint64 (value, self->max_lateness);
      gst_tollamar_unlock (self);
      break;
    case PROP_SKIP_TO_FIRST:
      gst_tollamar_lock (self);
      g_value_set_boolean (value, self->skip_to_first);
      gst_tollamar_unlock (self);
      break;
    case PROP_FILL_MODE:       /* also PROP_FILL_FRAMERATE */
      gst_tollamar_lock (self);
      if (gst_tollamar_is_video (self))
        g_value_set_enum (value, self->fill_mode);
      else
        gst_value_set_fraction (value, self->fps_n, self->fps_d);
      gst_tollamar_unlock (self);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID (object, prop_id, pspec);
      break;
  }
}

/* The element offers the system clock but does not announce itself as a
 * clock provider, so a pipeline picks it only when nothing else offers one. */
static GstClock *
gst_tollamar_provide_clock (GstElement * element)
{
  (void) element;
  return gst_system_clock_obtain ();
}

/* Takes the lock itself: call it without. */
void
gst_tollamar_reset (GstTollamar * self, gboolean keep_caps)
{
  gst_tollamar_lock (self);
  gst_tollamar_reset_locked (self, keep_caps);
  gst_tollamar_unlock (self);
}

/* with LOCK */
void
gst_tollamar_reset_locked (GstTollamar * self, gboolean keep_caps)
{
  GST_DEBUG_OBJECT (self, "Resetting internal state");

  gst_segment_init (&self->segment, GST_FORMAT_UNDEFINED);
  if (!keep_caps) {
    self->have_stream_start = FALSE;
    memset (&self->audio_info, 0, sizeof (self->audio_info));
    memset (&self->video_info, 0, sizeof (self->video_info));
  }
  self->flow_return = GST_FLOW_FLUSHING;

  self->distortion = 1.0;
  self->latency = GST_CLOCK_TIME_NONE;
  self->next_running_time = GST_CLOCK_TIME_NONE;
  self->frame_index = 0;
  self->filling = FALSE;
  self->base_running_time = GST_CLOCK_TIME_NONE;

  gst_clear_buffer (&self->last_buffer);
  gst_clear_buffer (&self->black_buffer);

  while (!gst_queue_array_is_empty (self->queue)) {
    GstMiniObject *item =
        (GstMiniObject *) gst_queue_array_pop_head (self->queue);
    gst_mini_object_unref (item);
  }
  self->queued_duration = 0;
  self->reset_count++;
}

/* with LOCK: adds to @kept, in queue order, a new reference to every queued
 * sticky event that outlives a flush (all but segment and end-of-stream). */
static void
gst_tollamar_take_stream_events (GstTollamar * self, GQueue * kept)
{
  guint n = gst_queue_array_get_length (self->queue);

  for (guint i = 0; i < n; i++) {
    GstMiniObject *item =
        (GstMiniObject *) gst_queue_array_peek_nth (self->queue, i);
    GstEvent *event;

    if (!GST_IS_EVENT (item))
      continue;
    event = GST_EVENT_CAST (item);
    if ((gst_event_type_get_flags (GST_EVENT_TYPE (event))
            & GST_EVENT_TYPE_STICKY)
        && GST_EVENT_TYPE (event) != GST_EVENT_SEGMENT
        && GST_EVENT_TYPE (event) != GST_EVENT_EOS)
      g_queue_push_tail (kept, gst_event_ref (event));
  }
}

/* Takes the lock itself. It does not wait for the output task to leave its
 * pass (the source pad's stream lock): GStreamer delivers a flush-stop from
 * downstream holding that lock and the element sends it on upstream, where
 * a source that flushes holds its own stream lock while it sends its
 * flush-stop here, so waiting for it would close a cycle. A pass that the
 * reset overtakes notices it by the reset count and ends as if flushing. */
void
gst_tollamar_flush_stop (GstTollamar * self, GstEvent * forward)
{
  gst_tollamar_lock (self);
  if (!forward) {
    /* An upstream flush-stop still waiting in the queue answers a
     * flush-start that downstream has seen already: emptying the queue for
     * a flush from downstream must not lose it. */
    guint n = gst_queue_array_get_length (self->queue);
    for (guint i = 0; i < n && !forward; i++) {
      GstMiniObject *item =
          (GstMiniObject *) gst_queue_array_peek_nth (self->queue, i);
      if (GST_IS_EVENT (item)
          && GST_EVENT_TYPE (GST_EVENT_CAST (item)) == GST_EVENT_FLUSH_STOP)
        forward = gst_event_ref (GST_EVENT_CAST (item));
    }
  }
  /* A flush ends the segment, not the stream: stream-start, caps and the
   * other sticky events that still wait in the queue have not reached
   * downstream, and upstream does not send them again. */
  GQueue kept = G_QUEUE_INIT;
  gst_tollamar_take_stream_events (self, &kept);
  gst_tollamar_reset_locked (self, TRUE);
  /* Queued before the task can run again, so that it is the first thing
   * the restarted task sends: the source pad refuses everything else until
   * the flush-stop has passed it. */
  if (forward)
    gst_queue_array_push_tail (self->queue, forward);
  while (GstEvent * event = (GstEvent *) g_queue_pop_head (&kept))
    gst_queue_array_push_tail (self->queue, event);
  /* Not while going down to READY: a task or data flow brought back after
   * the shutdown stopped the task would keep a chain call waiting for room,
   * and the sink pad's deactivation waiting for that call. */
  if (gst_tollamar_may_restart_task (self)) {
    self->flow_return = GST_FLOW_OK;
    gst_pad_start_task (self->srcpad, gst_tollamar_src_loop, self->srcpad,
        NULL);
  }
  /* Flush-stop may come without flush-start (GStreamer drops a flush-start
   * that meets a flushing pad): a chain call waiting for room finds the
   * queue empty now, and a task waiting on the clock or for PLAYING looks
   * again at once. */
  gst_tollamar_wake_all (self);
  gst_tollamar_unlock (self);
}

/* Sink pad */

/* with LOCK: the first buffer after going to PLAYING releases the output
 * task, even when it is refused itself. */
static void
gst_tollamar_release_at_first_buffer (GstTollamar * self)
{
  if (self->skip_to_first && !self->got_first) {
    self->got_first = TRUE;
    self->resync = TRUE;
    self->waiting = FALSE;
    g_cond_broadcast (&self->start_cond);
  }
}

static GstFlowReturn
gst_tollamar_sink_chain (GstPad * pad, GstObject * parent, GstBuffer * buffer)
{
  GstTollamar *self = GST_TOLLAMAR (parent);
  GstFlowReturn ret;
  gboolean queued = FALSE;

  (void) pad;
  GST_DEBUG_OBJECT (self, "Handling buffer %" GST_PTR_FORMAT, buffer);

  gst_tollamar_lock (self);
  while (self->flow_return == GST_FLOW_OK) {
    if (self->queued_duration <= self->max_lateness) {
      gst_queue_array_push_tail (self->queue, buffer);
      queued = TRUE;
      gst_tollamar_update_queued_duration (self);
      /* An output task idling on the clock looks at the new buffer now. */
      gst_tollamar_wake_task (self);
      break;
    }
    GST_DEBUG_OBJECT (self, "Waiting for queue to empty %" GST_TIME_FORMAT
        " > %" GST_TIME_FORMAT, GST_TIME_ARGS (self->queued_duration),
        GST_TIME_ARGS (self->max_lateness));
    /* Buffers queued while PAUSED can fill the queue before PLAYING: the
     * task must be released now, or it holds until this buffer is queued
     * while this call waits for the task to make room. */
    gst_tollamar_release_at_first_buffer (self);
    gst_tollamar_wait (self, &self->queue_cond);
  }
  ret = self->flow_return;
  if (!queued)
    gst_buffer_unref (buffer);
  gst_tollamar_release_at_first_buffer (self);
  gst_tollamar_unlock (self);

  return ret;
}

/* Takes the lock itself. */
void
gst_tollamar_stop_flow (GstTollamar * self)
{
  gst_tollamar_lock (self);
  self->flow_return = GST_FLOW_FLUSHING;
  gst_tollamar_wake_all (self);
  gst_tollamar_unlock (self);
}

/* with LOCK */
static void
gst_tollamar_queue_event (GstTollamar * self, GstEvent * event)
{
  gst_queue_array_push_tail (self->queue, event);
  gst_tollamar_wake_task (self);
}

static gboolean
gst_tollamar_sink_event (GstPad * pad, GstObject * parent, GstEvent * event)
{
  GstTollamar *self = GST_TOLLAMAR (parent);

  GST_LOG_OBJECT (pad, "Got %s event", GST_EVENT_TYPE_NAME (event));

  switch (GST_EVENT_TYPE (event)) {
    case GST_EVENT_FLUSH_START:
      gst_tollamar_stop_flow (self);
      return gst_pad_event_default (pad, parent, event);
    case GST_EVENT_FLUSH_STOP:
      /* Downstream gets the flush-stop through the restarted task. */
      gst_tollamar_flush_stop (self, event);
      return TRUE;
    case GST_EVENT_GAP:
      /* The element fills gaps with content of its own. */
      GST_DEBUG_OBJECT (self, "Dropping gap event");
      gst_event_unref (event);
      return TRUE;
    default:
      break;
  }

  /* GST_EVENT_IS_SERIALIZED mixes two enumerations, which C++20 deprecates. */
  if (!(gst_event_type_get_flags (GST_EVENT_TYPE (event))
          & GST_EVENT_TYPE_SERIALIZED))
    return gst_pad_event_default (pad, parent, event);

  /* Queued whatever the flow state: no event is refused. */
  gst_tollamar_lock (self);
  gst_tollamar_queue_event (self, event);
  gst_tollamar_unlock (self);
  return TRUE;
}

static gboolean
gst_tollamar_sink_query (GstPad * pad, GstObject * parent, GstQuery * query)
{
  GST_LOG_OBJECT (pad, "Handling query of type '%s'",
      GST_QUERY_TYPE_NAME (query));

  /* Buffers are held across the element for a while; upstream allocates by
   * its own defaults rather than from a downstream pool. */
  if (GST_QUERY_TYPE (query) == GST_QUERY_ALLOCATION) {
    GST_DEBUG_OBJECT (pad, "Dropping query");
    return FALSE;
  }
  return gst_pad_query_default (pad, parent, query);
}

/* with LOCK. Buffers without a PTS are passed over: they have no place on
 * the timeline, and counting one would make the span meaningless. */
void
gst_tollamar_update_queued_duration (GstTollamar * self)
{
  guint n = gst_queue_array_get_length (self->queue);
  GstBuffer *first = NULL;
  GstBuffer *last = NULL;
  GstClockTime start, end;

  for (guint i = 0; i < n; i++) {
    GstMiniObject *item =
        (GstMiniObject *) gst_queue_array_peek_nth (self->queue, i);
    if (!GST_IS_BUFFER (item))
      continue;
    if (!GST_BUFFER_PTS_IS_VALID (GST_BUFFER_CAST (item)))
      continue;
    if (!first)
      first = GST_BUFFER_CAST (item);
    last = GST_BUFFER_CAST (item);
  }

  if (!first) {
    self->queued_duration = 0;
    return;
  }

  start = GST_BUFFER_PTS (first);
  end = GST_BUFFER_PTS (last);
  if (GST_BUFFER_DURATION_IS_VALID (last))
    end += GST_BUFFER_DURATION (last);
  self->queued_duration = end >= start ? end - start : 0;

  GST_DEBUG_OBJECT (self, "Updated queued duration: %" GST_TIME_FORMAT
      "(%" GST_TIME_FORMAT " - %" GST_TIME_FORMAT ")",
      GST_TIME_ARGS (self->queued_duration), GST_TIME_ARGS (start),
      GST_TIME_ARGS (end));
}

/* Source pad */

/* @a + @b, at most the largest time that is not "none". */
static GstClockTime
gst_tollamar_latency_sum (GstClockTime a, GstClockTime b)
{
  const GstClockTime largest = GST_CLOCK_TIME_NONE - 1;

  if (a > largest || b > largest - a)
    return largest;
  return a + b;
}

static gboolean
gst_tollamar_src_query (GstPad * pad, GstObject * parent, GstQuery * query)
{
  GstTollamar *self = GST_TOLLAMAR (parent);

  GST_LOG_OBJECT (pad, "Handling query of type '%s'",
      GST_QUERY_TYPE_NAME (query));

  switch (GST_QUERY_TYPE (query)) {
    case GST_QUERY_LATENCY:{
      gboolean live;
      GstClockTime min, max;

      if (!gst_pad_peer_query (self->sinkpad, query)) {
        GST_ERROR_OBJECT (self, "Failed to query latency");
        return FALSE;
      }
      gst_query_parse_latency (query, &live, &min, &max);
      GST_DEBUG_OBJECT (self, "Upstream latency: live %d min %"
          GST_TIME_FORMAT " max %" GST_TIME_FORMAT, live,
          GST_TIME_ARGS (min), GST_TIME_ARGS (max));

      /* "max-lateness" may be as large as a guint64: the sums saturate
       * rather than wrap, the minimum short of "none" (which a latency
       * answer may not carry), the maximum at "none", that is unbounded. */
      gst_tollamar_lock (self);
      if (live) {
        min = gst_tollamar_latency_sum (min, self->max_lateness);
        if (GST_CLOCK_TIME_IS_VALID (max))
          max = max < GST_CLOCK_TIME_NONE - self->max_lateness ?
              max + self->max_lateness : GST_CLOCK_TIME_NONE;
        self->latency = min;
      } else {
        min = gst_tollamar_latency_sum (0, self->max_lateness);
        max = GST_CLOCK_TIME_NONE;
        self->latency = 0;
      }
      gst_tollamar_unlock (self);

      GST_DEBUG_OBJECT (self, "Our latency: live %d min %" GST_TIME_FORMAT
          " max %" GST_TIME_FORMAT, 1, GST_TIME_ARGS (min),
          GST_TIME_ARGS (max));
      gst_query_set_latency (query, TRUE, min, max);
      return TRUE;
    }
    case GST_QUERY_SEEKING:
      gst_query_set_seeking (query, GST_FORMAT_TIME, FALSE, 0,
          GST_CLOCK_TIME_NONE);
      return TRUE;
    default:
      return gst_pad_query_default (pad, parent, query);
  }
}

/* State changes */

/* with LOCK. PAUSED to PLAYING without skip-to-first: anchor the output
 * grid at the running time of this moment. The frame count and the
 * distortion start over with the new base, so that a resumed element does
 * not burst out catch-up gap buffers for the time it spent paused.
 * Returns FALSE when the element has no clock to anchor on. */
static gboolean
gst_tollamar_anchor_at_play (GstTollamar * self)
{
  GstClock *clock = gst_element_get_clock (GST_ELEMENT (self));
  GstClockTime base_time, now, running_time;

  if (!clock)
    return FALSE;
  base_time = gst_element_get_base_time (GST_ELEMENT (self));
  now = gst_clock_get_time (clock);
  gst_object_unref (clock);
  running_time = now > base_time ? now - base_time : 0;

  self->next_running_time = running_time;
  self->base_running_time = running_time;
  self->frame_index = 0;
  self->distortion = 1.0;
  self->filling = FALSE;
  self->waiting = FALSE;
  g_cond_broadcast (&self->start_cond);
  return TRUE;
}

static GstStateChangeReturn
gst_tollamar_change_state (GstElement * element, GstStateChange transition)
{
  GstTollamar *self = GST_TOLLAMAR (element);
  GstStateChangeReturn ret;

  switch (transition) {
    case GST_STATE_CHANGE_READY_TO_PAUSED:
      gst_tollamar_reset (self, FALSE);
      gst_tollamar_lock (self);
      self->flow_return = GST_FLOW_OK;
      /* The task starts holding on start_cond until PLAYING. */
      self->waiting = TRUE;
      gst_pad_start_task (self->srcpad, gst_tollamar_src_loop, self->srcpad,
          NULL);
      gst_tollamar_unlock (self);
      break;
    case GST_STATE_CHANGE_PAUSED_TO_READY:
      gst_tollamar_lock (self);
      self->flow_return = GST_FLOW_FLUSHING;
      self->waiting = FALSE;
      if (self->clock_id)
        GST_DEBUG_OBJECT (self, "unlock clock wait");
      gst_tollamar_wake_all (self);
      gst_tollamar_unlock (self);
      gst_tollamar_reset (self, FALSE);
      gst_pad_stop_task (self->srcpad);
      break;
    case GST_STATE_CHANGE_PAUSED_TO_PLAYING:{
      gboolean anchored = TRUE;

      gst_tollamar_lock (self);
      if (self->skip_to_first) {
        /* The next buffer anchors the grid. A buffer that came while PAUSED
         * may have released the task already; it then still waited for the
         * clock, which the element has only now: wake it to look again. */
        self->got_first = FALSE;
        g_cond_broadcast (&self->start_cond);
        /* A chain call that has waited for room since PAUSED is the first
         * buffer now: it must look again and release the task. */
        g_cond_broadcast (&self->queue_cond);
      } else {
        anchored = gst_tollamar_anchor_at_play (self);
      }
      gst_tollamar_unlock (self);

      if (!anchored) {
        GST_ELEMENT_ERROR (self, CORE, CLOCK,
            ("The element needs a clock to pace its output."),
            ("No clock at PAUSED to PLAYING and skip-to-first is off"));
        return GST_STATE_CHANGE_FAILURE;
      }
      break;
    }
    default:
      break;
  }

  ret = parent_class->change_state (element, transition);

  switch (transition) {
    case GST_STATE_CHANGE_PLAYING_TO_PAUSED:
      /* The task finishes its current pass and holds at the next one. */
      gst_tollamar_lock (self);
      self->waiting = TRUE;
      gst_tollamar_unlock (self);
      if (ret == GST_STATE_CHANGE_SUCCESS)
        ret = GST_STATE_CHANGE_NO_PREROLL;
      break;
    case GST_STATE_CHANGE_READY_TO_PAUSED:
      if (ret == GST_STATE_CHANGE_SUCCESS)
        ret = GST_STATE_CHANGE_NO_PREROLL;
      break;
    default:
      break;
  }
  return ret;
}
