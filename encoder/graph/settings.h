// Encoder tuning from NERKO_ environment variables. Every malformed value is a
// fatal-stop error at the moment it is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoder/control/encoder_error.h"

namespace nerko {

// Decimal numbers with an optional single sign, digits only, within 32 bits.
std::optional<int32_t> parse_int32(std::string_view text);
// As parse_int32, but only "+" is accepted as a sign.
std::optional<uint32_t> parse_uint32(std::string_view text);
// Exactly "true" or "false".
std::optional<bool> parse_bool(std::string_view text);

// `bytes` for a diagnostic: every byte that starts no valid UTF-8 character
// is shown as \xNN, so the text shows what was received and stays valid UTF-8.
std::string show_bytes(std::string_view bytes);

// `fallback` when the variable is unset; a value that is not valid Unicode or
// does not parse is a FatalStop error: "<NAME> must be <what>, got \"<value>\"".
Result<int32_t> read_int_setting(const char *name, int32_t fallback);
Result<uint32_t> read_uint_setting(const char *name, uint32_t fallback);
Result<bool> read_bool_setting(const char *name, bool fallback);
Result<std::string> read_text_setting(const char *name, const char *fallback);

struct VideoSettings {
  int32_t target_video_bitrate;
  int32_t cq_level;
  int32_t sharpness;
  int32_t dropframe_threshold;
  int32_t undershoot;
  bool resize_allowed;
  std::string end_usage;
  bool boost;
  int32_t buffer_initial_size;
  int32_t buffer_optimal_size;
  int32_t buffer_size;
  // NERKO_VIDEO_THREADS; unset keeps vp8enc at the 12 threads it always had.
  std::optional<uint32_t> video_threads;

  // cq-level only takes effect with this exact end-usage text.
  bool uses_cq_level() const { return end_usage == "cq"; }
  uint32_t encoder_threads() const { return video_threads.value_or(12); }
};

// Reads the video settings in their documented order; the first malformed one
// is the error.
Result<VideoSettings> read_video_settings();
// "Final settings for encoder: ..." with its line feed.
std::string final_settings_line(const VideoSettings &settings);
// "Video encoder threads N" with its line feed when NERKO_VIDEO_THREADS is
// set; empty otherwise, so a channel that never set it prints what it always did.
std::string video_threads_line(const VideoSettings &settings);

Result<int32_t> read_target_audio_bitrate();

Result<uint32_t> read_video_fec_percent();
Result<uint32_t> read_audio_fec_percent();

// Seconds without a decoded buffer before the input counts as lost; 0 never.
Result<uint32_t> read_input_timeout();
// Whether the stream outlives its input (see keep_alive.h).
Result<bool> read_keep_alive();
// NERKO_LATENCY_MS, the input's buffering latency in milliseconds; nullopt
// while unset, so the decoder's elements keep their own (see input_latency.h).
Result<std::optional<uint32_t>> read_input_latency();
// livevideorate's "fill-mode" nick for NERKO_VIDEO_FILL: "black" (the
// default) gives "black", "last" gives "last-frame", "slate" gives "slate"
// (a picture of the operator's instead); anything else is a FatalStop error.
Result<std::string> read_video_fill_mode();

// The hot backup input's URI; empty when there is none (unset or empty).
Result<std::string> read_backup_input();
// Milliseconds without a decoded buffer after which the input on air counts
// as failed and the other one takes over.
Result<uint32_t> read_failover_ms();
// Seconds the primary must deliver without a break before it goes back on
// air; 0: the backup stays on air until it fails itself.
Result<uint32_t> read_failback_s();
// Milliseconds the last frame is repeated before black or the slate.
Result<uint32_t> read_repeat_frame_ms();
// The slate picture's path (NERKO_SLATE_IMAGE); empty when unset.
Result<std::string> read_slate_image();

}  // namespace nerko
