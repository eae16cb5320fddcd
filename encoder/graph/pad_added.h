// What happens when the decoder exposes a stream.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <string>

#include "encoder/control/gst_ref.h"
#include "encoder/control/stream_sinks.h"
#include "encoder/input/input_activity.h"
#include "encoder/graph/live_rate_head.h"
#include "encoder/graph/sdp_file.h"

namespace nerko {

// "pad-added" of uridecodebin; read-only after creation.
struct PadAddedContext {
  ElementRef pipeline;
  ElementRef rtpbin;
  std::string output;
  // The destination host as looked up at start; empty when the destination
  // is malformed, which the first decoded stream then stops on.
  std::string host_address;
  SharedStreamSinks sinks;
  uint32_t audio_fec_percent;
  // Rewritten after every branch built; none unless NERKO_SDP_FILE is set.
  std::shared_ptr<SessionDescriptionFile> session_description = nullptr;
  // Told of every decoded buffer that reaches a branch (the input watchdog).
  SharedInputActivity activity = nullptr;
  // Set when the stream outlives its input: branches start with a live-rate
  // element, and branch failures are posted from rtpbin, so that they end
  // the run instead of counting as a failed input.
  std::shared_ptr<const LiveRateHeads> heads = nullptr;
  // With the heads' gate: what this decoder's input feeds into the funnels.
  SharedInputFeeds feeds = nullptr;
};

// The "pad-added" handler of uridecodebin; `data` is a PadAddedContext.
// Builds the stream's branch; a failure is posted from `element` as the
// library error "Failed to link decodebin srcpad" with the reason as debug text;
// a fatal stop (also an emission without element or pad) is posted on the
// pipeline's bus for the bus watch.
void on_pad_added(GstElement *element, GstPad *pad, gpointer data);

}  // namespace nerko
