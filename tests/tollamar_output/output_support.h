// Shared helpers for the output-side tests of livevideorate / liveaudiorate:
// plug-in set-up, an owning harness, and driving the harness's test clock.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/check/gsttestclock.h>
#include <gst/gst.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/tollamar_plugin.h"

namespace tollamar_output {

// gst_init and the plug-in, once per process.
void init_plugin();

// Owns a GstHarness around a new element of @factory, with a test clock;
// the element is READY until the test plays it.
class Harness {
 public:
  explicit Harness(const char *factory);
  ~Harness();
  Harness(const Harness &) = delete;
  Harness &operator=(const Harness &) = delete;
  GstHarness *get() const { return h_; }
  GstHarness *operator->() const { return h_; }
  GstElement *element() const { return h_->element; }
  // The element's pads; the element owns them.
  GstPad *srcpad() const { return srcpad_; }
  GstPad *sinkpad() const { return sinkpad_; }
  GstTestClock *clock() const { return clock_; }

  // READY -> PAUSED -> PLAYING; the grid is anchored at the test clock's
  // current running time.
  void play();
  void pause();
  // Time of the next clock wait the element registers (blocks until then).
  GstClockTime next_wait_time();
  // Waits for the next clock wait, moves the clock to it and releases it.
  void crank();
  // Next buffer downstream, waiting for it; null after GstHarness's limit.
  GstBuffer *pull();
  // Next buffer downstream if one is there.
  GstBuffer *try_pull();
  // The next event downstream, if one is there.
  GstEvent *try_pull_event();
  // The next event downstream, waiting for it; null after GstHarness's limit.
  GstEvent *pull_event();
  // Pulls events until one of @type arrives; null if another buffer-less
  // event queue runs dry first.
  GstEvent *pull_event_of_type(GstEventType type);
  std::vector<GstEventType> drain_event_types();
  // Waits for events until one of @type arrives (null after GstHarness's
  // limit), dropping the others.
  GstEvent *wait_event_of_type(GstEventType type);

 private:
  GstHarness *h_;
  GstTestClock *clock_;
  GstPad *srcpad_;
  GstPad *sinkpad_;
};

// A buffer of @size bytes with the given PTS and duration, filled with @fill.
GstBuffer *make_buffer(GstClockTime pts, GstClockTime duration, gsize size = 16,
                       guint8 fill = 0x55);

// Element messages of @type on the element's bus.
struct ErrorMessage {
  GQuark domain;
  gint code;
  std::string text;
  std::string debug;
  bool has_flow_return;
  gint flow_return;
};
std::vector<ErrorMessage> take_errors(GstBus *bus);
// The next error message that the element posts; fails the test if none
// comes within a generous safety limit (the element posts it from its task).
ErrorMessage wait_error(GstElement *element);

// Blocks until the output task of @h has paused (the element stopped its
// output on a flow result); fails the test after a generous safety limit.
bool wait_task_paused(Harness &h);

}  // namespace tollamar_output
