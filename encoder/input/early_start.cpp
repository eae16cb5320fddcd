#include "encoder/input/early_start.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "encoder/input/input_activity.h"

namespace nerko {
namespace {

// The first second is not judged: linking and the decoders' start hold the
// demuxer's thread then, which says nothing of the sender's spread.
constexpr GstClockTime kSettle = 1 * GST_SECOND;
// Enough frames to see a sender's spread (50 frames and 100 audio packets at
// 25 fps), and settled before an audience has watched for long.
constexpr GstClockTime kWatch = 2 * GST_SECOND;
// A median this late is a stalled start, not a sender's spread: keeping it
// for the whole run would cost more than the late frames it saves.
constexpr GstClockTime kMost = 200 * GST_MSECOND;
// A median of this many frames is as good as of all, and an input that is
// not live (a file read as fast as it decodes) cannot grow the watch
// without end.
constexpr size_t kMostFrames = 4096;

// Shared by the demuxer's source pads (the demuxer's streaming thread) and
// the latency queries that reach them (any thread).
struct StartWatch {
  std::mutex lock;
  GstClockTime first = GST_CLOCK_TIME_NONE;  // the clock's running time at the first frame
  std::vector<GstClockTimeDiff> lateness;    // of each frame in the watched seconds
  bool settled = false;
  GstClockTime added = 0;  // to the latency the source pads answer
};

using SharedWatch = std::shared_ptr<StartWatch>;

void forget_watch(gpointer data) { delete static_cast<SharedWatch *>(data); }

void forget_watch_closure(gpointer data, GClosure *) { forget_watch(data); }

// The clock's running time now, and how late `buffer` leaves `pad` against
// its own running time; false where either cannot be told.
bool lateness_of(GstPad *pad, GstBuffer *buffer, GstClockTime &now, GstClockTimeDiff &late) {
  GstElement *demuxer = GST_ELEMENT(GST_PAD_PARENT(pad));
  const GstClockTime stamp = GST_BUFFER_DTS_OR_PTS(buffer);
  if (!demuxer || !GST_CLOCK_TIME_IS_VALID(stamp))
    return false;
  now = running_time_now(demuxer);
  const GstClockTime running = stamp_running_time(pad, stamp);
  if (!GST_CLOCK_TIME_IS_VALID(now) || !GST_CLOCK_TIME_IS_VALID(running))
    return false;
  late = GST_CLOCK_DIFF(running + gst_pad_get_offset(pad), now);
  return true;
}

// What the watched frames ask to be added: the median frame's lateness, in whole
// milliseconds, at most kMost.
GstClockTime correction_for(std::vector<GstClockTimeDiff> &lateness) {
  if (lateness.empty())
    return 0;
  auto middle = lateness.begin() + lateness.size() / 2;
  std::nth_element(lateness.begin(), middle, lateness.end());
  const GstClockTimeDiff median = *middle;
  if (median <= 0)
    return 0;
  const GstClockTime whole = (median + GST_MSECOND - 1) / GST_MSECOND * GST_MSECOND;
  return std::min(whole, kMost);
}

GstPadProbeReturn on_buffer(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  StartWatch &watch = **static_cast<SharedWatch *>(data);
  GstClockTime now = 0;
  GstClockTimeDiff late = 0;
  if (!lateness_of(pad, GST_PAD_PROBE_INFO_BUFFER(info), now, late))
    return GST_PAD_PROBE_OK;
  {
    std::lock_guard<std::mutex> hold(watch.lock);
    if (watch.settled)
      return GST_PAD_PROBE_REMOVE;
    if (!GST_CLOCK_TIME_IS_VALID(watch.first))
      watch.first = now;
    if (now < watch.first + kSettle)
      return GST_PAD_PROBE_OK;
    if (now < watch.first + kSettle + kWatch) {
      if (watch.lateness.size() < kMostFrames)
        watch.lateness.push_back(late);
      return GST_PAD_PROBE_OK;
    }
    watch.settled = true;
    watch.added = correction_for(watch.lateness);
    watch.lateness = {};
    if (watch.added == 0)
      return GST_PAD_PROBE_REMOVE;
  }
  // The pipeline queries its latency again, and the senders wait the more.
  if (GstElement *demuxer = GST_ELEMENT(GST_PAD_PARENT(pad)))
    gst_element_post_message(demuxer, gst_message_new_latency(GST_OBJECT(demuxer)));
  return GST_PAD_PROBE_REMOVE;
}

GstPadProbeReturn on_latency_answered(GstPad *, GstPadProbeInfo *info, gpointer data) {
  GstQuery *query = GST_PAD_PROBE_INFO_QUERY(info);
  if (!(GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_PULL) || GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return GST_PAD_PROBE_OK;
  StartWatch &watch = **static_cast<SharedWatch *>(data);
  GstClockTime added = 0;
  {
    std::lock_guard<std::mutex> hold(watch.lock);
    added = watch.added;
  }
  gboolean live = FALSE;
  GstClockTime least = 0, most = GST_CLOCK_TIME_NONE;
  gst_query_parse_latency(query, &live, &least, &most);
  if (live && added > 0)
    gst_query_set_latency(query, live, least + added, GST_CLOCK_TIME_IS_VALID(most) ? most + added : most);
  return GST_PAD_PROBE_OK;
}

void on_pad_added(GstElement *, GstPad *pad, gpointer data) {
  if (!GST_PAD_IS_SRC(pad))
    return;
  const SharedWatch &watch = *static_cast<SharedWatch *>(data);
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, on_buffer, new SharedWatch(watch), forget_watch);
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_QUERY_UPSTREAM, on_latency_answered, new SharedWatch(watch),
                    forget_watch);
}

}  // namespace

void correct_early_start(GstElement *demuxer) {
  g_signal_connect_data(demuxer, "pad-added", G_CALLBACK(on_pad_added), new SharedWatch(std::make_shared<StartWatch>()),
                        forget_watch_closure, GConnectFlags(0));
}

}  // namespace nerko
