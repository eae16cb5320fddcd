// Helpers of the live-rate abuse tests: pushing from upstream, reading what
// comes out, checking that it lies on the output grid, and running a call
// that must not hang on a thread of its own.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "output_support.h"

namespace tollamar_abuse {

using tollamar_output::Harness;

const GstClockTime kSlot = 40 * GST_MSECOND;
const GstClockTime kMaxLateness = 200 * GST_MSECOND;
const char kVideoCaps[] =
    "video/x-raw, format=(string)RGBx, width=(int)4, height=(int)4, "
    "framerate=(fraction)25/1";
const gsize kFrameSize = 64;  // 4x4 RGBx

// One buffer from upstream; returns what the element's chain returned.
GstFlowReturn push(Harness &h, GstClockTime pts, GstClockTime duration = kSlot,
                   gsize size = kFrameSize);

// One buffer as it left the element.
struct Output {
  GstClockTime pts;
  bool gap;
  gsize size;
  GstClockTime duration;
};

// The next buffer downstream (waits for it); pts none if none came.
Output pull(Harness &h);

// Runs @fn on a thread of its own. If it has not returned after a generous
// safety limit, the test fails, @rescue is called to release it (as a flush
// would) and false is returned; the process is aborted only if even the
// rescue does not help.
bool returns_in_time(const std::function<void()> &fn,
                     const std::function<void()> &rescue, const char *what);

// Releases an element that hangs: flush-start on both of its pads, which
// refuses data and wakes every wait of the element.
void flush_from_inside(Harness &h);

// Whether @pts are consecutive slots starting at @first (no hole, no repeat).
::testing::AssertionResult on_grid_from(const std::vector<GstClockTime> &pts,
                                        GstClockTime first);

}  // namespace tollamar_abuse
