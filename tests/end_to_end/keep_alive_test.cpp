// The program with NERKO_KEEP_ALIVE=true: a short file loops, a live MPEG-TS
// input over UDP stops and comes back while the stream goes on with one SSRC
// per stream, and a missing live-rate plug-in ends the run at once.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "support/pipeline_run.h"
#include "support/subprocess.h"
#include "udp_listener.h"

namespace nerko::test {
namespace {

namespace fs = std::filesystem;
using testing_support::EnvChanges;

const char *kLaunch = "/usr/bin/gst-launch-1.0";
using testing_support::RunningProgram;

// Made by the fixture for each test and removed after it.
fs::path test_dir() { return fs::temp_directory_path() / ("nerko-keep-alive-" + std::to_string(getpid())); }

EnvChanges keep_alive_env(EnvChanges env = {}) {
  for (const char *name : {"NERKO_INPUT_TIMEOUT", "NERKO_VIDEO_FILL", "NERKO_PROMETHEUS_FILE", "NERKO_SDP_FILE",
                           "NERKO_LATENCY_MS", "NERKO_BACKUP_INPUT", "NERKO_FAILOVER_MS", "NERKO_FAILBACK_S",
                           "NERKO_REPEAT_FRAME_MS", "NERKO_SLATE_IMAGE", "NERKO_BLACK_ALARM_S",
                           "NERKO_FROZEN_ALARM_S", "NERKO_SILENCE_ALARM_S", "NERKO_FAILOVER_ON"})
    env.emplace(name, std::nullopt);
  env.emplace("NERKO_KEEP_ALIVE", "true");
  env.emplace("GST_PLUGIN_PATH", std::getenv("GST_PLUGIN_BUILD_DIR"));
  // Scanned in the program itself: a sanitizer build's plug-in cannot be
  // loaded by GStreamer's uninstrumented scanner, and a registry of its own
  // never keeps such a failure for the other tests.
  env["GST_REGISTRY_FORK"] = "no";
  env["GST_REGISTRY"] = (test_dir() / "registry.bin").string();
  return env;
}

// Reads the program's output until standard error holds `line` at or after
// `from`; where it starts, or npos when it never came (the limit is a safety
// net, not a timing check).
size_t find_err(RunningProgram &program, const std::string &line, size_t from = 0) {
  for (int waited = 0; program.err().find(line, from) == std::string::npos && waited < 120; ++waited)
    program.next_out_line(std::chrono::seconds(1));
  return program.err().find(line, from);
}

bool wait_for_err(RunningProgram &program, const std::string &line) {
  return find_err(program, line) != std::string::npos;
}

// N of the last "Pipeline latency N ms" line on standard error; -1 without one.
long last_pipeline_latency_ms(RunningProgram &program) {
  const std::string prefix = "Pipeline latency ";
  size_t at = program.err().rfind(prefix);
  if (at == std::string::npos || (at > 0 && program.err()[at - 1] != '\n'))
    return -1;
  char *end = nullptr;
  long value = std::strtol(program.err().c_str() + at + prefix.size(), &end, 10);
  return std::string(end).rfind(" ms\n", 0) == 0 ? value : -1;
}

void expect_one_unbroken_stream(const PortTraffic &traffic, const char *what) {
  EXPECT_GT(traffic.datagrams, 0) << what;
  EXPECT_EQ(traffic.rtp_ssrcs.size(), 1u) << what;
  EXPECT_EQ(traffic.sequence_jumps, 0) << what;
  EXPECT_EQ(traffic.rtp_time_steps_back, 0) << what;
  EXPECT_EQ(traffic.vp8_without_picture_id, 0) << what;
  // Made-up silence and a returning input follow on sample for sample.
  EXPECT_EQ(traffic.opus_steps_not_20ms, 0) << what;
}

// Ends the program and the listening; both media went out as one stream each.
void stop_and_expect_unbroken_streams(RunningProgram &program, UdpListener &listener) {
  program.kill_and_wait();
  listener.stop();
  expect_one_unbroken_stream(listener.traffic(0), "video");
  expect_one_unbroken_stream(listener.traffic(2), "audio");
}

class KeepAlive : public testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }

  RunningProgram encoder(const std::string &input, const EnvChanges &env = {}) {
    return RunningProgram({"zolvane", "-i", input, "udp://127.0.0.1:" + std::to_string(listener_.base_port()),
                           (dir_ / "stats.txt").string()},
                          keep_alive_env(env));
  }

  fs::path dir_ = test_dir();
  UdpListener listener_;
};

// A clip of `seconds` with both kinds, as a file URI; `picture` and `sound`
// go after the test sources' names.
std::string make_clip(const fs::path &clip, int seconds, const std::string &picture = "",
                      const std::string &sound = "") {
  testing_support::run_pipeline(
      "videotestsrc num-buffers=" + std::to_string(25 * seconds) + " " + picture +
      " ! video/x-raw,width=160,height=120,framerate=25/1 ! theoraenc ! queue ! "
      "oggmux name=mux ! filesink location=" + clip.string() +
      " audiotestsrc num-buffers=" + std::to_string(47 * seconds + 1) + " " + sound +
      " samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! vorbisenc ! queue ! mux.");
  return "file://" + clip.string();
}

TEST_F(KeepAlive, ShortFileLoopsAsOneStreamPerKind) {
  RunningProgram program = encoder(make_clip(dir_ / "clip.ogg", 1));
  ASSERT_TRUE(wait_for_err(program, "Input lost: End of stream; reopening in 1 s\n")) << program.err();
  ASSERT_TRUE(wait_for_err(program, "Input back after ")) << program.err();
  // The back-off doubles while the input keeps ending within a minute.
  ASSERT_TRUE(wait_for_err(program, "Input lost: End of stream; reopening in 2 s\n")) << program.err();
  // The made-up frames' 200 ms and the output's 250 ms of headroom at least.
  EXPECT_GE(last_pipeline_latency_ms(program), 450) << program.err();
  stop_and_expect_unbroken_streams(program, listener_);
  EXPECT_EQ(program.err().find("Error!"), std::string::npos) << program.err();
}

TEST_F(KeepAlive, LiveInputThatStopsAndComesBackKeepsTheStreamGoing) {
  ReservedUdpPort reserved;
  const std::string &port = reserved.port();
  const std::vector<std::string> sender = {
      "gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "!",
      "video/x-raw,width=160,height=120,framerate=25/1", "!", "x264enc", "tune=zerolatency",
      "speed-preset=ultrafast", "key-int-max=25", "!", "h264parse", "!", "mpegtsmux", "name=mux",
      "alignment=7", "!", "udpsink", "host=127.0.0.1", "port=" + port, "sync=true", "audiotestsrc",
      "is-live=true", "!", "audio/x-raw,rate=48000,channels=2", "!", "avenc_aac", "!", "aacparse", "!", "mux."};
  // With NERKO_LATENCY_MS every rebuilt input's demuxer, the live-rate heads
  // and the headroom take 100 ms each.
  RunningProgram program =
      encoder("udp://127.0.0.1:" + port, {{"NERKO_INPUT_TIMEOUT", "2"}, {"NERKO_LATENCY_MS", "100"}});
  {
    RunningProgram live(kLaunch, sender);
    // The input delivers (both kinds on air, video for a while). A sender
    // slow to start may have been given up on first; what was printed
    // before does not count.
    for (int waited = 0; (listener_.traffic(0).datagrams < 20 || listener_.traffic(2).datagrams == 0) &&
                         waited < 120;
         ++waited)
      program.next_out_line(std::chrono::seconds(1));
    ASSERT_GT(listener_.traffic(2).datagrams, 0) << program.err();
  }  // the sender stops
  const std::string lost = "Input lost: No input for 2 s; reopening in ";
  const size_t first_loss = find_err(program, lost, program.err().size());
  ASSERT_NE(first_loss, std::string::npos) << program.err();
  const int sent_when_lost = listener_.traffic(0).datagrams;
  const int delay = std::atoi(program.err().c_str() + first_loss + lost.size());
  ASSERT_GE(delay, 1) << program.err();
  // The back-off doubles while no input delivers.
  const size_t second_loss = find_err(program, lost + std::to_string(delay * 2) + " s\n", first_loss + 1);
  ASSERT_NE(second_loss, std::string::npos) << program.err();
  // Made-up frames went out while no input was there.
  EXPECT_GT(listener_.traffic(0).datagrams, sent_when_lost) << program.err();
  RunningProgram live(kLaunch, sender);
  ASSERT_NE(find_err(program, "Input back after ", second_loss), std::string::npos) << program.err();
  // Told once playing: at least the three 100 ms, short of tsdemux's own 700 ms.
  const long latency_ms = last_pipeline_latency_ms(program);
  EXPECT_GE(latency_ms, 300) << program.err();
  EXPECT_LT(latency_ms, 700) << program.err();
  stop_and_expect_unbroken_streams(program, listener_);
}

// Each way an input can fail, with a backup: the line that says so, and a
// stream that goes on with one SSRC per kind and no sequence jump.
TEST_F(KeepAlive, BackupInputTakesOverAndGivesBackWithoutBreakingTheStream) {
  ReservedUdpPort silent;
  const std::string backup = make_clip(dir_ / "backup.ogg", 8);
  const std::string short_primary = make_clip(dir_ / "primary.ogg", 2);
  const std::string missing = "file://" + (dir_ / "missing.ogg").string();
  const fs::path prometheus = dir_ / "encoder.prom";
  struct Case {
    const char *what;
    std::string primary, backup;
    std::vector<std::string> lines;  // in this order on standard error
  } cases[] = {
      {"primary silent", "udp://127.0.0.1:" + silent.port(), backup,
       {"Switched to the backup input: No input for 300 ms\n"}},
      {"primary fails", missing, backup, {"Input lost: ", "Switched to the backup input: "}},
      {"primary ends", short_primary, backup,
       {"Switched to the backup input: End of stream\n", "Switched back to the primary input\n"}},
      {"standby fails", short_primary, missing, {"Backup input lost: ", "; reopening in 1 s\n"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    UdpListener listener;
    RunningProgram program({"zolvane", "-i", c.primary, "udp://127.0.0.1:" + std::to_string(listener.base_port()),
                            (dir_ / "stats.txt").string()},
                           keep_alive_env({{"NERKO_BACKUP_INPUT", c.backup},
                                           {"NERKO_FAILOVER_MS", "300"},
                                           {"NERKO_FAILBACK_S", "1"},
                                           {"NERKO_PROMETHEUS_FILE", prometheus.string()}}));
    size_t at = 0;
    for (const std::string &line : c.lines) {
      at = find_err(program, line, at);
      ASSERT_NE(at, std::string::npos) << line << " in:\n" << program.err();
    }
    if (c.backup == backup && c.lines.size() == 1) {
      // The file says which input is on air once a tick has seen the backup there.
      std::string text;
      for (int waited = 0; text.find("nerko_encoder_active_input{input=\"backup\"} 1\n") == std::string::npos &&
                           waited < 60;
           ++waited) {
        program.next_out_line(std::chrono::seconds(1));
        std::ifstream file(prometheus);
        text.assign(std::istreambuf_iterator<char>(file), {});
      }
      EXPECT_NE(text.find("nerko_encoder_active_input{input=\"primary\"} 0\n"), std::string::npos) << text;
      EXPECT_NE(text.find("nerko_encoder_active_input{input=\"fill\"} 0\n"), std::string::npos) << text;
      EXPECT_NE(text.find("nerko_encoder_input_up{input=\"primary\"} 0\n"), std::string::npos) << text;
      EXPECT_NE(text.find("nerko_encoder_input_up{input=\"backup\"} 1\n"), std::string::npos) << text;
      EXPECT_EQ(text.find("nerko_encoder_input_switches_total 0\n"), std::string::npos) << text;
    }
    // A standby that fails at once leaves the primary's stream still to come.
    for (int waited = 0; (listener.traffic(0).datagrams == 0 || listener.traffic(2).datagrams == 0) && waited < 60;
         ++waited)
      program.next_out_line(std::chrono::seconds(1));
    stop_and_expect_unbroken_streams(program, listener);
    EXPECT_EQ(program.err().find("Error!"), std::string::npos) << program.err();
  }
}

// Black, a frozen picture and silence are alarmed on the input that runs
// (to its end, in the default mode); a dark picture with detail and a quiet
// tone are not; with a backup, a black primary is failed over.
TEST_F(KeepAlive, ContentAlarmsNameWhatIsWrongAndFailOver) {
  const std::string backup = make_clip(dir_ / "backup.ogg", 8, "pattern=smpte");
  const struct {
    const char *what;
    std::string picture, sound;
    std::vector<std::string> alarms;  // the conditions alarmed on the primary
    bool with_backup = false;
  } cases[] = {
      {"black", "pattern=black", "volume=0.1", {"video black"}},
      {"frozen", "pattern=colors", "volume=0.1", {"video frozen"}},
      {"silent", "pattern=smpte", "wave=silence", {"audio silent"}},
      // -15 % of the range and half the contrast; a tone at -40 dBFS.
      {"dark and quiet", "pattern=smpte ! videobalance brightness=-0.15 contrast=0.5", "volume=0.01", {}},
      {"black with a backup", "pattern=black", "volume=0.1", {"video black"}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string primary = make_clip(dir_ / "primary.ogg", 3, c.picture, c.sound);
    EnvChanges env = {{"NERKO_BLACK_ALARM_S", "1"}, {"NERKO_FROZEN_ALARM_S", "1"}, {"NERKO_SILENCE_ALARM_S", "1"}};
    std::string err;
    if (c.with_backup) {
      env.insert({{"NERKO_BACKUP_INPUT", backup}, {"NERKO_FAILOVER_ON", "black"}});
      RunningProgram program = encoder(primary, env);
      EXPECT_TRUE(wait_for_err(program, "Switched to the backup input: video black\n")) << program.err();
      program.kill_and_wait();
      err = program.err();
    } else {
      env["NERKO_KEEP_ALIVE"] = "false";
      err = testing_support::run_to_end({"zolvane", "-i", primary, "udp://127.0.0.1:" +
                                             std::to_string(listener_.base_port()),
                                         (dir_ / "stats.txt").string()},
                                        keep_alive_env(env))
                .err;
    }
    for (const char *alarm : {"video black", "video frozen", "audio silent"}) {
      const bool expected = std::find(c.alarms.begin(), c.alarms.end(), alarm) != c.alarms.end();
      EXPECT_EQ(err.find("Alarm: " + std::string(alarm) + " on the primary input for 1 s\n") != std::string::npos,
                expected)
          << alarm << " in:\n" << err;
    }
  }
}

TEST_F(KeepAlive, SlateThatCannotBeReadIsASetUpError) {
  const std::string missing = (dir_ / "missing.png").string();
  const fs::path not_a_picture = dir_ / "stats.txt";
  testing_support::run_pipeline("audiotestsrc num-buffers=10 ! wavenc ! filesink location=" + not_a_picture.string());
  const struct {
    std::optional<std::string> image;
    std::string error;
  } cases[] = {
      {std::nullopt, "Error! NERKO_VIDEO_FILL=slate needs the picture's path in NERKO_SLATE_IMAGE\n"},
      {missing, "Error! Cannot read the slate image \"" + missing + "\": "},
      {not_a_picture.string(), "Error! Cannot read the slate image \"" + not_a_picture.string() + "\": "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.error);
    testing_support::Outcome outcome = testing_support::run_to_end(
        {"zolvane", "-i", "udp://127.0.0.1:0", "udp://127.0.0.1:5000", (dir_ / "stats.txt").string()},
        keep_alive_env({{"NERKO_VIDEO_FILL", "slate"}, {"NERKO_SLATE_IMAGE", c.image}}));
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_EQ(outcome.err.rfind(c.error, 0), 0u) << outcome.err;
  }
}

TEST_F(KeepAlive, MissingLiveRatePluginEndsTheRunSayingWhatIsMissing) {
  GstElementFactory *installed = gst_element_factory_find("livevideorate");
  if (installed) {
    gst_object_unref(installed);
    GTEST_SKIP() << "the live-rate plug-in is installed system-wide";
  }
  testing_support::Outcome outcome = testing_support::run_to_end(
      {"zolvane", "-i", "udp://127.0.0.1:0", "udp://127.0.0.1:5000", (dir_ / "stats.txt").string()},
      keep_alive_env({{"GST_PLUGIN_PATH", std::nullopt}}));
  EXPECT_EQ(outcome.exit_status, 1);
  EXPECT_EQ(outcome.err.rfind("Error! NERKO_KEEP_ALIVE needs the element livevideorate of the gsttollamar plug-in", 0),
            0u)
      << outcome.err;
}

}  // namespace
}  // namespace nerko::test
