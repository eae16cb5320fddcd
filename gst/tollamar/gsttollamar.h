/* liveaudiorate / livevideorate: turn a live but irregular raw stream into a
 * continuous one paced by the pipeline clock.
 *
 * Both element types share this instance structure and one implementation;
 * behaviour differs only where the code asks gst_tollamar_is_video().
 */
#ifndef GST_TOLLAMAR_H
#define GST_TOLLAMAR_H

#include <gst/gst.h>
#include <gst/base/gstqueuearray.h>
#include <gst/audio/audio.h>
#include <gst/video/video.h>

#ifdef NERKO_TSAN
#include <sanitizer/tsan_interface.h>
#endif

G_BEGIN_DECLS

typedef enum {
  GST_LIVE_VIDEO_RATE_FILL_MODE_LAST_FRAME = 0,
  GST_LIVE_VIDEO_RATE_FILL_MODE_BLACK = 1,
} GstLiveVideoRateFillMode;

typedef struct _GstTollamar {
  GstElement parent;

  GstPad *sinkpad;
  GstPad *srcpad;

  GMutex lock;
  GstQueueArray *queue;
  GstClockTime queued_duration;
  gboolean have_stream_start;
  GstSegment segment;
  GstAudioInfo audio_info;
  GstVideoInfo video_info;
  GstClockTime next_running_time;
  GstClockTime base_running_time;
  GstClockTime latency;
  gdouble distortion;
  GstBuffer *last_buffer;
  GstBuffer *black_buffer;
  GstFlowReturn flow_return;
  gboolean waiting;
  GCond start_cond;
  GstClockID clock_id;
  GCond queue_cond;

  guint64 max_lateness;
  GstLiveVideoRateFillMode fill_mode;
  guint32 frame_index;
  gboolean filling;
  gboolean skip_to_first;
  gboolean got_first;
  gboolean resync;
  gint fps_n;
  gint fps_d;

  /* Counts resets. The output task notes the count when a pass begins: a
   * pass that a flush overtook while the lock was released drops what it
   * computed instead of applying it to the stream that follows the flush. */
  guint32 reset_count;
  guint32 pass_reset_count;
} GstTollamar;

typedef struct _GstTollamarClass {
  GstElementClass parent_class;
} GstTollamarClass;

/* Exported entry points and type getters. */
const GstPluginDesc *gst_plugin_tollamar_get_desc (void);
void gst_plugin_tollamar_register (void);
GType gst_live_audio_rate_get_type (void);
GType gst_live_video_rate_get_type (void);
GType gst_live_video_rate_fill_mode_get_type (void);

G_END_DECLS

#define GST_TYPE_LIVE_AUDIO_RATE (gst_live_audio_rate_get_type ())
#define GST_TYPE_LIVE_VIDEO_RATE (gst_live_video_rate_get_type ())
#define GST_TYPE_LIVE_VIDEO_RATE_FILL_MODE (gst_live_video_rate_fill_mode_get_type ())
#define GST_TOLLAMAR(obj) ((GstTollamar *) (obj))

GST_DEBUG_CATEGORY_EXTERN (gst_tollamar_debug);

/* Internal operations shared by the element's source files. */

static inline gboolean
gst_tollamar_is_video (GstTollamar * self)
{
  return G_OBJECT_TYPE (self) == GST_TYPE_LIVE_VIDEO_RATE;
}

/* The element lock. GLib's mutexes and conditions are futex based, which
 * ThreadSanitizer cannot see, so the sanitizer build tells it about them. */
static inline void
gst_tollamar_lock (GstTollamar * self)
{
#ifdef NERKO_TSAN
  __tsan_mutex_pre_lock (&self->lock, 0);
#endif
  g_mutex_lock (&self->lock);
#ifdef NERKO_TSAN
  __tsan_mutex_post_lock (&self->lock, 0, 0);
#endif
}

static inline void
gst_tollamar_unlock (GstTollamar * self)
{
#ifdef NERKO_TSAN
  __tsan_mutex_pre_unlock (&self->lock, 0);
#endif
  g_mutex_unlock (&self->lock);
#ifdef NERKO_TSAN
  __tsan_mutex_post_unlock (&self->lock, 0);
#endif
}

/* with LOCK: waits on @cond, releasing the lock meanwhile */
static inline void
gst_tollamar_wait (GstTollamar * self, GCond * cond)
{
#ifdef NERKO_TSAN
  __tsan_mutex_pre_unlock (&self->lock, 0);
  __tsan_mutex_post_unlock (&self->lock, 0);
#endif
  g_cond_wait (cond, &self->lock);
#ifdef NERKO_TSAN
  __tsan_mutex_pre_lock (&self->lock, 0);
  __tsan_mutex_post_lock (&self->lock, 0, 0);
#endif
}

/* Takes the lock itself. */
void gst_tollamar_reset (GstTollamar * self, gboolean keep_caps);

/* with LOCK */
void gst_tollamar_reset_locked (GstTollamar * self, gboolean keep_caps);

/* with LOCK */
void gst_tollamar_update_queued_duration (GstTollamar * self);

/* The output task; @user_data is the source pad. */
void gst_tollamar_src_loop (gpointer user_data);

gboolean gst_tollamar_src_event (GstPad * pad, GstObject * parent,
    GstEvent * event);

/* with LOCK; released only around the push. The gap ends at the next slot
 * or at @limit (none: no limit), whichever comes first. */
gboolean gst_tollamar_push_next_gap_buffer (GstTollamar * self,
    GstClockTime limit, GstFlowReturn * ret);

/* with LOCK; released around pushes and queries, held on return */
gboolean gst_tollamar_ensure_output (GstTollamar * self, GstFlowReturn * ret);

/* with LOCK; always returns with the lock released */
gboolean gst_tollamar_src_loop_event (GstTollamar * self, GstEvent * event,
    GstFlowReturn * ret);

/* with LOCK */
GstBuffer *gst_tollamar_create_black_image (GstTollamar * self);

/* with LOCK */
GstBuffer *gst_tollamar_create_silence (GstTollamar * self,
    GstClockTime * start, GstClockTime * next);

#endif /* GST_TOLLAMAR_H */
