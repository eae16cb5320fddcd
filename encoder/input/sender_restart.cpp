#include "encoder/input/sender_restart.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "encoder/input/input_activity.h"

namespace nerko {
namespace {

// Further than a sender's spread and a network's jitter ever move a frame.
constexpr GstClockTimeDiff kLeap = 1 * GST_SECOND;
// Frames whose median lateness a new run is given.
constexpr size_t kRecent = 15;

// Shared by the demuxer's source pads; their streaming thread is the
// demuxer's, but "no-more-pads" and "pad-added" may come from another.
struct Timeline {
  std::mutex lock;
  bool first_program_announced = false;
  GstClockTimeDiff shift = 0;  // added to the stamps of the sender's current run
  std::array<GstClockTimeDiff, kRecent> recent{};
  size_t seen = 0;

  GstClockTimeDiff typical_lateness() const {
    const size_t count = std::min(seen, kRecent);
    if (count == 0)
      return 0;
    std::array<GstClockTimeDiff, kRecent> sorted = recent;
    auto middle = sorted.begin() + count / 2;
    std::nth_element(sorted.begin(), middle, sorted.begin() + count);
    return *middle;
  }
};

using SharedTimeline = std::shared_ptr<Timeline>;

// One per source pad; only its streaming thread touches it.
struct PadTime {
  SharedTimeline timeline;
  bool of_new_program;
  bool started = false;
  GstClockTimeDiff shift = 0;
  GstClockTimeDiff last_running = 0;  // before the shift
};

GstClockTime shifted(GstClockTime stamp, GstClockTimeDiff shift) {
  if (!GST_CLOCK_TIME_IS_VALID(stamp))
    return stamp;
  const GstClockTimeDiff moved = static_cast<GstClockTimeDiff>(stamp) + shift;
  return moved > 0 ? static_cast<GstClockTime>(moved) : 0;
}

GstPadProbeReturn on_buffer(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  PadTime &time = *static_cast<PadTime *>(data);
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  const GstClockTime stamp = GST_BUFFER_DTS_OR_PTS(buffer);
  GstElement *demuxer = GST_ELEMENT(GST_PAD_PARENT(pad));
  const GstClockTime now = demuxer ? running_time_now(demuxer) : GST_CLOCK_TIME_NONE;
  const GstClockTime running = GST_CLOCK_TIME_IS_VALID(stamp) ? stamp_running_time(pad, stamp) : GST_CLOCK_TIME_NONE;
  if (GST_CLOCK_TIME_IS_VALID(now) && GST_CLOCK_TIME_IS_VALID(running)) {
    const auto at = static_cast<GstClockTimeDiff>(now), stamped = static_cast<GstClockTimeDiff>(running);
    // Not a leap ahead: a file read faster than the clock, or a sparse
    // stream, runs ahead of it without any new run.
    const bool leap = time.started ? stamped < time.last_running - kLeap : time.of_new_program;
    Timeline &timeline = *time.timeline;
    std::lock_guard<std::mutex> hold(timeline.lock);
    if (leap) {
      // The pad that sees the new run first moves the timeline; the others
      // take the same move when their own frames show the same run.
      const GstClockTimeDiff wanted = at - stamped - timeline.typical_lateness();
      if (std::llabs(wanted - timeline.shift) >= kLeap)
        timeline.shift = wanted;
      time.shift = timeline.shift;
    }
    timeline.recent[timeline.seen++ % kRecent] = at - (stamped + time.shift);
    time.started = true;
    time.last_running = stamped;
  }
  if (time.shift == 0)
    return GST_PAD_PROBE_OK;
  buffer = gst_buffer_make_writable(buffer);
  GST_BUFFER_PTS(buffer) = shifted(GST_BUFFER_PTS(buffer), time.shift);
  GST_BUFFER_DTS(buffer) = shifted(GST_BUFFER_DTS(buffer), time.shift);
  GST_PAD_PROBE_INFO_DATA(info) = buffer;
  return GST_PAD_PROBE_OK;
}

void on_pad_added(GstElement *, GstPad *pad, gpointer data) {
  if (!GST_PAD_IS_SRC(pad))
    return;
  const SharedTimeline &timeline = *static_cast<SharedTimeline *>(data);
  bool of_new_program;
  {
    std::lock_guard<std::mutex> hold(timeline->lock);
    of_new_program = timeline->first_program_announced;
  }
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, on_buffer, new PadTime{timeline, of_new_program},
                    [](gpointer time) { delete static_cast<PadTime *>(time); });
}

// The demuxer announces a program's pads with this once they are all added.
void on_no_more_pads(GstElement *, gpointer data) {
  Timeline &timeline = **static_cast<SharedTimeline *>(data);
  std::lock_guard<std::mutex> hold(timeline.lock);
  timeline.first_program_announced = true;
}

void forget_timeline(gpointer data, GClosure *) { delete static_cast<SharedTimeline *>(data); }

}  // namespace

void follow_sender_restarts(GstElement *demuxer) {
  auto timeline = std::make_shared<Timeline>();
  g_signal_connect_data(demuxer, "pad-added", G_CALLBACK(on_pad_added), new SharedTimeline(timeline),
                        forget_timeline, GConnectFlags(0));
  g_signal_connect_data(demuxer, "no-more-pads", G_CALLBACK(on_no_more_pads), new SharedTimeline(timeline),
                        forget_timeline, GConnectFlags(0));
}

}  // namespace nerko
