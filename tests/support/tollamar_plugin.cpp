#include "support/tollamar_plugin.h"

#include <gmodule.h>
#include <gtest/gtest.h>

#include <mutex>

namespace test_support {

void load_tollamar_plugin() {
  static std::once_flag once;
  std::call_once(once, [] {
    gst_init(nullptr, nullptr);
    GError *error = nullptr;
    GstPlugin *plugin = gst_plugin_load_file(TOLLAMAR_PLUGIN_FILE, &error);
    ASSERT_NE(plugin, nullptr) << TOLLAMAR_PLUGIN_FILE << ": "
                               << (error ? error->message : "not loaded");
    gst_object_unref(plugin);
  });
}

const GstPluginDesc *tollamar_plugin_desc() {
  load_tollamar_plugin();
  // GStreamer keeps the module open; this only takes one more reference.
  static GModule *module = g_module_open(TOLLAMAR_PLUGIN_FILE, G_MODULE_BIND_LOCAL);
  gpointer symbol = nullptr;
  if (!module || !g_module_symbol(module, "gst_plugin_tollamar_get_desc", &symbol))
    return nullptr;
  return reinterpret_cast<const GstPluginDesc *(*)()>(symbol)();
}

bool wait_task_paused(GstPad *srcpad) {
  const gint64 limit = g_get_monotonic_time() + 60 * G_TIME_SPAN_SECOND;
  while (g_get_monotonic_time() < limit) {
    // The pass that pauses the task holds the stream lock until it is over.
    GST_PAD_STREAM_LOCK(srcpad);
    GstTaskState state = gst_pad_get_task_state(srcpad);
    GST_PAD_STREAM_UNLOCK(srcpad);
    if (state == GST_TASK_PAUSED) return true;
    g_thread_yield();
  }
  ADD_FAILURE() << "the output task never paused";
  return false;
}

}  // namespace test_support
