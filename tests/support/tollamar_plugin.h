// Loads the live-rate plug-in from its build directory, as GStreamer loads
// any plug-in it finds, so that the tests see the elements only through
// their factories, pads, properties and messages.
#pragma once

#include <gst/gst.h>

namespace test_support {

// gst_init and the plug-in, once per process; fails the test on error.
void load_tollamar_plugin();

// The plug-in's exported descriptor getter, looked up in the loaded module.
const GstPluginDesc *tollamar_plugin_desc();

// Blocks until the task on @srcpad has paused (the element stopped it on a
// flow result); fails the test after a generous safety limit.
bool wait_task_paused(GstPad *srcpad);

}  // namespace test_support
