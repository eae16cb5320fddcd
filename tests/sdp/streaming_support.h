// What the session description and FEC recovery tests share: short clips
// made in the test, a free block of four loopback ports, the encoder's
// environment without the developer's NERKO_ settings, the receiver's paths
// and the counts it prints.
#pragma once

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

#include "support/pipeline_run.h"
#include "support/subprocess.h"

namespace nerko::test {

namespace fs = std::filesystem;

inline std::string read_text_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Theora video of `frames` frames at 25/s (320x240) and, when `audio_buffers`
// is not 0, Vorbis audio of that many 1024-sample buffers at 48 kHz stereo.
// With the audio shorter than the video the encoder sends exactly `frames`
// video frames (a longer audio track makes the frame-rate adapter repeat the
// last frame up to the audio's end).
inline void make_clip(const fs::path &path, int frames, int audio_buffers) {
  std::string description = "videotestsrc num-buffers=" + std::to_string(frames) +
                            " ! video/x-raw,width=320,height=240,framerate=25/1 ! theoraenc ! queue"
                            " ! oggmux name=mux ! filesink location=" + path.string();
  if (audio_buffers > 0)
    description += " audiotestsrc num-buffers=" + std::to_string(audio_buffers) +
                   " samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! vorbisenc ! queue ! mux.";
  testing_support::run_pipeline(description);
}

inline void make_audio_clip(const fs::path &path, int audio_buffers) {
  testing_support::run_pipeline("audiotestsrc num-buffers=" + std::to_string(audio_buffers) +
             " samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! vorbisenc ! oggmux"
             " ! filesink location=" + path.string());
}

// A base port whose block of four UDP ports on 127.0.0.1 was free a moment
// ago (the receiver binds them again right after). Drawn at random below the
// kernel's ephemeral range, so neither a sender's own source port nor a test
// running in parallel is likely to take the same block.
inline int free_port_block() {
  static std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(10000, 14999);
  for (int attempt = 0; attempt < 100; ++attempt) {
    int base = 2 * pick(random);
    bool all_free = true;
    for (int offset = 0; offset < 4 && all_free; ++offset) {
      int s = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<uint16_t>(base + offset));
      all_free = bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
      close(s);
    }
    if (all_free)
      return base;
  }
  ADD_FAILURE() << "no free block of four UDP ports";
  return 0;
}

// Every NERKO_ variable removed, so the developer's shell cannot change results.
inline testing_support::EnvChanges encoder_environment() {
  testing_support::EnvChanges env;
  for (const char *name :
       {"NERKO_TARGET_VIDEO_BITRATE", "NERKO_CQ_LEVEL", "NERKO_SHARPNESS", "NERKO_DROPFRAME_THRESHOLD",
        "NERKO_UNDERSHOOT", "NERKO_RESIZE_ALLOWED", "NERKO_END_USAGE", "NERKO_BOOST",
        "NERKO_BUFFER_INITIAL_SIZE", "NERKO_BUFFER_OPTIMAL_SIZE", "NERKO_BUFFER_SIZE",
        "NERKO_TARGET_AUDIO_BITRATE", "NERKO_VIDEO_FEC_PERCENT", "NERKO_AUDIO_FEC_PERCENT",
        "NERKO_SDP_FILE", "NERKO_PROMETHEUS_FILE", "NERKO_PROMETHEUS_CHANNEL"})
    env[name] = std::nullopt;
  return env;
}

inline std::string output_for(int base_port) { return "udp://127.0.0.1:" + std::to_string(base_port); }

// Streams `clip` to 127.0.0.1:`base_port` until its end.
inline testing_support::Outcome stream_clip(const fs::path &clip, int base_port, const fs::path &stats,
                                            const testing_support::EnvChanges &env) {
  return testing_support::run_to_end(
      {"zolvane", "-i", "file://" + clip.string(), output_for(base_port), stats.string()}, env);
}

// The built receiver and the script in front of it.
inline std::string receive_tool() {
  const char *dir = std::getenv("NERKO_BINARY_DIR");
  return std::string(dir ? dir : ".") + "/tools/receive/nerko-receive";
}
inline std::string receive_script() {
  return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "scripts" / "receive").string();
}
// The script uses the receiver of this build instead of building one.
inline testing_support::EnvChanges receive_environment() {
  return {{"NERKO_RECEIVE", receive_tool()}, {"RECEIVER_VIDEO_SINK", std::nullopt},
          {"RECEIVER_AUDIO_SINK", std::nullopt}};
}

// The counts a receiver check prints.
struct CheckCounts {
  uint64_t frames = 0;
  uint64_t samples = 0;
  std::optional<uint64_t> dropped;
  uint64_t lost = 0, video_lost = 0, audio_lost = 0;
  uint64_t recovered = 0, video_recovered = 0, audio_recovered = 0, unrecovered = 0;
  unsigned video_senders = 0, audio_senders = 0;
};

// The counts at the end of `out`, in exactly the printed form.
inline std::optional<CheckCounts> parse_check(const std::string &out) {
  size_t at = out.find("Video frames decoded: ");
  if (at == std::string::npos)
    return std::nullopt;
  std::string tail = out.substr(at);
  CheckCounts c;
  unsigned long long frames, samples, dropped, lost, video_lost, audio_lost, recovered, video_recovered,
      audio_recovered, unrecovered;
  unsigned video_senders, audio_senders;
  int used = 0;
  if (std::sscanf(tail.c_str(), "Video frames decoded: %llu\nAudio samples decoded: %llu\n%n", &frames, &samples,
                  &used) != 2)
    return std::nullopt;
  tail.erase(0, used);
  if (tail.starts_with("Packets dropped on purpose: ")) {
    used = 0;
    if (std::sscanf(tail.c_str(), "Packets dropped on purpose: %llu\n%n", &dropped, &used) != 1)
      return std::nullopt;
    c.dropped = dropped;
    tail.erase(0, used);
  }
  char end = 0;
  if (std::sscanf(tail.c_str(),
                  "Packets lost: %llu (video %llu, audio %llu)\n"
                  "Packets recovered by FEC: %llu (video %llu, audio %llu; unrecovered %llu%c\n"
                  "Senders seen: video %u, audio %u",
                  &lost, &video_lost, &audio_lost, &recovered, &video_recovered, &audio_recovered, &unrecovered,
                  &end, &video_senders, &audio_senders) != 10 ||
      end != ')' || !tail.ends_with(std::to_string(audio_senders) + "\n") ||
      std::count(tail.begin(), tail.end(), '\n') != 3)
    return std::nullopt;
  c.frames = frames;
  c.samples = samples;
  c.lost = lost;
  c.video_lost = video_lost;
  c.audio_lost = audio_lost;
  c.recovered = recovered;
  c.video_recovered = video_recovered;
  c.audio_recovered = audio_recovered;
  c.unrecovered = unrecovered;
  c.video_senders = video_senders;
  c.audio_senders = audio_senders;
  return c;
}

// The description with the numbers of its origin line replaced by N, after
// checking they are numbers: the session id is the start time, the version
// counts the rewrites.
inline std::string without_origin_numbers(const std::string &text, unsigned long long *version = nullptr) {
  size_t start = text.find("o=- ");
  if (start == std::string::npos)
    return text;
  size_t end = text.find("\r\n", start);
  unsigned long long id = 0, v = 0;
  int used = 0;
  std::string line = text.substr(start, end - start);
  if (std::sscanf(line.c_str(), "o=- %llu %llu IN IP4 127.0.0.1%n", &id, &v, &used) != 2 ||
      used != static_cast<int>(line.size()))
    return text;
  if (version)
    *version = v;
  return text.substr(0, start) + "o=- N N IN IP4 127.0.0.1" + text.substr(end);
}

}  // namespace nerko::test
