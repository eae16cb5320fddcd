// NERKO_LATENCY_MS applied to what the decoder makes: every element of the
// input that buffers a live stream for a latency of its own (tsdemux 700 ms,
// rtspsrc 2000 ms, srtsrc 125 ms, the RTP jitter buffers 200 ms by default)
// buffers the operator's value instead, so a live channel runs that much
// closer to its source.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <optional>

namespace nerko {

// Whether `element` is one of the input elements whose "latency" property is
// the milliseconds it buffers (other elements' "latency" means something else,
// an aggregator's is in nanoseconds).
bool takes_input_latency(GstElement *element);

// Sets the "latency" of `element` to `latency_ms` when it takes it; a value
// beyond a signed property's range is set to its largest.
void apply_input_latency(GstElement *element, uint32_t latency_ms);

// Applies `latency_ms` to every element the decoder adds from now on, at any
// depth (the source, the demuxer, the jitter buffers inside an RTSP source).
// Returns the handler id.
gulong follow_input_latency(GstElement *decoder, uint32_t latency_ms);

// With keep-alive and NERKO_LATENCY_MS, the live-rate heads' "max-lateness"
// and the output's headroom are the operator's value too: each covers the
// same kind of delay as the input's buffering (a frame late from the
// decoder, a moment of CPU taken from the encoder), and one number to tune
// is what an operator can reason about. nullopt (the heads' 200 ms, the
// usual 250 ms headroom) while it is unset.
std::optional<GstClockTime> keep_alive_share(std::optional<uint32_t> latency_ms);

// The live-rate heads' "max-lateness" with NERKO_LATENCY_MS: the value, but
// at least a frame (40 ms at 25 fps). With the setting the input holds no
// frame of its own (no PCR wait, no parser or videorate holding one), so a
// smaller value leaves a decoded frame no time to be late by its own
// decoding, and the heads would make one up in its place.
std::optional<GstClockTime> live_rate_wait(std::optional<uint32_t> latency_ms);

}  // namespace nerko
