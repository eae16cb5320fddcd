// Shared helpers for the live-rate element tests: owning handles, a pad on
// each side of the element, and chain calls that may block.
#pragma once

#include <gst/check/gstharness.h>
#include <gst/check/gsttestclock.h>
#include <gst/gst.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/tollamar_plugin.h"

namespace tollamar_test {

// Owns one reference to a GstObject.
template <typename T>
class ObjectRef {
 public:
  explicit ObjectRef(T *object = nullptr) : object_(object) {}
  ~ObjectRef() { reset(); }
  ObjectRef(const ObjectRef &) = delete;
  ObjectRef &operator=(const ObjectRef &) = delete;
  T *get() const { return object_; }
  T *operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void reset(T *object = nullptr) {
    if (object_) gst_object_unref(object_);
    object_ = object;
  }
  T *release() {
    T *o = object_;
    object_ = nullptr;
    return o;
  }

 private:
  T *object_;
};

// Owns one reference to a GstMiniObject (buffer, event, query, caps ...).
template <typename T>
class MiniRef {
 public:
  explicit MiniRef(T *object = nullptr) : object_(object) {}
  ~MiniRef() { reset(); }
  MiniRef(const MiniRef &) = delete;
  MiniRef &operator=(const MiniRef &) = delete;
  T *get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void reset(T *object = nullptr) {
    if (object_) gst_mini_object_unref(GST_MINI_OBJECT_CAST(object_));
    object_ = object;
  }

 private:
  T *object_;
};

// Owns a GstHarness.
class Harness {
 public:
  explicit Harness(GstHarness *h) : h_(h) {}
  ~Harness() {
    if (h_) gst_harness_teardown(h_);
  }
  Harness(const Harness &) = delete;
  Harness &operator=(const Harness &) = delete;
  GstHarness *get() const { return h_; }
  GstHarness *operator->() const { return h_; }

 private:
  GstHarness *h_;
};

// A new element of factory @factory; fails the calling test when missing.
GstElement *make_element(const char *factory);

// The element's always-present pads; the element owns them.
GstPad *src_pad(GstElement *element);
GstPad *sink_pad(GstElement *element);

// A buffer of @size bytes with the given PTS and duration.
GstBuffer *make_buffer(GstClockTime pts, GstClockTime duration, gsize size = 16);

// Collects the element's messages on a private bus.
GstBus *attach_bus(GstElement *element);

// A sink pad linked to the element's source pad that records everything the
// element sends downstream, so that tests can drive the element's states
// themselves (a GstHarness always plays its element at once).
class Downstream {
 public:
  explicit Downstream(GstElement *element);
  ~Downstream();
  Downstream(const Downstream &) = delete;
  Downstream &operator=(const Downstream &) = delete;

  // Blocks until @n buffers have arrived in total (safety limit as above).
  bool wait_for_buffers(size_t n);
  // Blocks until an event of @type has arrived.
  bool wait_for_event(GstEventType type);
  std::vector<GstClockTime> buffer_pts();
  std::vector<GstEventType> event_types();
  // Width of the last caps that arrived; 0 before any.
  gint last_caps_width();
  void set_flow(GstFlowReturn flow);
  // Lets only @n buffers in all through; a push beyond waits in the chain
  // function until allow() lets it through.
  void allow(size_t n);

 private:
  static GstFlowReturn chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);
  static gboolean event(GstPad *pad, GstObject *parent, GstEvent *event);
  GstPad *pad_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<GstClockTime> pts_;
  std::vector<GstEventType> events_;
  gint width_ = 0;
  GstFlowReturn flow_ = GST_FLOW_OK;
  size_t allowed_ = SIZE_MAX;
};

// A source pad linked to the element's sink pad that answers latency
// queries with the given values, or refuses them.
class Upstream {
 public:
  explicit Upstream(GstElement *element);
  ~Upstream();
  Upstream(const Upstream &) = delete;
  Upstream &operator=(const Upstream &) = delete;
  void answer_latency(bool live, GstClockTime min, GstClockTime max);
  void refuse_latency();
  GstPad *pad() const { return pad_; }

 private:
  static gboolean query(GstPad *pad, GstObject *parent, GstQuery *query);
  GstPad *pad_;
  bool answer_ = false;
  bool live_ = false;
  GstClockTime min_ = 0;
  GstClockTime max_ = GST_CLOCK_TIME_NONE;
};

// Hands @buffer to the element's chain function, as upstream does.
GstFlowReturn chain(GstElement *element, GstBuffer *buffer);

// Runs one chain call on a thread of its own, for calls that block.
class ChainThread {
 public:
  ChainThread(GstElement *element, GstBuffer *buffer);
  ~ChainThread();
  // Joins the thread and returns what the chain call returned. A call that
  // never returns fails the test and is released by flushing the element.
  GstFlowReturn result();
  // Blocks until the call is inside the element (it holds the sink pad's
  // stream lock), waiting or about to.
  void wait_inside();
  // Whether the call has returned; a call that waits has not.
  bool finished();

 private:
  GstElement *element_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  GstFlowReturn result_ = GST_FLOW_CUSTOM_ERROR;
  bool joined_ = false;
  std::thread thread_;
};

// Blocks until the element's output task has paused (it stopped on a flow
// result); fails the test after a generous safety limit.
bool wait_task_paused(GstElement *element);

// Sends stream-start, caps from @caps and a default TIME segment into the
// element's sink pad, as a well-behaved upstream does first.
void send_stream_head(GstElement *element, const char *caps);

}  // namespace tollamar_test
