#include "encoder/graph/settings.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace nerko {
namespace {

// Digits with an optional sign; `allow_minus` decides whether "-" is a sign.
std::optional<int64_t> parse_decimal(std::string_view text, bool allow_minus, int64_t min,
                                     int64_t max) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || (allow_minus && text[0] == '-'))) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
    // Past any 32-bit value: stop before the 64-bit accumulator could overflow.
    if (value > int64_t{1} << 33)
      return std::nullopt;
  }
  if (negative)
    value = -value;
  if (value < min || value > max)
    return std::nullopt;
  return value;
}

}  // namespace

std::optional<int32_t> parse_int32(std::string_view text) {
  auto v = parse_decimal(text, true, std::numeric_limits<int32_t>::min(),
                         std::numeric_limits<int32_t>::max());
  if (!v)
    return std::nullopt;
  return static_cast<int32_t>(*v);
}

std::optional<uint32_t> parse_uint32(std::string_view text) {
  auto v = parse_decimal(text, false, 0, std::numeric_limits<uint32_t>::max());
  if (!v)
    return std::nullopt;
  return static_cast<uint32_t>(*v);
}

std::string show_bytes(std::string_view bytes) {
  std::string shown;
  const char *end = bytes.data() + bytes.size();
  for (const char *p = bytes.data(); p < end;) {
    gunichar c = g_utf8_get_char_validated(p, end - p);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      char escaped[8];
      g_snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(*p));
      shown += escaped;
      ++p;
    } else {
      const char *next = g_utf8_next_char(p);
      shown.append(p, next);
      p = next;
    }
  }
  return shown;
}

std::optional<bool> parse_bool(std::string_view text) {
  if (text == "true")
    return true;
  if (text == "false")
    return false;
  return std::nullopt;
}

namespace {

std::optional<std::string> any_text(std::string_view text) { return std::string(text); }

// The parsed value of a set variable, or `fallback` when it is unset (an empty
// value is a set value). Not valid Unicode, or a value `parse` refuses, is a
// fatal stop naming the variable.
template <typename T, typename Parse>
Result<T> read_setting(const char *name, T fallback, Parse parse, const char *expected) {
  const char *value = std::getenv(name);
  if (!value)
    return fallback;
  if (!g_utf8_validate(value, -1, nullptr))
    return EncoderError::fatal(std::string(name) + " must be valid Unicode, got \"" + show_bytes(value) + "\"");
  std::optional<T> parsed = parse(value);
  if (!parsed)
    return EncoderError::fatal(std::string(name) + " must be " + expected + ", got \"" + value + "\"");
  return std::move(*parsed);
}

// Reads settings in turn and keeps the first failure; after it every read
// gives its fallback and the failure is what the caller returns.
struct SettingsReader {
  Status failure;

  template <typename T>
  T keep(Result<T> read, T fallback) {
    if (!failure && read)
      return read.take();
    if (!failure)
      failure = read.error();
    return fallback;
  }
  int32_t integer(const char *name, int32_t fallback) { return keep(read_int_setting(name, fallback), fallback); }
  bool boolean(const char *name, bool fallback) { return keep(read_bool_setting(name, fallback), fallback); }
};

}  // namespace

Result<int32_t> read_int_setting(const char *name, int32_t fallback) {
  return read_setting(name, fallback, parse_int32, "a signed 32-bit decimal integer");
}

Result<uint32_t> read_uint_setting(const char *name, uint32_t fallback) {
  return read_setting(name, fallback, parse_uint32, "an unsigned 32-bit decimal integer");
}

Result<bool> read_bool_setting(const char *name, bool fallback) {
  return read_setting(name, fallback, parse_bool, "\"true\" or \"false\"");
}

Result<std::string> read_text_setting(const char *name, const char *fallback) {
  return read_setting(name, std::string(fallback), any_text, "text");
}

Result<VideoSettings> read_video_settings() {
  VideoSettings s{};
  SettingsReader read;
  s.target_video_bitrate = read.integer("NERKO_TARGET_VIDEO_BITRATE", 3000000);
  s.cq_level = read.integer("NERKO_CQ_LEVEL", 63);
  s.sharpness = read.integer("NERKO_SHARPNESS", 0);
  s.dropframe_threshold = read.integer("NERKO_DROPFRAME_THRESHOLD", 0);
  s.undershoot = read.integer("NERKO_UNDERSHOOT", 95);
  s.resize_allowed = read.boolean("NERKO_RESIZE_ALLOWED", true);
  s.end_usage = read.keep(read_text_setting("NERKO_END_USAGE", "cbr"), std::string("cbr"));
  s.boost = read.boolean("NERKO_BOOST", false);
  s.buffer_initial_size = read.integer("NERKO_BUFFER_INITIAL_SIZE", 4000);
  s.buffer_optimal_size = read.integer("NERKO_BUFFER_OPTIMAL_SIZE", 5000);
  s.buffer_size = read.integer("NERKO_BUFFER_SIZE", 6000);
  if (std::getenv("NERKO_VIDEO_THREADS"))
    s.video_threads = read.keep(read_uint_setting("NERKO_VIDEO_THREADS", 12), 12u);
  if (read.failure)
    return *read.failure;
  return s;
}

std::string final_settings_line(const VideoSettings &s) {
  std::string line = "Final settings for encoder: target_video_bitrate=";
  line += std::to_string(s.target_video_bitrate);
  line += ", cq_level=";
  line += s.uses_cq_level() ? std::to_string(s.cq_level) : "ignored";
  line += ", sharpness=" + std::to_string(s.sharpness);
  line += ", dropframe_threshold=" + std::to_string(s.dropframe_threshold);
  line += ", buffers=" + std::to_string(s.buffer_initial_size) + "/" +
          std::to_string(s.buffer_optimal_size) + "/" + std::to_string(s.buffer_size);
  line += ", undershoot=" + std::to_string(s.undershoot);
  line += std::string(", resize_allowed=") + (s.resize_allowed ? "true" : "false");
  line += ", end_usage=" + s.end_usage;
  line += "\n";
  return line;
}

std::string video_threads_line(const VideoSettings &s) {
  if (!s.video_threads)
    return "";
  return "Video encoder threads " + std::to_string(*s.video_threads) + "\n";
}

Result<int32_t> read_target_audio_bitrate() {
  return read_int_setting("NERKO_TARGET_AUDIO_BITRATE", 96000);
}

Result<uint32_t> read_video_fec_percent() {
  return read_uint_setting("NERKO_VIDEO_FEC_PERCENT", 100);
}

Result<uint32_t> read_audio_fec_percent() {
  return read_uint_setting("NERKO_AUDIO_FEC_PERCENT", 100);
}

Result<uint32_t> read_input_timeout() {
  return read_uint_setting("NERKO_INPUT_TIMEOUT", 10);
}

Result<bool> read_keep_alive() {
  return read_bool_setting("NERKO_KEEP_ALIVE", false);
}

Result<std::optional<uint32_t>> read_input_latency() {
  if (!std::getenv("NERKO_LATENCY_MS"))
    return std::optional<uint32_t>();
  Result<uint32_t> latency = read_uint_setting("NERKO_LATENCY_MS", 0);
  if (!latency)
    return latency.error();
  return std::optional<uint32_t>(latency.take());
}

Result<std::string> read_video_fill_mode() {
  auto fill_mode = [](std::string_view value) -> std::optional<std::string> {
    if (value == "black")
      return "black";
    if (value == "last")
      return "last-frame";
    if (value == "slate")
      return "slate";
    return std::nullopt;
  };
  return read_setting("NERKO_VIDEO_FILL", std::string("black"), fill_mode,
                      "\"black\", \"last\" or \"slate\"");
}

Result<std::string> read_backup_input() {
  return read_text_setting("NERKO_BACKUP_INPUT", "");
}

Result<uint32_t> read_failover_ms() {
  return read_uint_setting("NERKO_FAILOVER_MS", 1000);
}

Result<uint32_t> read_failback_s() {
  return read_uint_setting("NERKO_FAILBACK_S", 10);
}

Result<uint32_t> read_repeat_frame_ms() {
  return read_uint_setting("NERKO_REPEAT_FRAME_MS", 0);
}

Result<std::string> read_slate_image() {
  return read_text_setting("NERKO_SLATE_IMAGE", "");
}

}  // namespace nerko
