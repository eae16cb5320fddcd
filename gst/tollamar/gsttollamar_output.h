/* Internal operations of the output side of liveaudiorate / livevideorate:
 * the frame grid, gap content and the pieces the task loop shares between
 * its source files. Not part of the plug-in's interface.
 */
#ifndef GST_TOLLAMAR_OUTPUT_H
#define GST_TOLLAMAR_OUTPUT_H

#include "gsttollamar.h"

G_BEGIN_DECLS

/* with LOCK: the frame rate that paces the output. A zero numerator (variable
 * rate caps, "fill-framerate" 0/1) has no slot length, so the element paces at
 * 25/1 instead and says so once with a WARNING. */
void gst_tollamar_pacing_rate (GstTollamar * self, guint64 * n, guint64 * d);

/* with LOCK: lets the grid take the pacing rate, starting it again at the
 * next due time if the rate changed. The grid counts in one rate between
 * calls, which come at the start of a pass and when the element invents its
 * own caps. */
void gst_tollamar_follow_rate (GstTollamar * self);

/* with LOCK: offset of slot @n from the base, rounded down. */
GstClockTime gst_tollamar_nominal (GstTollamar * self, guint32 n);

/* with LOCK: base + nominal(@n) x distortion; the base must be known. */
GstClockTime gst_tollamar_distorted (GstTollamar * self, guint32 n);

/* with LOCK: a gap video buffer of @duration, sharing the memory of the last
 * frame or of the cached black frame; NULL when no black frame can be made
 * (an error message has been posted then). */
GstBuffer *gst_tollamar_create_video_gap (GstTollamar * self,
    GstClockTime duration);

/* with LOCK, re-taken after a push that was made without it: counts the
 * slot, stores the push result and returns the result the caller must act
 * on. A flush that started during the push wins over the push result, so it
 * is never lost; after a flush-stop reset the element meanwhile, the push
 * belonged to the stream before the flush and changes nothing. */
GstFlowReturn gst_tollamar_after_push (GstTollamar * self, GstFlowReturn ret);

/* with LOCK, released around the push: pushes @buf (owned) downstream and
 * returns what gst_tollamar_after_push makes of the result. */
GstFlowReturn gst_tollamar_push_buffer (GstTollamar * self, GstBuffer * buf);

/* with LOCK, released around the push: pushes @event (owned) downstream and
 * returns whether downstream took it. */
gboolean gst_tollamar_push_event (GstTollamar * self, GstEvent * event);

/* with LOCK, released around the push: pushes @event (owned) downstream for
 * the task's pass. FALSE, with *@ret FLUSHING, when a flush interrupted the
 * pass meanwhile. */
gboolean gst_tollamar_send_event (GstTollamar * self, GstEvent * event,
    GstFlowReturn * ret);

/* with LOCK: this pass of the output task began before the latest reset. */
gboolean gst_tollamar_pass_is_stale (GstTollamar * self);

/* with LOCK: the task must end its pass as it does when flushing: a flush
 * started, or a flush-stop reset the element, since the pass began. */
gboolean gst_tollamar_pass_interrupted (GstTollamar * self);

/* Takes the lock itself. Flush-stop from either side: empties the queue and
 * the pacing state, keeps the format, queues @forward (owned, or NULL) for
 * the task to send downstream, lets data flow again and restarts the task,
 * all in one step, so that no thread sees a state in between. Without
 * @forward, an upstream flush-stop that was still queued is kept. */
void gst_tollamar_flush_stop (GstTollamar * self, GstEvent * forward);

/* with LOCK: the element is READY or below, or on its way there. */
gboolean gst_tollamar_shutting_down (GstTollamar * self);

/* with LOCK: whether a flush-stop may set the flow back to OK and start the
 * task again. Not while the element is going down to READY: the shutdown
 * stops the task before the pads are deactivated, and a task started after
 * that would keep a blocked chain call, and with it the deactivation,
 * waiting for ever. */
gboolean gst_tollamar_may_restart_task (GstTollamar * self);

/* with LOCK: starts a new grid, with its first slot at @running_time. */
void gst_tollamar_anchor (GstTollamar * self, GstClockTime running_time);

/* with LOCK: running time of @ts in the output segment. */
GstClockTime gst_tollamar_running_time (GstTollamar * self, GstClockTime ts);

/* with LOCK: the timestamp of @running_time on the output segment. */
GstClockTime gst_tollamar_gap_timestamp (GstTollamar * self,
    GstClockTime running_time);

/* with LOCK: whether the output may be filled up to a buffer at @w. If it
 * lags too far behind, the timestamps jumped: the grid starts again at @w
 * instead, *@buf is marked DISCONT, and the answer is FALSE. */
gboolean gst_tollamar_catches_up_to (GstTollamar * self, GstBuffer ** buf,
    GstClockTime w);

/* with LOCK, released around the pushes: gap buffers from the next due
 * time up to @until. FALSE when the task must pause with *@ret. */
gboolean gst_tollamar_catch_up (GstTollamar * self, GstClockTime until,
    GstFlowReturn * ret);

/* What the output task does with a queued audio buffer. */
typedef enum {
  GST_TOLLAMAR_PLACE_PUSH,
  GST_TOLLAMAR_PLACE_DROP,
  GST_TOLLAMAR_PLACE_FAIL,
} GstTollamarPlacement;

/* with LOCK: the audio format is known, so samples can be counted. */
gboolean gst_tollamar_audio_is_known (GstTollamar * self);

/* with LOCK, released around the gap pushes it makes: fits a real audio
 * buffer onto the output's sample timeline (see gsttollamar_audio.cpp). */
GstTollamarPlacement gst_tollamar_place_audio (GstTollamar * self,
    GstBuffer ** buf, GstFlowReturn * ret);

G_END_DECLS

#endif /* GST_TOLLAMAR_OUTPUT_H */
