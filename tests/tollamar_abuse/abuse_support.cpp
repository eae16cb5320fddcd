#include "abuse_support.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

namespace tollamar_abuse {

GstFlowReturn push(Harness &h, GstClockTime pts, GstClockTime duration,
                   gsize size) {
  return gst_harness_push(h.get(),
                          tollamar_output::make_buffer(pts, duration, size));
}

Output pull(Harness &h) {
  GstBuffer *buf = h.pull();
  if (!buf) {
    ADD_FAILURE() << "no buffer came out of the element";
    return {GST_CLOCK_TIME_NONE, false, 0, GST_CLOCK_TIME_NONE};
  }
  Output out{GST_BUFFER_PTS(buf), GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP),
             gst_buffer_get_size(buf), GST_BUFFER_DURATION(buf)};
  gst_buffer_unref(buf);
  return out;
}

bool returns_in_time(const std::function<void()> &fn,
                     const std::function<void()> &rescue, const char *what) {
  std::packaged_task<void()> task(fn);
  std::future<void> done = task.get_future();
  std::thread thread(std::move(task));
  // A safety limit, not a timing assertion: the call returns at once when
  // the element is sound.
  if (done.wait_for(std::chrono::seconds(30)) == std::future_status::ready) {
    thread.join();
    return true;
  }
  ADD_FAILURE() << what << " never returned";
  rescue();
  if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << what << " stayed blocked even after a flush";
    std::abort();
  }
  thread.join();
  return false;
}

void flush_from_inside(Harness &h) {
  gst_pad_send_event(h.sinkpad(), gst_event_new_flush_start());
  gst_pad_send_event(h.srcpad(), gst_event_new_flush_start());
}

::testing::AssertionResult on_grid_from(const std::vector<GstClockTime> &pts,
                                        GstClockTime first) {
  for (size_t i = 0; i < pts.size(); i++) {
    GstClockTime want = first + i * kSlot;
    if (pts[i] != want)
      return ::testing::AssertionFailure()
             << "buffer " << i << " at " << pts[i] << " ns, the grid wants "
             << want << " ns";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tollamar_abuse
