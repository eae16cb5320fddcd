// Watches the lines the live-rate elements write to their "tollamar" debug
// category for one element: the only deterministic way for a test to know
// that a streaming thread has reached a wait, and a way to check the errors
// and warnings an element logs.
#pragma once

#include <gst/gst.h>

#include <string>
#include <vector>

namespace test_support {

class ElementLog {
 public:
  // Lines logged for @object or one of its pads; only those at @level unless
  // it is GST_LEVEL_NONE. Raises the category's threshold to @level while
  // the watch lives.
  explicit ElementLog(gpointer object, GstDebugLevel level = GST_LEVEL_NONE);
  ~ElementLog();
  ElementLog(const ElementLog &) = delete;
  ElementLog &operator=(const ElementLog &) = delete;

  // Blocks until a line equal to @line has been written (counting lines
  // written before the call), and forgets the lines up to and including it,
  // so that the next wait looks for a later one. Fails the test after a
  // generous safety limit instead of hanging the suite.
  bool wait_for(const std::string &line);
  bool seen(const std::string &line);
  // The lines not yet consumed by wait_for, oldest first.
  std::vector<std::string> lines();

 private:
  static void log_function(GstDebugCategory *category, GstDebugLevel level,
                           const gchar *file, const gchar *function,
                           gint line, GObject *object, GstDebugMessage *message,
                           gpointer user_data);
  bool wants(GstDebugLevel level, GObject *object) const;

  gpointer object_;
  GstDebugLevel level_;
  GstDebugCategory *category_;
  GstDebugLevel old_threshold_;
  std::vector<std::string> lines_;
};

}  // namespace test_support
