#include "encoder/control/prometheus_text.h"

#include <glib.h>

#include <cstdint>

namespace nerko {
namespace {

// "{" + labels + "}" with the channel label in front when there is one;
// "" when there are no labels at all.
std::string label_set(std::string_view channel, std::string_view labels) {
  std::string inside;
  if (!channel.empty())
    inside = "channel=\"" + prometheus_label_value(channel) + "\"";
  if (!labels.empty()) {
    if (!inside.empty())
      inside += ",";
    inside += labels;
  }
  return inside.empty() ? "" : "{" + inside + "}";
}

std::string sender_sample(std::string_view channel, const char *session, const char *kind, uint64_t bytes) {
  return "nerko_encoder_bytes_served_total" +
         label_set(channel, std::string("session=\"") + session + "\",kind=\"" + kind + "\"") + " " +
         std::to_string(bytes) + "\n";
}

std::string input_up_samples(const InputHealth &input, std::string_view channel) {
  if (!input.redundancy)
    return "nerko_encoder_input_up" + label_set(channel, "") + (input.up ? " 1\n" : " 0\n");
  return "nerko_encoder_input_up" + label_set(channel, "input=\"primary\"") + (input.up ? " 1\n" : " 0\n") +
         "nerko_encoder_input_up" + label_set(channel, "input=\"backup\"") +
         (input.redundancy->backup_up ? " 1\n" : " 0\n");
}

std::string redundancy_text(const RedundancyHealth &redundancy, std::string_view channel) {
  std::string text =
      "# HELP nerko_encoder_active_input 1 for the input on air: primary, backup, or fill while neither is.\n"
      "# TYPE nerko_encoder_active_input gauge\n";
  for (const char *input : {"primary", "backup", "fill"})
    text += "nerko_encoder_active_input" + label_set(channel, std::string("input=\"") + input + "\"") +
            (std::string_view(redundancy.on_air) == input ? " 1\n" : " 0\n");
  return text +
         "# HELP nerko_encoder_input_switches_total Changes of the input on air.\n"
         "# TYPE nerko_encoder_input_switches_total counter\n"
         "nerko_encoder_input_switches_total" + label_set(channel, "") + " " +
         std::to_string(redundancy.switches) + "\n";
}

std::string input_health_text(const InputHealth &input, std::string_view channel) {
  return "# HELP nerko_encoder_input_up 1 while decoded buffers arrive from the input, 0 while it stalls or is reopened.\n"
         "# TYPE nerko_encoder_input_up gauge\n" +
         input_up_samples(input, channel) +
         "# HELP nerko_encoder_input_restarts_total Inputs made anew after the input was lost.\n"
         "# TYPE nerko_encoder_input_restarts_total counter\n"
         "nerko_encoder_input_restarts_total" + label_set(channel, "") + " " + std::to_string(input.restarts) + "\n"
         "# HELP nerko_encoder_filled_buffers_total Buffers made up (black or last frame, silence) while the input gave none.\n"
         "# TYPE nerko_encoder_filled_buffers_total counter\n"
         "nerko_encoder_filled_buffers_total" + label_set(channel, "kind=\"video\"") + " " +
         std::to_string(input.filled_video) + "\n"
         "nerko_encoder_filled_buffers_total" + label_set(channel, "kind=\"audio\"") + " " +
         std::to_string(input.filled_audio) + "\n";
}

// Seconds to the millisecond; a sender a moment ahead of the clock is not behind.
std::string behind_sample(std::string_view channel, const char *kind, GstClockTimeDiff lag) {
  char seconds[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(seconds, sizeof seconds, "%.3f", lag > 0 ? static_cast<double>(lag) / GST_SECOND : 0.0);
  return "nerko_encoder_behind_seconds" + label_set(channel, std::string("kind=\"") + kind + "\"") + " " +
         seconds + "\n";
}

std::string latency_text(std::string_view channel, GstClockTime latency) {
  char seconds[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(seconds, sizeof seconds, "%.3f", static_cast<double>(latency) / GST_SECOND);
  return "# HELP nerko_encoder_latency_seconds How long the senders hold each buffer behind the input, in seconds.\n"
         "# TYPE nerko_encoder_latency_seconds gauge\n"
         "nerko_encoder_latency_seconds" + label_set(channel, "") + " " + seconds + "\n";
}

std::string alarm_text(const std::vector<AlarmSample> &alarms, std::string_view channel) {
  std::string text =
      "# HELP nerko_encoder_alarm 1 while a content alarm (black, frozen or silent) is on for an input.\n"
      "# TYPE nerko_encoder_alarm gauge\n";
  for (const AlarmSample &alarm : alarms)
    text += "nerko_encoder_alarm" +
            label_set(channel, "input=\"" + prometheus_label_value(alarm.input) + "\",alarm=\"" +
                                   prometheus_label_value(alarm.alarm) + "\"") +
            (alarm.on ? " 1\n" : " 0\n");
  return text;
}

}  // namespace

std::string prometheus_label_value(std::string_view value) {
  gchar *valid = g_utf8_make_valid(value.data(), static_cast<gssize>(value.size()));
  std::string escaped;
  for (const char *p = valid; *p; ++p) {
    switch (*p) {
      case '\\': escaped += "\\\\"; break;
      case '"': escaped += "\\\""; break;
      case '\n': escaped += "\\n"; break;
      default: escaped += *p;
    }
  }
  g_free(valid);
  return escaped;
}

std::string prometheus_text(const SenderCounts &counts, bool ready, std::string_view revision,
                            std::string_view channel, const SendLag &lag, const InputHealth *input,
                            const std::vector<AlarmSample> *alarms, std::optional<uint32_t> video_threads) {
  std::string text =
      "# HELP nerko_encoder_bytes_served_total Bytes sent by each UDP sender of the encoder.\n"
      "# TYPE nerko_encoder_bytes_served_total counter\n";
  text += sender_sample(channel, "video", "rtp", counts.video_rtp);
  text += sender_sample(channel, "video", "rtcp", counts.video_rtcp);
  text += sender_sample(channel, "audio", "rtp", counts.audio_rtp);
  text += sender_sample(channel, "audio", "rtcp", counts.audio_rtcp);
  text +=
      "# HELP nerko_encoder_ready 1 once the audio stream was seen to flow and READY FOR PLAYBACK was printed.\n"
      "# TYPE nerko_encoder_ready gauge\n"
      "nerko_encoder_ready" + label_set(channel, "") + (ready ? " 1\n" : " 0\n");
  text +=
      "# HELP nerko_encoder_build_info Source revision the encoder was built from.\n"
      "# TYPE nerko_encoder_build_info gauge\n"
      "nerko_encoder_build_info" +
      label_set(channel, "revision=\"" + prometheus_label_value(revision) + "\"") + " 1\n";
  if (lag.video || lag.audio)
    text +=
        "# HELP nerko_encoder_behind_seconds How far the media sent lags the pipeline clock, in seconds.\n"
        "# TYPE nerko_encoder_behind_seconds gauge\n";
  if (lag.video)
    text += behind_sample(channel, "video", *lag.video);
  if (lag.audio)
    text += behind_sample(channel, "audio", *lag.audio);
  if (lag.latency)
    text += latency_text(channel, *lag.latency);
  if (input)
    text += input_health_text(*input, channel);
  if (input && input->redundancy)
    text += redundancy_text(*input->redundancy, channel);
  if (alarms && !alarms->empty())
    text += alarm_text(*alarms, channel);
  if (video_threads)
    text +=
        "# HELP nerko_encoder_video_threads Threads the video encoder works with now.\n"
        "# TYPE nerko_encoder_video_threads gauge\n"
        "nerko_encoder_video_threads" + label_set(channel, "") + " " + std::to_string(*video_threads) + "\n";
  return text;
}

}  // namespace nerko
