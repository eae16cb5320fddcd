// What a branch builder works on: the playing pipeline, the shared rtpbin, the
// decoder pad to feed from, the parsed destination and the locked sender record.
#pragma once

#include <gst/gst.h>

#include <cstdio>

#include "encoder/graph/destination.h"
#include "encoder/graph/live_rate_head.h"
#include "encoder/control/stream_sinks.h"

namespace nerko {

struct BranchTarget {
  GstElement *pipeline;
  GstElement *rtpbin;
  GstPad *decoder_pad;
  const Destination &destination;
  StreamSinks &sinks;  // its mutex is held for the whole build
  std::FILE *console;  // settings lines; standard output in the program
  // Set when the stream outlives its input: the branch then starts with a
  // live-rate element, which the decoder pad feeds.
  const LiveRateHeads *heads = nullptr;
  // The feeds of the input this pad belongs to, with the heads' gate.
  InputFeeds *feeds = nullptr;
};

}  // namespace nerko
