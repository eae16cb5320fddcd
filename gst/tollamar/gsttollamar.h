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

  /* Set by the instance initialiser and never changed. */
  GstPad *sinkpad;
  GstPad *srcpad;

  /* Guards every field below it. Never held across a push, a peer query or
   * a clock wait. */
  GMutex lock;
  GstQueueArray *queue;               /* LOCK: buffers and serialized events */
  GstClockTime queued_duration;       /* LOCK: span of the queued buffers */
  gboolean have_stream_start;         /* LOCK */
  GstSegment segment;                 /* LOCK: output segment */
  GstAudioInfo audio_info;            /* LOCK: audio element only */
  GstVideoInfo video_info;            /* LOCK: video element only */
  GstClockTime next_running_time;     /* LOCK: when the next output is due */
  GstClockTime base_running_time;     /* LOCK: slot 0 of the grid */
  GstClockTime latency;               /* LOCK: from the latency query */
  gdouble distortion;                 /* LOCK */
  GstBuffer *last_buffer;             /* LOCK: owned; video only */
  GstBuffer *black_buffer;            /* LOCK: owned; video only */
  GstFlowReturn flow_return;          /* LOCK */
  gboolean waiting;                   /* LOCK: the task is held */
  GCond start_cond;                   /* with LOCK: the task waits to start */
  GstClockID clock_id;                /* LOCK: the task's clock wait */
  GCond queue_cond;                   /* with LOCK: chain waits for room */

  guint64 max_lateness;               /* LOCK: property */
  GstLiveVideoRateFillMode fill_mode; /* LOCK: property */
  guint32 frame_index;                /* LOCK: next slot of the grid */
  gboolean filling;                   /* LOCK */
  gboolean skip_to_first;             /* LOCK: property */
  gboolean got_first;                 /* LOCK */
  gboolean resync;                    /* LOCK */
  gint fps_n;                         /* LOCK: pacing rate */
  gint fps_d;                         /* LOCK */

  /* LOCK. Counts resets. The output task notes the count when a pass
   * begins: a pass that a flush overtook while the lock was released drops
   * what it computed instead of applying it to the stream that follows the
   * flush. */
  guint32 reset_count;
  guint32 pass_reset_count;

  /* LOCK. The rate the grid counts its slots in, taken from the pacing rate
   * only at the start of a pass (0/0 until the first): a rate set while the
   * task waits for a slot must not change the slot under it. Outlives
   * resets, like the properties. */
  guint64 grid_fps_n;
  guint64 grid_fps_d;
  /* LOCK. A zero pacing rate has been warned about; cleared when the rate
   * is usable again, so that a second drop to zero warns again. */
  gboolean zero_rate_warned;
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

/* with LOCK: the output task looks again at once if it waits on the clock. */
static inline void
gst_tollamar_wake_task (GstTollamar * self)
{
  if (self->clock_id)
    gst_clock_id_unschedule (self->clock_id);
}

/* with LOCK: every wait in the element looks again at once: the output task
 * held at its start or waiting on the clock, and a chain call waiting for
 * room in the queue. */
static inline void
gst_tollamar_wake_all (GstTollamar * self)
{
  g_cond_broadcast (&self->start_cond);
  g_cond_broadcast (&self->queue_cond);
  gst_tollamar_wake_task (self);
}

/* Takes the lock itself. Flush-start from either side: data is refused and
 * every wait ends, so that a blocked chain call returns FLUSHING and the
 * output task leaves its wait and pauses. */
void gst_tollamar_stop_flow (GstTollamar * self);

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

/* with LOCK, released around the push: forwards a queued event downstream,
 * noting what it tells about the stream. FALSE when the task must pause
 * with *@ret. */
gboolean gst_tollamar_src_loop_event (GstTollamar * self, GstEvent * event,
    GstFlowReturn * ret);

/* with LOCK */
GstBuffer *gst_tollamar_create_black_image (GstTollamar * self);

/* with LOCK */
GstBuffer *gst_tollamar_create_silence (GstTollamar * self,
    GstClockTime * start, GstClockTime * next);

#endif /* GST_TOLLAMAR_H */
