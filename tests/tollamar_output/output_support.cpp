#include "output_support.h"

#include <gtest/gtest.h>

#ifdef NERKO_TSAN
#include <sanitizer/tsan_interface.h>
#endif

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <mutex>

namespace tollamar_output {

namespace {

#ifdef NERKO_TSAN
// GSlice hands out memory from its own slabs, so ThreadSanitizer takes a
// reused block for the old object and reports races between unrelated
// buffers. GLib reads G_SLICE while its constructors run, before main, so
// the test program starts itself again with plain malloc when it is unset.
struct RestartWithPlainMalloc {
  RestartWithPlainMalloc() {
    if (g_strcmp0(g_getenv("G_SLICE"), "always-malloc") == 0) return;
    gchar *cmdline = nullptr;
    gsize length = 0;
    if (!g_file_get_contents("/proc/self/cmdline", &cmdline, &length, nullptr))
      return;
    std::vector<char *> argv;
    for (gsize i = 0; i < length; i += strlen(cmdline + i) + 1)
      argv.push_back(cmdline + i);
    argv.push_back(nullptr);
    g_setenv("G_SLICE", "always-malloc", TRUE);
    execv("/proc/self/exe", argv.data());
    g_free(cmdline);  // only reached if the restart failed
  }
} restart_with_plain_malloc;
#endif

// GstHarness hands what the element pushes to the test through GLib queues,
// whose futex-based locks ThreadSanitizer cannot see. Tell it that whatever
// the task did before a push happens before the test reads the pushed item.
GstPadProbeReturn publish_pushed_item(GstPad *, GstPadProbeInfo *info,
                                      gpointer) {
#ifdef NERKO_TSAN
  __tsan_release(GST_PAD_PROBE_INFO_DATA(info));
#else
  (void)info;
#endif
  return GST_PAD_PROBE_OK;
}

template <typename T>
T *received(T *item) {
#ifdef NERKO_TSAN
  if (item) __tsan_acquire(item);
#endif
  return item;
}

}  // namespace

// Shuts GStreamer down after the last test, so that the leaks tracer
// (GST_TRACERS=leaks) reports what the tests and the element left alive.
class GstreamerEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (gst_is_initialized()) gst_deinit();
  }
};
const ::testing::Environment *const gstreamer_environment =
    ::testing::AddGlobalTestEnvironment(new GstreamerEnvironment);

void init_plugin() { test_support::load_tollamar_plugin(); }

Harness::Harness(const char *factory) {
  init_plugin();
  h_ = gst_harness_new(factory);
  // GstHarness starts its element at once; go back to READY so that each
  // test decides when the element plays, on the test clock.
  gst_element_set_state(h_->element, GST_STATE_READY);
  gst_harness_use_testclock(h_);
  clock_ = gst_harness_get_testclock(h_);
  srcpad_ = gst_element_get_static_pad(h_->element, "src");
  sinkpad_ = gst_element_get_static_pad(h_->element, "sink");
  gst_object_unref(srcpad_);
  gst_object_unref(sinkpad_);
  gst_pad_add_probe(srcpad_,
                    GST_PAD_PROBE_TYPE_DATA_DOWNSTREAM, publish_pushed_item,
                    nullptr, nullptr);
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

// A broken element may never wait on the clock again; a generous limit
// turns that into a failure instead of a hung suite.
static bool wait_for_clock_wait(GstTestClock *clock) {
  GList *ids = nullptr;
  bool found = gst_test_clock_timed_wait_for_multiple_pending_ids(
      clock, 1, 60 * 1000, &ids);
  g_list_free_full(ids, (GDestroyNotify)gst_clock_id_unref);
  return found;
}

GstClockTime Harness::next_wait_time() {
  if (!wait_for_clock_wait(clock_)) {
    ADD_FAILURE() << "the element does not wait on the clock";
    return GST_CLOCK_TIME_NONE;
  }
  GstClockID id = nullptr;
  gst_test_clock_wait_for_next_pending_id(clock_, &id);
  GstClockTime t = gst_clock_id_get_time(id);
  gst_clock_id_unref(id);
  return t;
}

void Harness::crank() {
  ASSERT_TRUE(wait_for_clock_wait(clock_))
      << "the element does not wait on the clock";
  ASSERT_TRUE(gst_harness_crank_single_clock_wait(h_));
}

GstBuffer *Harness::pull() { return received(gst_harness_pull(h_)); }

GstBuffer *Harness::try_pull() { return received(gst_harness_try_pull(h_)); }

GstEvent *Harness::try_pull_event() {
  return received(gst_harness_try_pull_event(h_));
}

GstEvent *Harness::pull_event() {
  return received(gst_harness_pull_event(h_));
}

GstEvent *Harness::pull_event_of_type(GstEventType type) {
  while (GstEvent *event = received(gst_harness_try_pull_event(h_))) {
    if (GST_EVENT_TYPE(event) == type) return event;
    gst_event_unref(event);
  }
  return nullptr;
}

GstEvent *Harness::wait_event_of_type(GstEventType type) {
  while (GstEvent *event = received(gst_harness_pull_event(h_))) {
    if (GST_EVENT_TYPE(event) == type) return event;
    gst_event_unref(event);
  }
  return nullptr;
}

std::vector<GstEventType> Harness::drain_event_types() {
  std::vector<GstEventType> types;
  while (GstEvent *event = received(gst_harness_try_pull_event(h_))) {
    types.push_back(GST_EVENT_TYPE(event));
    gst_event_unref(event);
  }
  return types;
}

bool wait_task_paused(Harness &h) {
  return test_support::wait_task_paused(h.srcpad());
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

}  // namespace tollamar_output
