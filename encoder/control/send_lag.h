// How far the media sent lags real time: a channel that cannot keep up
// (too little CPU for its encoders, or an input that stalls) says so.
#pragma once

#include <gst/gst.h>

#include <optional>

#include "encoder/control/stream_sinks.h"

namespace nerko {

// Per medium, how long ago its RTP sender should have sent the last buffer it
// sent; nullopt where that cannot be told (no sender yet, not playing, nothing
// sent yet, or the stream has ended).
struct SendLag {
  std::optional<GstClockTimeDiff> video;
  std::optional<GstClockTimeDiff> audio;
  // The latency the RTP senders were told to add; nullopt before there is one.
  std::optional<GstClockTime> latency = std::nullopt;
};

// The pipeline clock's running time now, against the running time of the
// sender's last buffer plus the latency the sender was told to add: what a
// sender that keeps pace keeps within one buffer's duration of 0.
std::optional<GstClockTimeDiff> sender_lag(GstElement *sender);

/* with sinks.mutex */
SendLag read_send_lag(const StreamSinks &sinks);

}  // namespace nerko
