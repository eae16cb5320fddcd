#include "encoder/control/channel_status.h"

#include <json-glib/json-glib.h>

#include <algorithm>
#include <mutex>

#include "encoder/control/build_revision.h"
#include "encoder/control/prometheus_text.h"

namespace nerko {
namespace {

constexpr guint kReadingIntervalMs = 1000;
// As on the console: less than this is jitter.
constexpr GstClockTimeDiff kBehindAlarm = GST_SECOND;
constexpr const char *kSenderNames[] = {"video_rtp", "video_rtcp", "audio_rtp", "audio_rtcp"};

std::array<uint64_t, 4> as_array(const SenderCounts &c) {
  return {c.video_rtp, c.video_rtcp, c.audio_rtp, c.audio_rtcp};
}

std::string seconds_text(GstClockTimeDiff time) {
  char text[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(text, sizeof text, "%.1f", static_cast<double>(time) / GST_SECOND);
  return text;
}

void add_behind_alarm(std::vector<std::string> &alarms, const char *kind, const std::optional<GstClockTimeDiff> &lag) {
  if (lag && *lag > kBehindAlarm)
    alarms.push_back(std::string(kind) + " is " + seconds_text(*lag) + " s behind real time");
}

void add_inputs(ChannelSnapshot &s, InputSupervisor *supervisor, const SharedInputActivity &activity) {
  if (!supervisor) {
    s.on_air = "primary";
    s.inputs.push_back({"primary", input_silence_ms(*activity) < 1000, 0});
    return;
  }
  s.health = supervisor->health();
  s.on_air = input_role_name(supervisor->on_air());
  if (std::optional<InputRole> held = supervisor->held())
    s.held = input_role_name(*held);
  s.inputs.push_back({"primary", s.health->up, s.health->restarts});
  if (s.health->redundancy)
    s.inputs.push_back({"backup", s.health->redundancy->backup_up, 0});
}

// "Video black on the primary input", as the console says it.
std::string content_alarm_line(const AlarmSample &alarm) {
  std::string what = alarm.alarm;
  std::replace(what.begin(), what.end(), '_', ' ');
  what[0] = static_cast<char>(g_ascii_toupper(what[0]));
  return what + " on the " + alarm.input + " input";
}

std::vector<std::string> alarms_of(const ChannelSnapshot &s) {
  std::vector<std::string> alarms;
  for (const InputState &input : s.inputs)
    if (!input.up)
      alarms.push_back(std::string(input.name == std::string("primary") ? "The input" : "The backup input") +
                       " delivers nothing");
  if (s.on_air == "backup")
    alarms.push_back("The backup input is on air");
  else if (s.on_air == "fill")
    alarms.push_back("No input is on air");
  for (const AlarmSample &content : s.content_alarms)
    if (content.on)
      alarms.push_back(content_alarm_line(content));
  add_behind_alarm(alarms, "Video", s.lag.video);
  add_behind_alarm(alarms, "Audio", s.lag.audio);
  return alarms;
}

void add_seconds(JsonBuilder *b, const char *name, const std::optional<GstClockTimeDiff> &time) {
  json_builder_set_member_name(b, name);
  if (time)
    json_builder_add_double_value(b, static_cast<double>(std::max<GstClockTimeDiff>(*time, 0)) / GST_SECOND);
  else
    json_builder_add_null_value(b);
}

void add_text(JsonBuilder *b, const char *name, const std::optional<std::string> &text) {
  json_builder_set_member_name(b, name);
  if (text)
    json_builder_add_string_value(b, text->c_str());
  else
    json_builder_add_null_value(b);
}

}  // namespace

const char *input_role_name(InputRole role) {
  switch (role) {
    case InputRole::Primary: return "primary";
    case InputRole::Backup: return "backup";
    case InputRole::Slate: return "slate";
    case InputRole::None: break;
  }
  return "fill";
}

ChannelStatus::ChannelStatus(Parts parts) : parts_(std::move(parts)), started_us_(g_get_monotonic_time()) {
  refresh();
  timer_id_ = g_timeout_add(
      kReadingIntervalMs,
      [](gpointer data) -> gboolean {
        static_cast<ChannelStatus *>(data)->refresh();
        return G_SOURCE_CONTINUE;
      },
      this);
}

ChannelStatus::~ChannelStatus() { g_source_remove(timer_id_); }

void ChannelStatus::refresh() {
  ChannelSnapshot s;
  s.taken_us = g_get_monotonic_time();
  s.uptime_ms = (s.taken_us - started_us_) / 1000;
  {
    std::lock_guard<std::mutex> lock(parts_.sinks->mutex);
    s.counts = read_sender_counts(*parts_.sinks);
    s.lag = read_send_lag(*parts_.sinks);
  }
  // The supervisor takes the activity's lock; nothing is taken under the senders'.
  add_inputs(s, parts_.supervisor.get(), parts_.activity);
  const std::array<uint64_t, 4> now = as_array(s.counts), before = as_array(snapshot_.counts);
  const gint64 elapsed_us = s.taken_us - snapshot_.taken_us;
  for (size_t i = 0; i < now.size(); ++i)
    if (snapshot_.taken_us != 0 && elapsed_us > 0 && now[i] >= before[i])
      s.bits_per_second[i] = (now[i] - before[i]) * 8 * G_USEC_PER_SEC / elapsed_us;
  s.ready = parts_.statistics->ready_printed;
  s.video_target = parts_.video->target_bitrate();
  if (parts_.statistics->alarms)
    s.content_alarms = parts_.statistics->alarms->alarms();
  s.alarms = alarms_of(s);
  snapshot_ = std::move(s);
}

std::string ChannelStatus::json() const {
  const ChannelSnapshot &s = snapshot_;
  Owned<JsonBuilder, g_object_unref> builder(json_builder_new());
  JsonBuilder *b = builder.get();
  json_builder_begin_object(b);
  json_builder_set_member_name(b, "channel");
  json_builder_add_string_value(b, parts_.channel.c_str());
  json_builder_set_member_name(b, "version");
  json_builder_add_string_value(b, "3.2.2");
  json_builder_set_member_name(b, "revision");
  json_builder_add_string_value(b, build_revision);
  // To the millisecond: the time of the reading, so that two readings' byte
  // counts give a rate.
  json_builder_set_member_name(b, "uptime_seconds");
  json_builder_add_double_value(b, static_cast<double>(s.uptime_ms) / 1000.0);
  json_builder_set_member_name(b, "ready");
  json_builder_add_boolean_value(b, s.ready);

  json_builder_set_member_name(b, "on_air");
  json_builder_add_string_value(b, s.on_air.c_str());
  add_text(b, "held", s.held);
  json_builder_set_member_name(b, "inputs");
  json_builder_begin_array(b);
  for (const InputState &input : s.inputs) {
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "name");
    json_builder_add_string_value(b, input.name);
    json_builder_set_member_name(b, "up");
    json_builder_add_boolean_value(b, input.up);
    json_builder_set_member_name(b, "restarts");
    json_builder_add_int_value(b, static_cast<gint64>(input.restarts));
    json_builder_end_object(b);
  }
  json_builder_end_array(b);

  json_builder_set_member_name(b, "senders");
  json_builder_begin_array(b);
  const std::array<uint64_t, 4> counts = as_array(s.counts);
  for (size_t i = 0; i < counts.size(); ++i) {
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "name");
    json_builder_add_string_value(b, kSenderNames[i]);
    json_builder_set_member_name(b, "bytes");
    json_builder_add_int_value(b, static_cast<gint64>(counts[i]));
    json_builder_set_member_name(b, "bits_per_second");
    if (s.bits_per_second[i])
      json_builder_add_int_value(b, static_cast<gint64>(*s.bits_per_second[i]));
    else
      json_builder_add_null_value(b);
    json_builder_end_object(b);
  }
  json_builder_end_array(b);

  json_builder_set_member_name(b, "video_target_bits_per_second");
  if (s.video_target)
    json_builder_add_int_value(b, *s.video_target);
  else
    json_builder_add_null_value(b);
  add_seconds(b, "latency_seconds",
              s.lag.latency ? std::optional<GstClockTimeDiff>(static_cast<GstClockTimeDiff>(*s.lag.latency))
                            : std::nullopt);
  json_builder_set_member_name(b, "behind_seconds");
  json_builder_begin_object(b);
  add_seconds(b, "video", s.lag.video);
  add_seconds(b, "audio", s.lag.audio);
  json_builder_end_object(b);
  json_builder_set_member_name(b, "alarms");
  json_builder_begin_array(b);
  for (const std::string &alarm : s.alarms)
    json_builder_add_string_value(b, alarm.c_str());
  json_builder_end_array(b);
  json_builder_end_object(b);

  Owned<JsonNode, json_node_unref> root(json_builder_get_root(b));
  GStringRef text(json_to_string(root.get(), TRUE));
  return std::string(text.get()) + "\n";
}

std::string ChannelStatus::metrics() const {
  const ChannelSnapshot &s = snapshot_;
  return prometheus_text(s.counts, s.ready, build_revision, parts_.channel, s.lag, s.health ? &*s.health : nullptr,
                         parts_.statistics->alarms ? &s.content_alarms : nullptr);
}

}  // namespace nerko
