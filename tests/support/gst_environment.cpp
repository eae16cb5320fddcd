// GStreamer for the whole test program, deinitialised at the end so the
// leaks tracer (GST_TRACERS=leaks) can report what is still alive.
#include <gst/gst.h>
#include <gtest/gtest.h>

namespace {

class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { gst_init(nullptr, nullptr); }
  void TearDown() override { gst_deinit(); }
};

[[maybe_unused]] ::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new GstEnvironment);

}  // namespace
