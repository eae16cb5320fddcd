#include "tollamar_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace tollamar_test {
namespace {

// Initialises GStreamer once for the test process and registers the plug-in
// statically, as an application that links it would.
class TollamarEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    test_support::load_tollamar_plugin();
    // A critical from GLib or GStreamer is a fault in the element's use of
    // the API: end the test process on it instead of running on.
    g_log_set_always_fatal(
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
  }
  // Lets GST_TRACERS=leaks report what is still alive once every test ran.
  void TearDown() override { gst_deinit(); }
};

[[maybe_unused]] ::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new TollamarEnvironment);

}  // namespace

GstElement *make_element(const char *factory) {
  GstElement *element = gst_element_factory_make(factory, nullptr);
  EXPECT_NE(element, nullptr) << "no element factory " << factory;
  return element;
}

static GstPad *static_pad(GstElement *element, const char *name) {
  GstPad *pad = gst_element_get_static_pad(element, name);
  gst_object_unref(pad);
  return pad;
}

GstPad *src_pad(GstElement *element) { return static_pad(element, "src"); }

GstPad *sink_pad(GstElement *element) { return static_pad(element, "sink"); }

GstBuffer *make_buffer(GstClockTime pts, GstClockTime duration, gsize size) {
  GstBuffer *buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  gst_buffer_memset(buffer, 0, 0, size);
  GST_BUFFER_PTS(buffer) = pts;
  GST_BUFFER_DURATION(buffer) = duration;
  return buffer;
}

GstBus *attach_bus(GstElement *element) {
  GstBus *bus = gst_bus_new();
  gst_element_set_bus(element, bus);
  return bus;
}

Downstream::Downstream(GstElement *element) {
  pad_ = gst_pad_new("downstream", GST_PAD_SINK);
  gst_pad_set_chain_function_full(pad_, &Downstream::chain, this, nullptr);
  gst_pad_set_event_function_full(pad_, &Downstream::event, this, nullptr);
  gst_pad_set_active(pad_, TRUE);
  ObjectRef<GstPad> src(gst_element_get_static_pad(element, "src"));
  EXPECT_EQ(gst_pad_link(src.get(), pad_), GST_PAD_LINK_OK);
}

Downstream::~Downstream() {
  allow(SIZE_MAX);
  GstPad *peer = gst_pad_get_peer(pad_);
  if (peer) {
    gst_pad_unlink(peer, pad_);
    gst_object_unref(peer);
  }
  gst_pad_set_active(pad_, FALSE);
  gst_object_unref(pad_);
}

GstFlowReturn Downstream::chain(GstPad *pad, GstObject *, GstBuffer *buffer) {
  auto *self = static_cast<Downstream *>(pad->chaindata);
  std::unique_lock<std::mutex> guard(self->mutex_);
  self->changed_.wait(guard, [&] { return self->pts_.size() < self->allowed_; });
  self->pts_.push_back(GST_BUFFER_PTS(buffer));
  gst_buffer_unref(buffer);
  self->changed_.notify_all();
  return self->flow_;
}

gboolean Downstream::event(GstPad *pad, GstObject *, GstEvent *event) {
  auto *self = static_cast<Downstream *>(pad->eventdata);
  {
    std::lock_guard<std::mutex> guard(self->mutex_);
    self->events_.push_back(GST_EVENT_TYPE(event));
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
      GstCaps *caps = nullptr;
      gst_event_parse_caps(event, &caps);
      gst_structure_get_int(gst_caps_get_structure(caps, 0), "width", &self->width_);
    }
    self->changed_.notify_all();
  }
  gst_event_unref(event);
  return TRUE;
}

bool Downstream::wait_for_buffers(size_t n) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (!changed_.wait_for(guard, std::chrono::seconds(60), [&] { return pts_.size() >= n; })) {
    ADD_FAILURE() << "only " << pts_.size() << " of " << n << " buffers arrived downstream";
    return false;
  }
  return true;
}

bool Downstream::wait_for_event(GstEventType type) {
  std::unique_lock<std::mutex> guard(mutex_);
  auto has = [&] {
    for (auto t : events_)
      if (t == type) return true;
    return false;
  };
  if (!changed_.wait_for(guard, std::chrono::seconds(60), has)) {
    ADD_FAILURE() << "no " << gst_event_type_get_name(type) << " event arrived downstream";
    return false;
  }
  return true;
}

std::vector<GstClockTime> Downstream::buffer_pts() {
  std::lock_guard<std::mutex> guard(mutex_);
  return pts_;
}

std::vector<GstEventType> Downstream::event_types() {
  std::lock_guard<std::mutex> guard(mutex_);
  return events_;
}

gint Downstream::last_caps_width() {
  std::lock_guard<std::mutex> guard(mutex_);
  return width_;
}

void Downstream::allow(size_t n) {
  std::lock_guard<std::mutex> guard(mutex_);
  allowed_ = n;
  changed_.notify_all();
}

void Downstream::set_flow(GstFlowReturn flow) {
  std::lock_guard<std::mutex> guard(mutex_);
  flow_ = flow;
}

Upstream::Upstream(GstElement *element) {
  pad_ = gst_pad_new("upstream", GST_PAD_SRC);
  gst_pad_set_query_function_full(pad_, &Upstream::query, this, nullptr);
  gst_pad_set_active(pad_, TRUE);
  ObjectRef<GstPad> sink(gst_element_get_static_pad(element, "sink"));
  EXPECT_EQ(gst_pad_link(pad_, sink.get()), GST_PAD_LINK_OK);
}

Upstream::~Upstream() {
  GstPad *peer = gst_pad_get_peer(pad_);
  if (peer) {
    gst_pad_unlink(pad_, peer);
    gst_object_unref(peer);
  }
  gst_pad_set_active(pad_, FALSE);
  gst_object_unref(pad_);
}

void Upstream::answer_latency(bool live, GstClockTime min, GstClockTime max) {
  answer_ = true;
  live_ = live;
  min_ = min;
  max_ = max;
}

void Upstream::refuse_latency() { answer_ = false; }

gboolean Upstream::query(GstPad *pad, GstObject *parent, GstQuery *query) {
  auto *self = static_cast<Upstream *>(pad->querydata);
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY) return gst_pad_query_default(pad, parent, query);
  if (!self->answer_) return FALSE;
  gst_query_set_latency(query, self->live_, self->min_, self->max_);
  return TRUE;
}

GstFlowReturn chain(GstElement *element, GstBuffer *buffer) {
  return gst_pad_chain(sink_pad(element), buffer);
}

ChainThread::ChainThread(GstElement *element, GstBuffer *buffer)
    : element_(element), thread_([this, element, buffer] {
        GstFlowReturn r = chain(element, buffer);
        std::lock_guard<std::mutex> guard(mutex_);
        result_ = r;
        done_ = true;
        finished_.notify_all();
      }) {}

ChainThread::~ChainThread() { result(); }

GstFlowReturn ChainThread::result() {
  if (joined_) return result_;
  {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!finished_.wait_for(guard, std::chrono::seconds(60), [&] { return done_; })) {
      ADD_FAILURE() << "the chain call never returned";
      guard.unlock();
      // Release it with a flush, so the suite goes on.
      gst_pad_send_event(sink_pad(element_), gst_event_new_flush_start());
    }
  }
  thread_.join();
  joined_ = true;
  return result_;
}

void ChainThread::wait_inside() {
  GstPad *pad = sink_pad(element_);
  const gint64 limit = g_get_monotonic_time() + 60 * G_TIME_SPAN_SECOND;
  while (!finished() && g_get_monotonic_time() < limit) {
    if (!GST_PAD_STREAM_TRYLOCK(pad)) return;
    GST_PAD_STREAM_UNLOCK(pad);
    g_thread_yield();
  }
  ADD_FAILURE() << "the chain call never entered the element, or returned at once";
}

bool ChainThread::finished() {
  std::lock_guard<std::mutex> guard(mutex_);
  return done_;
}

bool wait_task_paused(GstElement *element) {
  return test_support::wait_task_paused(src_pad(element));
}

void send_stream_head(GstElement *element, const char *caps) {
  ObjectRef<GstPad> sink(gst_element_get_static_pad(element, "sink"));
  EXPECT_TRUE(gst_pad_send_event(sink.get(), gst_event_new_stream_start("tollamar-test")));
  GstCaps *c = gst_caps_from_string(caps);
  EXPECT_TRUE(gst_pad_send_event(sink.get(), gst_event_new_caps(c)));
  gst_caps_unref(c);
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  EXPECT_TRUE(gst_pad_send_event(sink.get(), gst_event_new_segment(&segment)));
}

}  // namespace tollamar_test
