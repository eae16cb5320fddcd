// The five-second bytes-served statistics: one line on the console and in the
// statistics file, and "READY FOR PLAYBACK" once the audio stream flows.
#pragma once

#include <glib.h>
#include <gst/gst.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "encoder/control/contexts.h"
#include "encoder/control/encoder_error.h"
#include "encoder/control/input_health.h"
#include "encoder/control/send_lag.h"
#include "encoder/control/stream_sinks.h"

namespace nerko {

// What the four senders have sent, in the order of the line.
struct SenderCounts {
  uint64_t video_rtp = 0;
  uint64_t video_rtcp = 0;
  uint64_t audio_rtp = 0;
  uint64_t audio_rtcp = 0;

  uint64_t total() const { return video_rtp + video_rtcp + audio_rtp + audio_rtcp; }
};

// The sender's "bytes-served"; 0 for a missing sender or a counter that
// cannot be read as an unsigned 64-bit value, so the line always has all four.
uint64_t bytes_served(GstElement *sender);

/* with sinks.mutex */
SenderCounts read_sender_counts(const StreamSinks &sinks);

// "nerko-encoder (<revision>): Video RTP:…, Video RTCP:…, Audio RTP:…,
// Audio RTCP:…, Total:…" and a line feed.
std::string statistics_line(const SenderCounts &counts);

// Everything a tick does once the counters are read: the console line with an
// empty line after it, the ready check, the statistics file, and for each
// medium more than a second behind real time "Warning, <video|audio> is N.N s
// behind real time" on `err`. `out` and `err` are standard output and error
// in the program. `input` (when the stream outlives its input) and `alarms`
// (when content alarms are watched) join the Prometheus file. A statistics file that cannot be written is a FatalStop
// error, returned at once ("Failed to write to bytes served file: <reason>").
Status report_tick(StatsTimerContext &context, const SenderCounts &counts, std::FILE *out, std::FILE *err,
                   const SendLag &lag = {}, const InputHealth *input = nullptr,
                   const std::vector<AlarmSample> *alarms = nullptr);

// Timer handler; `data` is a StatsTimerContext. Holds the sinks' mutex for the
// whole tick; a fatal stop ends the run through the context's outcome and
// main loop. Always returns TRUE.
gboolean on_stats_tick(gpointer data);

}  // namespace nerko
