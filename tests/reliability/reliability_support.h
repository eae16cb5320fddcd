// Shared by the reliability tests: a private temporary directory, generated
// input media, the program's environment with every NERKO_ variable unset,
// and small checks on what the program wrote.
#pragma once

#include <filesystem>
#include <string>

#include "support/pipeline_run.h"
#include "support/subprocess.h"

namespace nerko::reliability {

namespace fs = std::filesystem;

// The first two lines every run that gets past its settings prints.
extern const std::string kDefaultFecLine;
extern const std::string kBanner;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const fs::path &path() const { return path_; }
  fs::path operator/(const std::string &name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Every NERKO_ variable removed, with `changes` applied on top, so the
// developer's shell cannot change a result.
testing_support::EnvChanges settings_env(const testing_support::EnvChanges &changes = {});

using testing_support::run_pipeline;

// Media made in-process, all 320x240 and short, so the suite stays fast.
void make_audio_video_clip(const fs::path &file, int seconds);  // Theora + Vorbis in Matroska
void make_video_only_clip(const fs::path &file);                 // Theora in Ogg, 1 s
void make_audio_only_clip(const fs::path &file);                 // Vorbis in Ogg, 1 s
void make_subtitle_only_file(const fs::path &file);              // SubRip text in Matroska
void make_video_with_subtitle_clip(const fs::path &file);        // Theora + SubRip in Matroska
void make_png_image(const fs::path &file);
// Two streams of one kind (two videos, or two audios) in Matroska, 1 s.
void make_two_stream_clip(const fs::path &file, bool video);
// `size` bytes from a fixed-seed generator: the same file on every run.
void make_random_file(const fs::path &file, size_t size);
// The first `size` bytes of `from`.
void make_truncated_copy(const fs::path &from, const fs::path &to, size_t size);

std::string file_uri(const fs::path &file);

// The program's run with `input` as INPUT and every setting at its default
// unless `env` says otherwise. OUTPUT goes to loopback port 5000 (nothing
// needs to listen there).
testing_support::Outcome run_program(const std::string &input, const fs::path &stats,
                                     const testing_support::EnvChanges &env = {},
                                     const std::string &output = "udp://127.0.0.1:5000");

// `changes` with GStreamer's leak tracer on: at exit it reports on standard
// error every object still referenced.
testing_support::EnvChanges with_leak_tracer(testing_support::EnvChanges changes = {});
// The tracer ran and found no object alive at exit.
void expect_no_leaks(const testing_support::Outcome &outcome);

// The child ended by itself (it was not killed by the safety limit or a signal).
bool ended_by_itself(const testing_support::Outcome &outcome);

bool starts_with(const std::string &text, const std::string &prefix);
bool ends_with(const std::string &text, const std::string &suffix);
// Lines of `text` that begin with `prefix`.
int count_lines_starting_with(const std::string &text, const std::string &prefix);
// The first line of `text` that begins with `prefix`, with its line feed;
// empty when there is none.
std::string first_line_starting_with(const std::string &text, const std::string &prefix);
// The last line of `text`, with its line feed; empty when there is none.
std::string last_line(const std::string &text);

}  // namespace nerko::reliability
