// The statistics file seen by another program while the encoder runs: it is
// truncated and rewritten in place every five seconds, so a reader may find
// it empty, but never holding part of a line or more than one line; and a
// directory that is missing at start is used from the first tick after it
// appears.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "reliability_support.h"

namespace nerko::reliability {
namespace {

using testing_support::Outcome;
using testing_support::RunningProgram;

// "nerko-encoder (<40 hex digits>): Video RTP:<n>, Video RTCP:<n>, Audio
// RTP:<n>, Audio RTCP:<n>, Total:<n>" and one line feed, nothing else.
bool is_statistics_line(const std::string &text) {
  size_t at = 0;
  auto literal = [&](const std::string &expected) {
    if (text.compare(at, expected.size(), expected) != 0)
      return false;
    at += expected.size();
    return true;
  };
  auto digits = [&](const char *allowed, size_t min, size_t max) {
    size_t start = at;
    while (at < text.size() && at - start < max && std::strchr(allowed, text[at]) && text[at] != '\0')
      ++at;
    return at - start >= min;
  };
  const char *decimal = "0123456789";
  if (!literal("nerko-encoder (") || !digits("0123456789abcdef", 40, 40) || !literal("): Video RTP:"))
    return false;
  for (const char *label : {", Video RTCP:", ", Audio RTP:", ", Audio RTCP:", ", Total:"})
    if (!digits(decimal, 1, 20) || !literal(label))
      return false;
  return digits(decimal, 1, 20) && literal("\n") && at == text.size();
}

// Reads the whole file over and over on a thread of its own and keeps every
// distinct content it found.
class FilePoller {
 public:
  explicit FilePoller(fs::path path) : path_(std::move(path)), thread_([this] { poll(); }) {}
  ~FilePoller() { stop(); }

  void stop() {
    stopping_ = true;
    if (thread_.joinable())
      thread_.join();
  }
  std::set<std::string> contents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return contents_;
  }
  bool has_seen(const std::string &content) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return contents_.count(content) > 0;
  }
  long reads() const { return reads_; }

 private:
  void poll() {
    std::string content;
    char buffer[4096];
    while (!stopping_) {
      int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        std::this_thread::yield();
        continue;
      }
      content.clear();
      ssize_t n;
      while ((n = read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, n);
      close(fd);
      ++reads_;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        contents_.insert(content);
      }
      std::this_thread::yield();
    }
  }

  fs::path path_;
  std::atomic<bool> stopping_{false};
  std::atomic<long> reads_{0};
  mutable std::mutex mutex_;
  std::set<std::string> contents_;
  std::thread thread_;
};

// The next statistics line on standard output; empty when the output ended.
std::string next_statistics_line(RunningProgram &program) {
  while (auto line = program.next_out_line(std::chrono::seconds(60)))
    if (is_statistics_line(*line))
      return *line;
  return "";
}

TEST(ReliabilityStatisticsFile, PollingReaderSeesOneWholeLineAndALateDirectoryIsUsedFromTheNextTick) {
  TempDir dir;
  // Longer than three ticks, so the run is still streaming at the third.
  const fs::path clip = dir / "clip.mkv";
  make_audio_video_clip(clip, 20);
  const fs::path late_dir = dir / "appears later";
  const fs::path stats = late_dir / "stats now.txt";
  const std::string warning =
      "Warning, failed to open file " + stats.string() + " for writing: No such file or directory\n";

  FilePoller poller(stats);
  RunningProgram program({"zolvane", "-i", file_uri(clip), "udp://127.0.0.1:5000", stats.string()},
                         settings_env());

  // First tick: nowhere to write, one warning.
  const std::string first = next_statistics_line(program);
  ASSERT_NE(first, "") << program.err();
  for (int waited = 0; program.err().find(warning) == std::string::npos && waited < 60; ++waited)
    program.next_out_line(std::chrono::seconds(1));  // drains standard error too
  ASSERT_NE(program.err().find(warning), std::string::npos) << program.err();
  fs::create_directory(late_dir);

  const std::string second = next_statistics_line(program);
  ASSERT_NE(second, "") << "the run ended before the second tick\n" << program.err();
  const std::string third = next_statistics_line(program);
  ASSERT_NE(third, "") << "the run ended before the third tick\n" << program.err();
  // The third tick writes its file right after its console line.
  for (int waited = 0; !poller.has_seen(third) && waited < 600; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  program.kill_and_wait();
  poller.stop();

  EXPECT_TRUE(poller.has_seen(second)) << "the tick after the directory appeared wrote nothing";
  EXPECT_TRUE(poller.has_seen(third));
  EXPECT_FALSE(poller.has_seen(first));
  // One warning: the ticks after the directory appeared found it.
  EXPECT_EQ(count_lines_starting_with(program.err(), "Warning, failed to open file "), 1) << program.err();
  EXPECT_GT(poller.reads(), 100);
  // Empty for a moment (truncated, then written), otherwise exactly one of
  // the lines the console showed: never a part of one, never two.
  for (const std::string &content : poller.contents()) {
    if (content.empty())
      continue;
    EXPECT_TRUE(is_statistics_line(content)) << '"' << content << '"';
    EXPECT_TRUE(content == second || content == third) << '"' << content << '"';
  }
  EXPECT_TRUE(fs::is_regular_file(stats));
}

// A named pipe nobody reads used to block the tick in open(), and with it the
// main loop: the run never saw its end of stream.
TEST(ReliabilityStatisticsFile, NamedPipeWithoutAReaderIsWarnedAboutAndTheRunGoesOnToItsEnd) {
  TempDir dir;
  // Longer than one tick.
  const fs::path clip = dir / "clip.mkv";
  make_audio_video_clip(clip, 7);
  const fs::path pipe = dir / "stats.fifo";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);

  Outcome outcome = run_program(file_uri(clip), pipe);
  ASSERT_TRUE(ended_by_itself(outcome)) << "killed by signal " << outcome.signal << "\n" << outcome.err;
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  const int ticks = count_lines_starting_with(outcome.out, "nerko-encoder (");
  EXPECT_GE(ticks, 1) << outcome.out;
  const std::string warning =
      "Warning, failed to open file " + pipe.string() + " for writing: No such device or address\n";
  EXPECT_EQ(count_lines_starting_with(outcome.err, warning), ticks) << outcome.err;
  EXPECT_EQ(count_lines_starting_with(outcome.err, "Warning, failed to open file "), ticks) << outcome.err;
}

}  // namespace
}  // namespace nerko::reliability
