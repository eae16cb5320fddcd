// What the decoder's streams tell the main loop about the input: when a
// decoded buffer last reached a branch, and, when the stream outlives its
// input, which input is the current one, where its time lies and how many
// buffers the live-rate elements made up. The one record the probes on the
// streaming threads share with the main thread.
#pragma once

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "encoder/input/content_watch.h"

namespace nerko {

enum class StreamKind { Video, Audio };

struct InputActivity {
  // Set before the pipeline plays (NERKO_LATENCY_MS): a live input keeps the
  // pipeline time it already runs on instead of being moved so that its first
  // buffer is due the moment it comes, which would add whatever its start
  // took (building the branches, starting the decoders) to the latency for
  // the whole run.
  bool live_input_keeps_its_time = false;
  // Set before the pipeline plays: how much earlier than now an input that
  // is not live (a file) is placed. The live-rate heads have made up frames
  // only up to their wait ago; placed at now, a looping file's seam would
  // show the wait in made-up frames before the file's own. One frame less
  // than the wait, so that the first buffer is still in time.
  GstClockTimeDiff file_lead = 160 * GST_MSECOND;
  // Set before the pipeline plays when content alarms are watched: what the
  // input's pictures and sound show (it guards itself).
  std::shared_ptr<ContentWatch> content = nullptr;
  std::mutex mutex;
  // Guarded by `mutex`.
  // Monotonic time (g_get_monotonic_time) of the last decoded buffer, or of
  // the moment watching began when none has come since.
  gint64 last_buffer_us = g_get_monotonic_time();
  // The input the probes report for; probes of an older one stay quiet.
  uint64_t generation = 0;
  // The current input has delivered a buffer.
  bool flowing = false;
  // Added to the running time of the current input's streams so that its
  // first buffer goes out now; one value for all of them keeps them in sync.
  std::optional<GstClockTimeDiff> offset;
  // The latest running time (offset included) a buffer of the current input
  // reaches: a file runs ahead of the clock and then waits for room, live
  // input arrives about when it is due.
  std::optional<GstClockTimeDiff> media_end;
  // Decoder pads of the current input that have not ended yet.
  int open_streams = 0;
  // Buffers the live-rate elements made up (GAP-flagged), per kind.
  uint64_t filled_video = 0;
  uint64_t filled_audio = 0;
};

using SharedInputActivity = std::shared_ptr<InputActivity>;

// Structure name and fields of the application messages the probes post
// from the decoder when the stream outlives its input.
inline constexpr const char *kInputMessage = "nerko-input";
inline constexpr const char *kInputFlowing = "flowing";  // first buffer of an input
inline constexpr const char *kInputEnded = "ended";      // every stream reached its end

// Watches a decoder pad that feeds a branch: every buffer counts as input.
// With `keep_alive`, the pad's running time is also moved onto the
// pipeline's, its end of stream is kept from the branch (and reported once
// every stream of the input has ended), and the first buffer is reported.
void watch_decoded_pad(GstPad *pad, const SharedInputActivity &activity, bool keep_alive);

// Counts the GAP-flagged buffers leaving a live-rate element.
void count_filled_buffers(GstPad *source, const SharedInputActivity &activity, StreamKind kind);

// The pipeline's running time now, seen from `element`; none before it has
// a clock.
GstClockTime running_time_now(GstElement *element);

// The running time of `stamp` in the segment `pad` holds (before the pad's
// offset); none when it cannot be told.
GstClockTime stamp_running_time(GstPad *pad, GstClockTime stamp);

// The same of `buffer`'s PTS.
GstClockTime buffer_running_time(GstPad *pad, GstBuffer *buffer);

// A file starts at running time 0, which for a pipeline that has played for
// an hour lies an hour in the past: everything would be late. The offset
// that moves the pad's time so that `buffer` is due now makes any input look
// like a live source that starts now (0 when the time cannot be told).
GstClockTimeDiff offset_to_now(GstPad *pad, GstBuffer *buffer);

// Makes the next input the current one: the probes of the one before go
// quiet, and the watchdog counts its silence from now. Returns its number.
uint64_t begin_new_input(InputActivity &activity);

// The watchdog counts the input's silence from now.
void restart_silence(InputActivity &activity);

// Milliseconds since the last decoded buffer (or since watching began).
gint64 input_silence_ms(InputActivity &activity);

// Milliseconds by which the pipeline's clock has passed the end of what the
// input delivered: how long it has left the stream without media, whether
// it runs ahead of the clock (a file held back by the branches) or not.
// Until its first buffer, the silence since it was opened.
gint64 input_quiet_ms(InputActivity &activity, GstElement *pipeline);

}  // namespace nerko
