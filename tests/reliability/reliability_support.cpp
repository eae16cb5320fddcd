#include "reliability_support.h"

#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <vector>

#include "encoder/control/build_revision.h"

namespace nerko::reliability {

using testing_support::EnvChanges;
using testing_support::Outcome;

const std::string kDefaultFecLine = "FEC Settings VIDEO: 100 AUDIO: 100\n";
const std::string kBanner = std::string("Nerko Multicast Encoder 3.2.2 (") + build_revision + ")\n";

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "nerko-reliability-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data()))
    throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

EnvChanges settings_env(const EnvChanges &changes) {
  EnvChanges env;
  for (const char *name :
       {"NERKO_TARGET_VIDEO_BITRATE", "NERKO_CQ_LEVEL", "NERKO_SHARPNESS", "NERKO_DROPFRAME_THRESHOLD",
        "NERKO_UNDERSHOOT", "NERKO_RESIZE_ALLOWED", "NERKO_END_USAGE", "NERKO_BOOST",
        "NERKO_BUFFER_INITIAL_SIZE", "NERKO_BUFFER_OPTIMAL_SIZE", "NERKO_BUFFER_SIZE",
        "NERKO_TARGET_AUDIO_BITRATE", "NERKO_VIDEO_FEC_PERCENT", "NERKO_AUDIO_FEC_PERCENT",
        "NERKO_INPUT_TIMEOUT", "NERKO_KEEP_ALIVE", "NERKO_VIDEO_FILL"})
    env[name] = std::nullopt;
  for (const auto &[name, value] : changes)
    env[name] = value;
  return env;
}

namespace {

const char *kVideo = "videotestsrc pattern=ball num-buffers=%d ! "
                     "video/x-raw,width=320,height=240,framerate=10/1 ! theoraenc ! queue";
const char *kAudio = "audiotestsrc num-buffers=%d samplesperbuffer=4800 ! "
                     "audio/x-raw,rate=48000,channels=1 ! vorbisenc ! queue";

std::string video_part(int seconds) {
  char text[256];
  g_snprintf(text, sizeof text, kVideo, seconds * 10);
  return text;
}

std::string audio_part(int seconds) {
  char text[256];
  g_snprintf(text, sizeof text, kAudio, seconds * 10);
  return text;
}

std::string sink(const fs::path &file) { return "filesink location=\"" + file.string() + "\""; }

void write_subrip(const fs::path &file) {
  std::ofstream(file) << "1\n00:00:00,000 --> 00:00:00,500\nFirst words\n\n"
                         "2\n00:00:00,500 --> 00:00:01,000\nLast words\n\n";
}

}  // namespace

void make_audio_video_clip(const fs::path &file, int seconds) {
  run_pipeline(video_part(seconds) + " ! matroskamux name=mux ! " + sink(file) + " " + audio_part(seconds) +
               " ! mux.");
}

void make_video_only_clip(const fs::path &file) {
  run_pipeline(video_part(1) + " ! oggmux ! " + sink(file));
}

void make_audio_only_clip(const fs::path &file) {
  run_pipeline(audio_part(1) + " ! oggmux ! " + sink(file));
}

void make_subtitle_only_file(const fs::path &file) {
  fs::path text = file.string() + ".srt";
  write_subrip(text);
  run_pipeline("filesrc location=\"" + text.string() + "\" ! subparse ! matroskamux ! " + sink(file));
}

void make_video_with_subtitle_clip(const fs::path &file) {
  fs::path text = file.string() + ".srt";
  write_subrip(text);
  run_pipeline(video_part(1) + " ! matroskamux name=mux ! " + sink(file) + " filesrc location=\"" +
               text.string() + "\" ! subparse ! queue ! mux.");
}

void make_png_image(const fs::path &file) {
  run_pipeline("videotestsrc num-buffers=1 ! video/x-raw,width=320,height=240 ! pngenc ! " + sink(file));
}

void make_random_file(const fs::path &file, size_t size) {
  std::mt19937 generator(20261207);
  std::string bytes(size, '\0');
  for (char &byte : bytes)
    byte = static_cast<char>(generator() & 0xff);
  std::ofstream(file, std::ios::binary) << bytes;
}

void make_truncated_copy(const fs::path &from, const fs::path &to, size_t size) {
  std::ifstream in(from, std::ios::binary);
  std::string bytes(size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  ASSERT_EQ(static_cast<size_t>(in.gcount()), size) << from;
  std::ofstream(to, std::ios::binary) << bytes;
}

void make_two_stream_clip(const fs::path &file, bool video) {
  const std::string part = video ? video_part(1) : audio_part(1);
  run_pipeline(part + " ! matroskamux name=mux ! " + sink(file) + " " + part + " ! mux.");
}

std::string file_uri(const fs::path &file) { return "file://" + file.string(); }

Outcome run_program(const std::string &input, const fs::path &stats, const EnvChanges &env,
                    const std::string &output) {
  // A bounded run: a hang is killed here and fails the test's status check.
  return testing_support::run_to_end({"zolvane", "-i", input, output, stats.string()}, settings_env(env),
                                     std::chrono::seconds(120));
}

EnvChanges with_leak_tracer(EnvChanges changes) {
  changes["GST_TRACERS"] = "leaks";
  changes["GST_DEBUG"] = "GST_TRACER:7";
  changes["GST_DEBUG_NO_COLOR"] = "1";
  return changes;
}

void expect_no_leaks(const Outcome &outcome) {
  // The tracer's announcement of its record format ("type-name=(string)%s")
  // is not a record.
  const std::string record = "object-alive, type-name=(string)";
  int alive = 0;
  for (size_t at = outcome.err.find(record); at != std::string::npos; at = outcome.err.find(record, at + 1))
    alive += outcome.err.compare(at + record.size(), 1, "%") != 0;
  EXPECT_EQ(alive, 0) << outcome.err;
  EXPECT_NE(outcome.err.find("new format string: object-alive"), std::string::npos) << "the tracer did not run";
}

bool ended_by_itself(const Outcome &outcome) { return outcome.exit_status >= 0 && outcome.signal == 0; }

bool starts_with(const std::string &text, const std::string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int count_lines_starting_with(const std::string &text, const std::string &prefix) {
  int count = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    if (text.compare(start, prefix.size(), prefix) == 0)
      ++count;
    start = end + 1;
  }
  return count;
}

std::string first_line_starting_with(const std::string &text, const std::string &prefix) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    if (text.compare(start, prefix.size(), prefix) == 0)
      return text.substr(start, end - start);
    start = end;
  }
  return "";
}

std::string last_line(const std::string &text) {
  if (text.empty())
    return "";
  size_t search_end = text.back() == '\n' ? text.size() - 1 : text.size();
  if (search_end == 0)
    return text;
  size_t newline = text.rfind('\n', search_end - 1);
  return newline == std::string::npos ? text : text.substr(newline + 1);
}

}  // namespace nerko::reliability
