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

/* with LOCK: offset of slot @n from the base, rounded down. */
GstClockTime gst_tollamar_nominal (GstTollamar * self, guint32 n);

/* with LOCK: base + nominal(@n); the base must be known. */
GstClockTime gst_tollamar_slot (GstTollamar * self, guint32 n);

/* with LOCK: base + nominal(@n) x distortion; the base must be known. */
GstClockTime gst_tollamar_distorted (GstTollamar * self, guint32 n);

/* with LOCK: a gap video buffer of @duration, sharing the memory of the last
 * frame or of the cached black frame; NULL when no black frame can be made
 * (an error message has been posted then). */
GstBuffer *gst_tollamar_create_video_gap (GstTollamar * self,
    GstClockTime duration);

/* with LOCK: stores the result of a push that was made without the lock and
 * returns the result the caller must act on. A flush that started during the
 * push wins over the push result, so it is never lost. */
GstFlowReturn gst_tollamar_store_push_result (GstTollamar * self,
    GstFlowReturn ret);

/* with LOCK: the element is READY or below, or on its way there. */
gboolean gst_tollamar_shutting_down (GstTollamar * self);

/* with LOCK: whether a flush-stop may set the flow back to OK and start the
 * task again. Not while the element is going down to READY: the shutdown
 * stops the task before the pads are deactivated, and a task started after
 * that would keep a blocked chain call, and with it the deactivation,
 * waiting for ever. */
gboolean gst_tollamar_may_restart_task (GstTollamar * self);

G_END_DECLS

#endif /* GST_TOLLAMAR_OUTPUT_H */
