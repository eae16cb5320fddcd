#include "support/element_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace test_support {
namespace {

// GStreamer hands log functions to its streaming threads through GLib's
// locks and plain loads, which ThreadSanitizer cannot see, so a watch made
// while an element's task runs would seem to race its own construction.
// Hence one function installed once, reaching every watch through this
// constant-initialised mutex, which a thread takes before it touches a watch
// and the test takes around construction and destruction.
std::mutex watches_mutex;
std::condition_variable watches_changed;
std::vector<ElementLog *> watches;

}  // namespace

ElementLog::ElementLog(gpointer object, GstDebugLevel level)
    : object_(object), level_(level) {
  static std::once_flag once;
  std::call_once(once, [] {
    gst_debug_add_log_function(&ElementLog::log_function, nullptr, nullptr);
  });
  GST_DEBUG_CATEGORY_GET(category_, "tollamar");
  EXPECT_NE(category_, nullptr) << "the plug-in is not registered yet";
  if (category_) {
    old_threshold_ = gst_debug_category_get_threshold(category_);
    if (old_threshold_ < level) gst_debug_category_set_threshold(category_, level);
  }
  std::lock_guard<std::mutex> lock(watches_mutex);
  watches.push_back(this);
}

ElementLog::~ElementLog() {
  if (category_) gst_debug_category_set_threshold(category_, old_threshold_);
  std::lock_guard<std::mutex> lock(watches_mutex);
  std::erase(watches, this);
}

bool ElementLog::wants(GstDebugLevel level, GObject *object) const {
  if (level_ != GST_LEVEL_NONE && level != level_) return false;
  // Lines logged on a pad belong to the pad's element.
  return object == object_ ||
         (object && GST_IS_PAD(object) && GST_OBJECT_PARENT(object) == object_);
}

void ElementLog::log_function(GstDebugCategory *category, GstDebugLevel level,
                              const gchar *, const gchar *, gint,
                              GObject *object, GstDebugMessage *message,
                              gpointer) {
  std::lock_guard<std::mutex> lock(watches_mutex);
  bool taken = false;
  for (ElementLog *watch : watches) {
    if (category != watch->category_ || !watch->wants(level, object)) continue;
    watch->lines_.emplace_back(gst_debug_message_get(message));
    taken = true;
  }
  if (taken) watches_changed.notify_all();
}

bool ElementLog::wait_for(const std::string &line) {
  std::unique_lock<std::mutex> lock(watches_mutex);
  // A safety limit only: a correct element writes the line long before.
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    auto it = std::find(lines_.begin(), lines_.end(), line);
    if (it != lines_.end()) {
      lines_.erase(lines_.begin(), it + 1);
      return true;
    }
    if (watches_changed.wait_until(lock, limit) == std::cv_status::timeout) {
      ADD_FAILURE() << "the element never logged \"" << line << "\"";
      return false;
    }
  }
}

bool ElementLog::seen(const std::string &line) {
  std::lock_guard<std::mutex> lock(watches_mutex);
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

std::vector<std::string> ElementLog::lines() {
  std::lock_guard<std::mutex> lock(watches_mutex);
  return lines_;
}

}  // namespace test_support
