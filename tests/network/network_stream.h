// What the network tests share about running the encoder: a short generated
// clip, an environment free of the developer's settings, and the statistics
// lines it prints.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/subprocess.h"

namespace nerko::network_test {

// A Theora + Vorbis clip of `seconds` (160x120 at 25/1, 48 kHz stereo) in
// `dir`, made in this process; decodable without the encoder's own plug-ins.
// ASSERT inside: check HasFatalFailure().
void make_clip(const std::filesystem::path &clip, int seconds);

// Every NERKO_ variable removed, so the developer's shell cannot change results.
testing_support::EnvChanges default_settings();

struct SentBytes {
  uint64_t video_rtp = 0;
  uint64_t video_rtcp = 0;
  uint64_t audio_rtp = 0;
  uint64_t audio_rtcp = 0;
  uint64_t total = 0;
};

// The counters of one statistics line (with or without its line feed).
std::optional<SentBytes> parse_statistics_line(const std::string &line);
// Every statistics line in `out`, in order.
std::vector<SentBytes> statistics_lines(const std::string &out);
// Reads the program's output up to and including its next statistics line;
// nullopt when the output ends first or no line comes within `limit`.
std::optional<SentBytes> next_statistics_line(testing_support::RunningProgram &program,
                                              std::chrono::seconds limit);

// A fresh directory under the system's temporary directory, removed with the object.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory &) = delete;
  TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace nerko::network_test
