// The built program with NERKO_PROMETHEUS_FILE set, streaming a generated
// clip to 127.0.0.1: the file it leaves agrees with the statistics file, and
// a file it cannot write costs one warning line and nothing else.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "exposition_parser.h"
#include "support/pipeline_run.h"
#include "support/subprocess.h"

namespace nerko::test {
namespace {

namespace fs = std::filesystem;
using testing_support::EnvChanges;
using testing_support::Outcome;
using testing_support::run_pipeline;
using testing_support::run_to_end;

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t count_of(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}

// Four free consecutive UDP ports of 127.0.0.1, kept bound so the program's
// packets have somewhere to go; what arrives is not read.
class LoopbackPorts {
 public:
  LoopbackPorts() {
    for (int attempt = 0; attempt < 50 && base_ == 0; ++attempt) {
      int first = bind_port(0);
      sockaddr_in address{};
      socklen_t length = sizeof address;
      getsockname(first, reinterpret_cast<sockaddr *>(&address), &length);
      int port = ntohs(address.sin_port);
      fds_ = {first};
      for (int i = 1; i < 4 && port + i < 65536; ++i) {
        int fd = bind_port(port + i);
        if (fd < 0)
          break;
        fds_.push_back(fd);
      }
      if (fds_.size() == 4)
        base_ = port;
      else
        close_all();
    }
  }
  ~LoopbackPorts() { close_all(); }
  int base() const { return base_; }

 private:
  static int bind_port(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }
  void close_all() {
    for (int fd : fds_)
      close(fd);
    fds_.clear();
  }
  std::vector<int> fds_;
  int base_ = 0;
};

// Every NERKO_ variable removed, so the developer's shell cannot change results.
EnvChanges default_settings() {
  EnvChanges env;
  for (const char *name :
       {"NERKO_TARGET_VIDEO_BITRATE", "NERKO_CQ_LEVEL", "NERKO_SHARPNESS", "NERKO_DROPFRAME_THRESHOLD",
        "NERKO_UNDERSHOOT", "NERKO_RESIZE_ALLOWED", "NERKO_END_USAGE", "NERKO_BOOST",
        "NERKO_BUFFER_INITIAL_SIZE", "NERKO_BUFFER_OPTIMAL_SIZE", "NERKO_BUFFER_SIZE",
        "NERKO_TARGET_AUDIO_BITRATE", "NERKO_VIDEO_FEC_PERCENT", "NERKO_AUDIO_FEC_PERCENT",
        "NERKO_PROMETHEUS_FILE", "NERKO_PROMETHEUS_CHANNEL", "NERKO_LATENCY_MS", "NERKO_KEEP_ALIVE"})
    env[name] = std::nullopt;
  return env;
}

class PrometheusProgramTest : public ::testing::Test {
 protected:
  // A 13-second Theora + Vorbis clip: played in real time it sees the ticks
  // at five and ten seconds, enough for the audio to be seen flowing.
  static void SetUpTestSuite() {
    gst_init(nullptr, nullptr);
    dir_ = fs::temp_directory_path() / ("nerko-prom-run-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    clip_ = dir_ / "clip.ogg";
    run_pipeline("videotestsrc num-buffers=325 ! video/x-raw,width=160,height=120,framerate=25/1 ! "
                 "theoraenc ! queue ! oggmux name=mux ! filesink location=" + clip_.string() +
                 " audiotestsrc num-buffers=610 samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! "
                 "vorbisenc ! queue ! mux.");
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  void SetUp() override {
    run_dir = dir_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(run_dir);
  }

  Outcome stream(const EnvChanges &env) {
    LoopbackPorts ports;
    EXPECT_NE(ports.base(), 0);
    return run_to_end({"zolvane", "-i", "file://" + clip_.string(),
                       "udp://127.0.0.1:" + std::to_string(ports.base()), (run_dir / "stats.txt").string()},
                      env, std::chrono::seconds(240));
  }

  fs::path run_dir;
  static fs::path dir_;
  static fs::path clip_;
};

fs::path PrometheusProgramTest::dir_;
fs::path PrometheusProgramTest::clip_;

TEST_F(PrometheusProgramTest, FileAgreesWithTheStatisticsFileOfTheLastTick) {
  EnvChanges env = default_settings();
  env["NERKO_PROMETHEUS_FILE"] = (run_dir / "encoder.prom").string();
  env["NERKO_PROMETHEUS_CHANNEL"] = "news";
  Outcome outcome = stream(env);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(outcome.err.find("Prometheus"), std::string::npos) << outcome.err;
  ASSERT_NE(outcome.out.find("\x1b[32mREADY FOR PLAYBACK\x1b[0m\n"), std::string::npos) << outcome.out;

  // The statistics file's line, read back and rebuilt to be sure it was read whole.
  const std::string stats = read_file(run_dir / "stats.txt");
  char revision[41] = {};
  unsigned long long counts[5] = {};
  ASSERT_EQ(std::sscanf(stats.c_str(),
                        "nerko-encoder (%40[0-9a-f]): Video RTP:%llu, Video RTCP:%llu, Audio RTP:%llu, "
                        "Audio RTCP:%llu, Total:%llu",
                        revision, &counts[0], &counts[1], &counts[2], &counts[3], &counts[4]),
            6)
      << stats;
  ASSERT_EQ(stats, "nerko-encoder (" + std::string(revision) + "): Video RTP:" + std::to_string(counts[0]) +
                       ", Video RTCP:" + std::to_string(counts[1]) + ", Audio RTP:" + std::to_string(counts[2]) +
                       ", Audio RTCP:" + std::to_string(counts[3]) + ", Total:" + std::to_string(counts[4]) + "\n");
  ASSERT_EQ(std::string(revision).size(), 40u);

  auto families = parse_exposition(read_file(run_dir / "encoder.prom"));
  ASSERT_EQ(families.size(), 5u);
  ASSERT_EQ(families[0].name, "nerko_encoder_bytes_served_total");
  ASSERT_EQ(families[0].samples.size(), 4u);
  const char *sessions[] = {"video", "video", "audio", "audio"};
  const char *kinds[] = {"rtp", "rtcp", "rtp", "rtcp"};
  for (size_t i = 0; i < 4; ++i) {
    const auto &sample = families[0].samples[i];
    EXPECT_EQ(sample.labels, (std::map<std::string, std::string>{
                                 {"channel", "news"}, {"session", sessions[i]}, {"kind", kinds[i]}}));
    EXPECT_EQ(sample.value, static_cast<double>(counts[i])) << sessions[i] << " " << kinds[i];
    EXPECT_GT(sample.value, 0) << sessions[i] << " " << kinds[i];
  }
  ASSERT_EQ(families[1].name, "nerko_encoder_ready");
  EXPECT_EQ(families[1].samples.at(0).value, 1);
  ASSERT_EQ(families[2].name, "nerko_encoder_build_info");
  EXPECT_EQ(families[2].samples.at(0).labels,
            (std::map<std::string, std::string>{{"channel", "news"}, {"revision", revision}}));
  // Both media were playing at the last tick, so the lag of each is known.
  ASSERT_EQ(families[3].name, "nerko_encoder_behind_seconds");
  ASSERT_EQ(families[3].samples.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(families[3].samples[i].labels.at("kind"), i == 0 ? "video" : "audio");
    EXPECT_GE(families[3].samples[i].value, 0.0);
  }
  // A file is no live input: the senders hold nothing back.
  ASSERT_EQ(families[4].name, "nerko_encoder_latency_seconds");
  EXPECT_EQ(families[4].samples.at(0).labels, (std::map<std::string, std::string>{{"channel", "news"}}));
  EXPECT_EQ(families[4].samples.at(0).value, 0.0);

  // Only the two files: no temporary file is left behind.
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(run_dir))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"encoder.prom", "stats.txt"}));
}

TEST_F(PrometheusProgramTest, UnwritableFileIsOneWarningAndTheRunGoesOn) {
  EnvChanges env = default_settings();
  const std::string path = (run_dir / "missing" / "encoder.prom").string();
  env["NERKO_PROMETHEUS_FILE"] = path;
  Outcome outcome = stream(env);
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  // Two ticks at least, one warning, and the console as without the file.
  EXPECT_GE(count_of(outcome.out, "nerko-encoder ("), 2u) << outcome.out;
  EXPECT_EQ(count_of(outcome.err, "Prometheus"), 1u) << outcome.err;
  EXPECT_NE(outcome.err.find("Warning, failed to write Prometheus file " + path + ": No such file or directory\n"),
            std::string::npos)
      << outcome.err;
  EXPECT_EQ(outcome.out.find("Prometheus"), std::string::npos);
  EXPECT_NE(read_file(run_dir / "stats.txt").find("nerko-encoder ("), std::string::npos);
  EXPECT_FALSE(fs::exists(run_dir / "missing"));
}

}  // namespace
}  // namespace nerko::test
