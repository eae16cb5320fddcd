#include "encoder/input/content_watch.h"

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "encoder/control/gst_ref.h"
#include "encoder/input/input_activity.h"

namespace nerko {
namespace {

constexpr gint64 kClearAfterUs = 2 * G_USEC_PER_SEC;
// A condition not seen for this long is no longer known to hold: the input
// sends nothing, which is the watchdog's and the failover's to judge.
constexpr gint64 kStaleUs = G_USEC_PER_SEC;

// Luma is sampled on a grid: enough points that a small moving object or a
// caption still lands on some, few enough that a 720p30 picture costs
// microseconds.
constexpr int kColumns = 64;
constexpr int kRows = 36;
// Black: at least this share of the points at or below a tenth of the range.
constexpr double kBlackShare = 0.98;
// Frozen: each picture is held against the first of its still run, not only
// against the one before, since a source that encodes one still picture again
// and again changes it by its coding noise on every key frame (measured on a
// still test picture through x264: up to 2.0 levels on average, 5 at a
// point), and a pan slower than a level a frame would pass between
// neighbours. Still while the mean change of a point stays below 3 levels of
// 8-bit luma and no point changes by more than 24 (a tenth of the range): a
// small moving object (a ball of 1 % of the picture) moves some point by far
// more, a slow pan or camera noise moves many.
constexpr double kFrozenMeanChange = 3.0;
constexpr int kFrozenLargestChange = 24;
// Silent: every channel's RMS below -50 dBFS.
const double kSilentRms = std::pow(10.0, -50.0 / 20.0);

size_t index_of(ContentAlarm alarm) {
  return static_cast<size_t>(alarm);
}

// The pad's format and the grid of the picture before; belongs to the pad's
// streaming thread.
struct PadContent {
  std::shared_ptr<ContentWatch> watch;
  bool video = false;
  bool audio = false;
  GstVideoInfo video_info = {};
  GstAudioInfo audio_info = {};
  std::vector<uint8_t> still = {};  // the grid of the picture a still run began with; empty before one
};

// Component `k` of the pixel at (x, y), scaled to 8 bits; -1 where the format
// has no plain layout (tiled, or packed in other ways).
int component(const GstVideoFrame &frame, int k, int x, int y) {
  const GstVideoFormatInfo *format = frame.info.finfo;
  const int pixel_stride = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, k);
  const int depth = GST_VIDEO_FORMAT_INFO_DEPTH(format, k);
  if (pixel_stride <= 0 || depth < 8 || depth > 16 || GST_VIDEO_FORMAT_INFO_IS_TILED(format))
    return -1;
  const auto *data = static_cast<const uint8_t *>(GST_VIDEO_FRAME_COMP_DATA(&frame, k)) +
                     static_cast<ptrdiff_t>(y) * GST_VIDEO_FRAME_COMP_STRIDE(&frame, k) +
                     static_cast<ptrdiff_t>(x) * pixel_stride;
  if (depth == 8 && GST_VIDEO_FORMAT_INFO_SHIFT(format, k) == 0)
    return data[0];
  const int raw = GST_VIDEO_FORMAT_INFO_IS_LE(format) ? (data[0] | data[1] << 8) : (data[0] << 8 | data[1]);
  return ((raw >> GST_VIDEO_FORMAT_INFO_SHIFT(format, k)) & ((1 << depth) - 1)) >> (depth - 8);
}

// Luma of the pixel at (x, y) in 8 bits, or -1.
int luma(const GstVideoFrame &frame, int x, int y) {
  if (!GST_VIDEO_FORMAT_INFO_IS_RGB(frame.info.finfo))
    return component(frame, 0, x, y);
  const int r = component(frame, 0, x, y), g = component(frame, 1, x, y), b = component(frame, 2, x, y);
  if (r < 0 || g < 0 || b < 0)
    return -1;
  return (r * 54 + g * 183 + b * 19) >> 8;
}

void judge_picture(PadContent &pad, GstBuffer *buffer, GstClockTime media_time, gint64 now_us) {
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &pad.video_info, buffer, GST_MAP_READ))
    return;
  const int width = GST_VIDEO_FRAME_WIDTH(&frame), height = GST_VIDEO_FRAME_HEIGHT(&frame);
  std::vector<uint8_t> grid;
  grid.reserve(kColumns * kRows);
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const int value = luma(frame, (2 * column + 1) * width / (2 * kColumns), (2 * row + 1) * height / (2 * kRows));
      if (value < 0)
        break;
      grid.push_back(static_cast<uint8_t>(value));
    }
  }
  gst_video_frame_unmap(&frame);
  if (grid.size() != static_cast<size_t>(kColumns * kRows))
    return;
  // A tenth of the range above black: 16 + 21.9 in studio range, 25.5 in full range.
  const bool full_range = GST_VIDEO_INFO_IS_RGB(&pad.video_info) ||
                          pad.video_info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
  const int darkest = full_range ? 25 : 37;
  size_t dark = 0;
  for (uint8_t value : grid)
    dark += value <= darkest;
  const bool black = static_cast<double>(dark) >= kBlackShare * static_cast<double>(grid.size());
  pad.watch->observe(ContentAlarm::VideoBlack, black, media_time, now_us);
  if (pad.still.empty()) {
    pad.still = std::move(grid);
    return;
  }
  uint64_t change = 0;
  int largest = 0;
  for (size_t i = 0; i < grid.size(); ++i) {
    const int difference = std::abs(grid[i] - pad.still[i]);
    change += static_cast<uint64_t>(difference);
    largest = std::max(largest, difference);
  }
  const bool still = largest <= kFrozenLargestChange &&
                     static_cast<double>(change) < kFrozenMeanChange * static_cast<double>(grid.size());
  // A black picture is still too; black says more.
  pad.watch->observe(ContentAlarm::VideoFrozen, still && !black, media_time, now_us);
  if (!still)
    pad.still = std::move(grid);
}

// Adds the squares of `count` samples at `data`, one channel every `step`
// starting at `first`, to `sums`.
void add_squares(const GstAudioFormatInfo *format, gconstpointer data, int count, int channels,
                 std::vector<double> &sums, int first_channel) {
  if (format->unpack_format == GST_AUDIO_FORMAT_F64) {
    std::vector<double> samples(count);
    format->unpack_func(format, GST_AUDIO_PACK_FLAG_NONE, samples.data(), data, count);
    for (int i = 0; i < count; ++i)
      sums[first_channel + i % channels] += samples[i] * samples[i];
  } else {
    std::vector<int32_t> samples(count);
    format->unpack_func(format, GST_AUDIO_PACK_FLAG_NONE, samples.data(), data, count);
    for (int i = 0; i < count; ++i) {
      const double value = samples[i] / 2147483648.0;
      sums[first_channel + i % channels] += value * value;
    }
  }
}

void judge_sound(PadContent &pad, GstBuffer *buffer, GstClockTime media_time, gint64 now_us) {
  GstAudioBuffer sound;
  if (!gst_audio_buffer_map(&sound, &pad.audio_info, buffer, GST_MAP_READ))
    return;
  const int channels = GST_AUDIO_INFO_CHANNELS(&pad.audio_info);
  const int frames = static_cast<int>(sound.n_samples);
  std::vector<double> sums(channels, 0.0);
  if (frames > 0 && channels > 0) {
    if (GST_AUDIO_INFO_LAYOUT(&pad.audio_info) == GST_AUDIO_LAYOUT_INTERLEAVED)
      add_squares(pad.audio_info.finfo, sound.planes[0], frames * channels, channels, sums, 0);
    else
      for (int c = 0; c < sound.n_planes && c < channels; ++c)
        add_squares(pad.audio_info.finfo, sound.planes[c], frames, 1, sums, c);
  }
  gst_audio_buffer_unmap(&sound);
  if (frames <= 0 || channels <= 0)
    return;
  bool silent = true;
  for (double sum : sums)
    silent = silent && std::sqrt(sum / frames) < kSilentRms;
  pad.watch->observe(ContentAlarm::AudioSilent, silent, media_time, now_us);
}

void take_caps(PadContent &pad, GstCaps *caps) {
  pad.still.clear();
  pad.video = pad.audio = false;
  const GstStructure *first = caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
  if (!first)
    return;
  if (gst_structure_has_name(first, "video/x-raw"))
    pad.video = gst_video_info_from_caps(&pad.video_info, caps);
  else if (gst_structure_has_name(first, "audio/x-raw"))
    pad.audio = gst_audio_info_from_caps(&pad.audio_info, caps);
}

GstPadProbeReturn on_content(GstPad *source, GstPadProbeInfo *info, gpointer data) {
  auto &pad = *static_cast<PadContent *>(data);
  if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
    GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
      GstCaps *caps = nullptr;
      gst_event_parse_caps(event, &caps);
      take_caps(pad, caps);
    }
    return GST_PAD_PROBE_OK;
  }
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (!buffer || GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_GAP))
    return GST_PAD_PROBE_OK;
  const gint64 now = g_get_monotonic_time();
  GstClockTime media_time = buffer_running_time(source, buffer);
  if (!GST_CLOCK_TIME_IS_VALID(media_time))
    media_time = static_cast<GstClockTime>(now) * GST_USECOND;
  if (pad.video)
    judge_picture(pad, buffer, media_time, now);
  else if (pad.audio)
    judge_sound(pad, buffer, media_time, now);
  return GST_PAD_PROBE_OK;
}

}  // namespace

const char *alarm_text(ContentAlarm alarm) {
  switch (alarm) {
    case ContentAlarm::VideoBlack: return "video black";
    case ContentAlarm::VideoFrozen: return "video frozen";
    case ContentAlarm::AudioSilent: return "audio silent";
  }
  return "";
}

const char *alarm_label(ContentAlarm alarm) {
  switch (alarm) {
    case ContentAlarm::VideoBlack: return "video_black";
    case ContentAlarm::VideoFrozen: return "video_frozen";
    case ContentAlarm::AudioSilent: return "audio_silent";
  }
  return "";
}

Status read_failover_on(const std::string &list, ContentAlarmSettings &settings) {
  static const struct {
    const char *word;
    ContentAlarm alarm;
    const char *setting;
  } kConditions[] = {{"black", ContentAlarm::VideoBlack, "NERKO_BLACK_ALARM_S"},
                     {"frozen", ContentAlarm::VideoFrozen, "NERKO_FROZEN_ALARM_S"},
                     {"silence", ContentAlarm::AudioSilent, "NERKO_SILENCE_ALARM_S"}};
  std::istringstream words(list);
  std::string word;
  while (std::getline(words, word, ',')) {
    if (word.empty())
      continue;
    bool known = false;
    for (const auto &condition : kConditions) {
      if (word != condition.word)
        continue;
      known = true;
      if (settings.threshold_s[index_of(condition.alarm)] == 0)
        return EncoderError::library("NERKO_FAILOVER_ON lists " + word + ", which needs " + condition.setting +
                                     " above 0");
      settings.fails_over[index_of(condition.alarm)] = true;
    }
    if (!known)
      return EncoderError::library("NERKO_FAILOVER_ON lists \"" + word +
                                   "\"; the conditions are black, frozen and silence");
  }
  return std::nullopt;
}

void ContentWatch::observe(ContentAlarm alarm, bool condition, GstClockTime media_time, gint64 now_us) {
  std::lock_guard<std::mutex> lock(mutex_);
  Condition &c = conditions_[index_of(alarm)];
  if (!condition) {
    c.holding = false;
    return;
  }
  // Media time, since a file's pictures come in bursts as the queues behind
  // the decoder fill; a step back or a jump (a new input, a loop) starts the
  // condition anew.
  const bool continues = c.holding && now_us - c.last_seen_us < kStaleUs && media_time >= c.last_media &&
                         media_time - c.last_media < GST_SECOND;
  if (!continues)
    c.since_media = media_time;
  c.holding = true;
  c.last_media = media_time;
  c.last_seen_us = now_us;
}

std::vector<ContentWatch::Change> ContentWatch::update(gint64 now_us) {
  std::vector<Change> changes;
  std::lock_guard<std::mutex> lock(mutex_);
  for (ContentAlarm alarm : kContentAlarms) {
    const GstClockTime threshold = settings_.threshold_s[index_of(alarm)] * GST_SECOND;
    Condition &c = conditions_[index_of(alarm)];
    if (threshold == 0)
      continue;
    const bool current = c.holding && now_us - c.last_seen_us < kStaleUs;
    if (!c.alarm && current && c.last_media - c.since_media >= threshold) {
      c.alarm = true;
      c.alarm_since_us = now_us - static_cast<gint64>((c.last_media - c.since_media) / GST_USECOND);
      changes.push_back({alarm, true, static_cast<gint64>(threshold / GST_SECOND)});
    } else if (c.alarm && !current && now_us - c.last_seen_us >= kClearAfterUs) {
      c.alarm = false;
      changes.push_back({alarm, false, (c.last_seen_us - c.alarm_since_us + G_USEC_PER_SEC / 2) / G_USEC_PER_SEC});
    }
  }
  return changes;
}

bool ContentWatch::on(ContentAlarm alarm) {
  std::lock_guard<std::mutex> lock(mutex_);
  return conditions_[index_of(alarm)].alarm;
}

std::optional<ContentAlarm> ContentWatch::failing_alarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (ContentAlarm alarm : kContentAlarms)
    if (settings_.fails_over[index_of(alarm)] && conditions_[index_of(alarm)].alarm)
      return alarm;
  return std::nullopt;
}

void watch_content(GstPad *pad, const std::shared_ptr<ContentWatch> &watch) {
  auto *content = new PadContent;
  content->watch = watch;
  CapsRef caps(gst_pad_get_current_caps(pad));
  take_caps(*content, caps.get());
  gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                    on_content, content, [](gpointer data) { delete static_cast<PadContent *>(data); });
}

}  // namespace nerko
