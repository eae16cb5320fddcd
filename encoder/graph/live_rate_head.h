// The element at the head of each branch when the stream outlives its input:
// livevideorate or liveaudiorate, which keep the encoders fed at the clock's
// pace with made-up frames or silence while the input stalls or is reopened.
#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"
#include "encoder/graph/input_activity.h"

namespace nerko {

struct LiveRateHeads {
  std::string video_fill_mode;  // livevideorate "fill-mode"
  SharedInputActivity activity;  // counts the buffers the heads make up
  // "max-lateness" of both heads; unset keeps the element's 200 ms.
  std::optional<GstClockTime> max_lateness = std::nullopt;
};

// Makes the kind's live-rate element, adds it to `pipeline` and links it in
// front of `first`. MissingElement when the plug-in is not installed.
Result<ElementRef> add_live_rate_head(GstElement *pipeline, const LiveRateHeads &heads, StreamKind kind,
                                      GstElement *first);

// Links the decoder pad to `first`, the branch's first element, through a
// new live-rate head when there are `heads` (stored in `head`).
Status feed_branch(GstElement *pipeline, const LiveRateHeads *heads, StreamKind kind, GstPad *decoder_pad,
                   GstElement *first, ElementRef &head);

// The live-rate factory of `kind`.
const char *live_rate_factory(StreamKind kind);

// Set-up error unless GStreamer can make both live-rate elements.
Status require_live_rate_elements();

}  // namespace nerko
