// The one record shared between the branch builder (streaming threads) and the
// statistics timer (main thread): the four UDP senders, the branches'
// live-rate heads, and which discarded streams have been reported.
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
  // The live-rate elements heading the branches when the stream outlives its
  // input; every new input's streams are linked to them.
  ElementRef video_head;
  ElementRef audio_head;
  // With a backup input or a slate, the funnels in front of the heads that
  // every input feeds.
  ElementRef video_funnel;
  ElementRef audio_funnel;
  // The element each branch's decoded stream enters: its live-rate head, or
  // its first element without one. A decoder that replaces its pad (a new
  // program in the input) feeds the new one there.
  ElementRef video_entry;
  ElementRef audio_entry;
  // A discarded second stream of the kind has been reported; a rebuilt input
  // that brings it again is not reported again.
  bool video_discard_reported = false;
  bool audio_discard_reported = false;
  // A fatal stop has been posted: the branches still announced build nothing.
  bool stopping = false;
};

// Jointly owned by the run sequence and the handler contexts; the count is atomic.
using SharedStreamSinks = std::shared_ptr<StreamSinks>;

}  // namespace nerko
