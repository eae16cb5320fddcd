#include "output_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace tollamar_output {

void init_plugin() {
  static std::once_flag once;
  std::call_once(once, [] {
    gst_init(nullptr, nullptr);
    gst_plugin_tollamar_register();
  });
}

Harness::Harness(const char *factory) {
  init_plugin();
  h_ = gst_harness_new(factory);
  // GstHarness starts its element at once; go back to READY so that each
  // test decides when the element plays, on the test clock.
  gst_element_set_state(h_->element, GST_STATE_READY);
  gst_harness_use_testclock(h_);
  clock_ = gst_harness_get_testclock(h_);
  GstBus *bus = gst_bus_new();
  gst_element_set_bus(h_->element, bus);
  gst_object_unref(bus);
}

Harness::~Harness() {
  gst_object_unref(clock_);
  gst_element_set_state(h_->element, GST_STATE_NULL);
  GstBus *bus = gst_element_get_bus(h_->element);
  if (bus) {
    gst_bus_set_flushing(bus, TRUE);
    gst_object_unref(bus);
  }
  gst_harness_teardown(h_);
}

void Harness::play() {
  ASSERT_NE(gst_element_set_state(h_->element, GST_STATE_PLAYING),
            GST_STATE_CHANGE_FAILURE);
}

void Harness::pause() {
  ASSERT_NE(gst_element_set_state(h_->element, GST_STATE_PAUSED),
            GST_STATE_CHANGE_FAILURE);
}

GstClockTime Harness::next_wait_time() {
  GstClockID id = nullptr;
  gst_test_clock_wait_for_next_pending_id(clock_, &id);
  GstClockTime t = gst_clock_id_get_time(id);
  gst_clock_id_unref(id);
  return t;
}

void Harness::crank() { ASSERT_TRUE(gst_harness_crank_single_clock_wait(h_)); }

GstBuffer *Harness::pull() { return gst_harness_pull(h_); }

GstEvent *Harness::pull_event_of_type(GstEventType type) {
  while (GstEvent *event = gst_harness_try_pull_event(h_)) {
    if (GST_EVENT_TYPE(event) == type) return event;
    gst_event_unref(event);
  }
  return nullptr;
}

GstEvent *Harness::wait_event_of_type(GstEventType type) {
  while (GstEvent *event = gst_harness_pull_event(h_)) {
    if (GST_EVENT_TYPE(event) == type) return event;
    gst_event_unref(event);
  }
  return nullptr;
}

std::vector<GstEventType> Harness::drain_event_types() {
  std::vector<GstEventType> types;
  while (GstEvent *event = gst_harness_try_pull_event(h_)) {
    types.push_back(GST_EVENT_TYPE(event));
    gst_event_unref(event);
  }
  return types;
}

void with_lock(GstTollamar *self, const std::function<void(GstTollamar *)> &fn) {
  gst_tollamar_lock(self);
  fn(self);
  gst_tollamar_unlock(self);
}

GstBuffer *make_buffer(GstClockTime pts, GstClockTime duration, gsize size,
                       guint8 fill) {
  GstBuffer *buf = gst_buffer_new_allocate(nullptr, size, nullptr);
  gst_buffer_memset(buf, 0, fill, size);
  GST_BUFFER_PTS(buf) = pts;
  GST_BUFFER_DURATION(buf) = duration;
  return buf;
}

static ErrorMessage parse_error(GstMessage *msg) {
  GError *err = nullptr;
  gchar *debug = nullptr;
  gst_message_parse_error(msg, &err, &debug);
  ErrorMessage e{err->domain, err->code, err->message, debug ? debug : "",
                 false, 0};
  const GstStructure *details = nullptr;
  gst_message_parse_error_details(msg, &details);
  if (details && gst_structure_get_int(details, "flow-return", &e.flow_return))
    e.has_flow_return = true;
  g_error_free(err);
  g_free(debug);
  return e;
}

ErrorMessage wait_error(GstElement *element) {
  GstBus *bus = gst_element_get_bus(element);
  GstMessage *msg =
      gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND, GST_MESSAGE_ERROR);
  gst_object_unref(bus);
  EXPECT_NE(msg, nullptr) << "no error message posted";
  if (!msg) return ErrorMessage{0, 0, "", "", false, 0};
  ErrorMessage e = parse_error(msg);
  gst_message_unref(msg);
  return e;
}

std::vector<ErrorMessage> take_errors(GstBus *bus) {
  std::vector<ErrorMessage> errors;
  while (GstMessage *msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
    errors.push_back(parse_error(msg));
    gst_message_unref(msg);
  }
  return errors;
}

LogCapture::LogCapture(gpointer object, GstDebugLevel level)
    : object_(object), level_(level) {
  g_mutex_init(&mutex_);
  g_cond_init(&cond_);
  old_threshold_ = gst_debug_category_get_threshold(gst_tollamar_debug);
  if (old_threshold_ < level)
    gst_debug_category_set_threshold(gst_tollamar_debug, level);
  gst_debug_add_log_function(&LogCapture::log_function, this, nullptr);
}

LogCapture::~LogCapture() {
  gst_debug_remove_log_function_by_data(this);
  gst_debug_category_set_threshold(gst_tollamar_debug, old_threshold_);
  g_mutex_clear(&mutex_);
  g_cond_clear(&cond_);
}

bool LogCapture::wait_for(const std::string &message) {
  gint64 limit = g_get_monotonic_time() + 60 * G_TIME_SPAN_SECOND;
  bool found = false;
  g_mutex_lock(&mutex_);
  while (!(found = std::find(messages_.begin(), messages_.end(), message) !=
                   messages_.end())) {
    if (!g_cond_wait_until(&cond_, &mutex_, limit)) break;
  }
  g_mutex_unlock(&mutex_);
  return found;
}

std::vector<std::string> LogCapture::messages() {
  g_mutex_lock(&mutex_);
  std::vector<std::string> copy = messages_;
  g_mutex_unlock(&mutex_);
  return copy;
}

void LogCapture::log_function(GstDebugCategory *category, GstDebugLevel level,
                              const gchar *, const gchar *, gint,
                              GObject *object, GstDebugMessage *message,
                              gpointer user_data) {
  auto *self = static_cast<LogCapture *>(user_data);
  if (category != gst_tollamar_debug || level != self->level_ ||
      object != self->object_)
    return;
  g_mutex_lock(&self->mutex_);
  self->messages_.push_back(gst_debug_message_get(message));
  g_cond_broadcast(&self->cond_);
  g_mutex_unlock(&self->mutex_);
}

}  // namespace tollamar_output
