// GStreamer for the whole test program; death tests re-run the program so
// they never fork a process that has streaming threads.
#include <gst/gst.h>
#include <gtest/gtest.h>

namespace {

class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Set here, not during static initialisation: gtest's own flag may not
    // be constructed yet then.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    gst_init(nullptr, nullptr);
  }
  // Lets GST_TRACERS=leaks report what is still alive.
  void TearDown() override { gst_deinit(); }
};

[[maybe_unused]] ::testing::Environment *const environment =
    ::testing::AddGlobalTestEnvironment(new GstEnvironment);

}  // namespace
