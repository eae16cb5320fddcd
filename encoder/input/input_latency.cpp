#include "encoder/input/input_latency.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "encoder/input/early_start.h"
#include "encoder/input/sender_restart.h"
#include "encoder/input/whole_frame_input.h"

namespace nerko {
namespace {

// The factories whose "latency" is the milliseconds of live input they hold
// back: the MPEG-TS demuxer, the RTSP source (which passes it to its jitter
// buffers), rtpbin and its jitter buffers, the rtp:// source and the SRT
// sources.
constexpr const char *kBufferingFactories[] = {"tsdemux", "rtspsrc",      "rtpbin",      "rtpjitterbuffer",
                                               "rtpsrc",  "srtsrc",       "srtclientsrc", "srtserversrc"};

const char *factory_name(GstElement *element) {
  GstElementFactory *factory = gst_element_get_factory(element);
  return factory ? GST_OBJECT_NAME(factory) : nullptr;
}

void on_deep_element_added(GstBin *, GstBin *, GstElement *element, gpointer data) {
  apply_input_latency(element, GPOINTER_TO_UINT(data));
}

// The MPEG-TS demuxer's own ways of holding a live stream back, beyond its
// latency: on the stream's clock (the PCR) each frame waits until its PTS,
// which a sender puts well ahead of the PCR (mpegtsmux 125 ms); without the
// PCR the frames are timed from the first one's arrival (moved back when it
// came early in the sender's spread), the latency covers the network's
// jitter, and a sender that starts again is kept on the clock by restamping
// its frames. And its H.264 comes without an alignment, so the parser would
// hold each frame until the next one starts.
void demux_without_holding(GstElement *demuxer) {
  if (g_object_class_find_property(G_OBJECT_GET_CLASS(demuxer), "ignore-pcr")) {
    g_object_set(demuxer, "ignore-pcr", TRUE, nullptr);
    follow_sender_restarts(demuxer);
    correct_early_start(demuxer);
  }
  declare_whole_frames(demuxer);
}

}  // namespace

bool takes_input_latency(GstElement *element) {
  const char *name = factory_name(element);
  if (!name)
    return false;
  for (const char *factory : kBufferingFactories)
    if (std::strcmp(name, factory) == 0)
      return true;
  return false;
}

void apply_input_latency(GstElement *element, uint32_t latency_ms) {
  if (!takes_input_latency(element))
    return;
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), "latency");
  if (!pspec || !(pspec->flags & G_PARAM_WRITABLE))
    return;
  if (pspec->value_type == G_TYPE_UINT) {
    g_object_set(element, "latency", static_cast<guint>(latency_ms), nullptr);
  } else if (pspec->value_type == G_TYPE_INT) {
    constexpr uint32_t kLargest = std::numeric_limits<gint>::max();
    g_object_set(element, "latency", static_cast<gint>(latency_ms < kLargest ? latency_ms : kLargest), nullptr);
  }
  if (std::strcmp(factory_name(element), "tsdemux") == 0)
    demux_without_holding(element);
}

gulong follow_input_latency(GstElement *decoder, uint32_t latency_ms) {
  // Emitted for the decoder's own children too, from whichever thread adds
  // them, always before the new element leaves READY.
  return g_signal_connect(decoder, "deep-element-added", G_CALLBACK(on_deep_element_added),
                          GUINT_TO_POINTER(latency_ms));
}

std::optional<GstClockTime> keep_alive_share(std::optional<uint32_t> latency_ms) {
  if (!latency_ms)
    return std::nullopt;
  return *latency_ms * GST_MSECOND;
}

std::optional<GstClockTime> live_rate_wait(std::optional<uint32_t> latency_ms) {
  constexpr GstClockTime kOneFrame = 40 * GST_MSECOND;
  if (!latency_ms)
    return std::nullopt;
  return std::max<GstClockTime>(*latency_ms * GST_MSECOND, kOneFrame);
}

}  // namespace nerko
