// The one record shared between the branch builder (streaming threads) and the
// statistics timer (main thread): the four UDP senders.
#pragma once

#include <memory>
#include <mutex>

#include "encoder/control/gst_ref.h"

namespace nerko {

struct StreamSinks {
  std::mutex mutex;
  // Guarded by `mutex`. Assigning a new reference releases the old sender.
  ElementRef video_rtp;
  ElementRef video_rtcp;
  ElementRef audio_rtp;
  ElementRef audio_rtcp;
  // A fatal stop has been posted: the branches still announced build nothing.
  bool stopping = false;
};

// Jointly owned by the run sequence and the handler contexts; the count is atomic.
using SharedStreamSinks = std::shared_ptr<StreamSinks>;

}  // namespace nerko
