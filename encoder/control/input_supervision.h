// What the bus watch and the statistics timer ask of the keep-alive
// supervisor, which builds on the media graph and therefore lives there; the
// run's own handlers know it only through this face. Used on the main thread.
#pragma once

#include <gst/gst.h>

#include "encoder/control/input_health.h"

namespace nerko {

class InputSupervision {
 public:
  virtual ~InputSupervision() = default;

  // True when `message` was the input's and has been dealt with: the bus
  // watch then shows nothing of it and does not end the run.
  virtual bool handle_message(GstMessage *message) = 0;

  // Replaces gst_bin_recalculate_latency while the input comes and goes.
  virtual bool redistribute_latency() = 0;

  // For the Prometheus file.
  virtual InputHealth health() = 0;
};

}  // namespace nerko
