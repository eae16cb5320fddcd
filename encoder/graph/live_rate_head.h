// The element at the head of each branch when the stream outlives its input:
// livevideorate or liveaudiorate, which keep the encoders fed at the clock's
// pace with made-up frames or silence while the input stalls or is reopened.
#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>

#include "encoder/control/encoder_error.h"
#include "encoder/control/gst_ref.h"
#include "encoder/input/input_activity.h"
#include "encoder/input/input_feed.h"

namespace nerko {

struct LiveRateHeads {
  std::string video_fill_mode;  // livevideorate "fill-mode"
  SharedInputActivity activity;  // counts the buffers the heads make up
  // "max-lateness" of both heads; unset keeps the element's 200 ms.
  std::optional<GstClockTime> max_lateness = std::nullopt;
  // Set with a backup input or a slate: the heads are fed through funnels
  // behind this gate, and the branches keep the first input's format, so
  // that the encoders never see another.
  SharedOnAirGate gate = nullptr;
  std::shared_ptr<const SlatePicture> slate = nullptr;
};

// Makes the kind's live-rate element, adds it to `pipeline` and links it in
// front of `first`. MissingElement when the plug-in is not installed.
Result<ElementRef> add_live_rate_head(GstElement *pipeline, const LiveRateHeads &heads, StreamKind kind,
                                      GstElement *first);

// Links the decoder pad to `first`, the branch's first element, through a
// new live-rate head when there are `heads` (stored in `head`); with their
// gate, through a new funnel in front of the head (stored in `funnel`) that
// `feeds` records the input's pad of, and the slate's too.
Status feed_branch(GstElement *pipeline, const LiveRateHeads *heads, StreamKind kind, GstPad *decoder_pad,
                   GstElement *first, ElementRef &head, ElementRef &funnel, InputFeeds *feeds);

// The live-rate factory of `kind`.
const char *live_rate_factory(StreamKind kind);

// Set-up error unless GStreamer can make both live-rate elements.
Status require_live_rate_elements();

}  // namespace nerko
