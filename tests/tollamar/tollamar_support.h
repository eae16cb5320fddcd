// Shared helpers for the live-rate element tests: owning handles, a watcher
// for the element's own log lines (the only deterministic way to know that a
// streaming thread has reached a wait), and access to the instance state
// under the element lock.
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

#include "gsttollamar.h"
#include "support/element_log.h"

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

GstTollamar *tollamar(GstElement *element);

// Runs @fn with the element lock held, as the element's own threads do.
void with_lock(GstElement *element, const std::function<void(GstTollamar *)> &fn);

// A buffer of @size bytes with the given PTS and duration.
GstBuffer *make_buffer(GstClockTime pts, GstClockTime duration, gsize size = 16);

// Number of items in the element's queue, and what they are.
struct QueueItem {
  bool is_buffer;
  GstClockTime pts;       // buffers
  GstEventType event;     // events
};
std::vector<QueueItem> queue_items(GstElement *element);

using test_support::ElementLog;

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
  void set_flow(GstFlowReturn flow);

 private:
  static GstFlowReturn chain(GstPad *pad, GstObject *parent, GstBuffer *buffer);
  static gboolean event(GstPad *pad, GstObject *parent, GstEvent *event);
  GstPad *pad_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<GstClockTime> pts_;
  std::vector<GstEventType> events_;
  GstFlowReturn flow_ = GST_FLOW_OK;
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

 private:
  GstElement *element_;
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  GstFlowReturn result_ = GST_FLOW_CUSTOM_ERROR;
  bool joined_ = false;
  std::thread thread_;
};

// Does what the output task does when it takes a buffer from the head of
// the queue: pop it, recompute the queued duration, wake the input side.
// Used while the task itself is held, to test the input side alone.
void take_head_as_output(GstElement *element);

// Sends stream-start, caps from @caps and a default TIME segment into the
// element's sink pad, as a well-behaved upstream does first.
void send_stream_head(GstElement *element, const char *caps);

}  // namespace tollamar_test
