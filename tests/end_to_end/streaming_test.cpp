// The built program streaming a generated clip (VP8 + ULPFEC and Opus) to
// four ports of 127.0.0.1, and its end when a plug-in it needs is missing.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <fstream>
#include <sstream>

#include "support/pipeline_run.h"
#include "support/subprocess.h"
#include "udp_listener.h"

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

// Every NERKO_ variable removed, so the developer's shell cannot change results.
EnvChanges default_settings() {
  EnvChanges env;
  for (const char *name :
       {"NERKO_TARGET_VIDEO_BITRATE", "NERKO_CQ_LEVEL", "NERKO_SHARPNESS", "NERKO_DROPFRAME_THRESHOLD",
        "NERKO_UNDERSHOOT", "NERKO_RESIZE_ALLOWED", "NERKO_END_USAGE", "NERKO_BOOST",
        "NERKO_BUFFER_INITIAL_SIZE", "NERKO_BUFFER_OPTIMAL_SIZE", "NERKO_BUFFER_SIZE",
        "NERKO_TARGET_AUDIO_BITRATE", "NERKO_VIDEO_FEC_PERCENT", "NERKO_AUDIO_FEC_PERCENT",
        "NERKO_INPUT_TIMEOUT", "NERKO_KEEP_ALIVE", "NERKO_VIDEO_FILL", "NERKO_LATENCY_MS"})
    env[name] = std::nullopt;
  return env;
}

class StreamingTest : public ::testing::Test {
 protected:
  // A 7-second Theora + Vorbis clip: longer than the five-second statistics
  // interval, so a run played in real time has written the file once before
  // its end of stream; and decodable without the VP8 plug-in.
  static void SetUpTestSuite() {
    gst_init(nullptr, nullptr);
    dir_ = fs::temp_directory_path() / ("nerko-e2e-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    clip_ = dir_ / "clip.ogg";
    run_pipeline("videotestsrc num-buffers=175 ! video/x-raw,width=160,height=120,framerate=25/1 ! "
                 "theoraenc ! queue ! oggmux name=mux ! filesink location=" + clip_.string() +
                 " audiotestsrc num-buffers=330 samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=2 ! "
                 "vorbisenc ! queue ! mux.");
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  Outcome stream(const UdpListener &listener, const fs::path &stats, const EnvChanges &env) {
    return run_to_end({"zolvane", "-i", "file://" + clip_.string(),
                       "udp://127.0.0.1:" + std::to_string(listener.base_port()), stats.string()},
                      env);
  }

  // The statistics file's one line, and the console lines of the default settings.
  static void expect_statistics_and_console(const fs::path &stats, const Outcome &outcome);

  static fs::path dir_;
  static fs::path clip_;
};

fs::path StreamingTest::dir_;
fs::path StreamingTest::clip_;

// The same seven seconds from a file and from a live MPEG-TS sender over UDP:
// the file's run ends at its end, the live one when the sender has stopped.
TEST_F(StreamingTest, SendsVp8WithUlpfecAndOpusToFourPortsAndEnds) {
  ReservedUdpPort live_port;
  const std::vector<std::string> live_sender = {
      "gst-launch-1.0", "-q", "videotestsrc", "is-live=true", "num-buffers=175", "!",
      "video/x-raw,width=160,height=120,framerate=25/1", "!", "x264enc", "tune=zerolatency",
      "speed-preset=ultrafast", "key-int-max=25", "!", "h264parse", "!", "mpegtsmux", "name=mux", "alignment=7", "!",
      "udpsink", "host=127.0.0.1", "port=" + live_port.port(), "sync=true", "audiotestsrc", "is-live=true",
      "num-buffers=330", "samplesperbuffer=1024", "!", "audio/x-raw,rate=48000,channels=2", "!", "avenc_aac", "!",
      "aacparse", "!", "mux."};
  const struct {
    const char *what;
    std::string input;
    int exit_status;
    std::string error;  // the only error line, or empty
  } cases[] = {
      {"file", "file://" + clip_.string(), 0, ""},
      {"live", "udp://127.0.0.1:" + live_port.port(), 1, "Error! No input for 2 s\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    UdpListener listener;
    fs::path stats = dir_ / ("stats-" + std::string(c.what) + ".txt");
    EnvChanges env = default_settings();
    std::optional<testing_support::RunningProgram> sender;
    if (c.input.rfind("udp:", 0) == 0) {
      sender.emplace("/usr/bin/gst-launch-1.0", live_sender);
      env["NERKO_INPUT_TIMEOUT"] = "2";
    }
    Outcome outcome = run_to_end({"zolvane", "-i", c.input, "udp://127.0.0.1:" + std::to_string(listener.base_port()),
                                  stats.string()},
                                 env);
    listener.stop();

    EXPECT_EQ(outcome.exit_status, c.exit_status) << outcome.err;
    PortTraffic video = listener.traffic(0);
    PortTraffic video_rtcp = listener.traffic(1);
    PortTraffic audio = listener.traffic(2);
    PortTraffic audio_rtcp = listener.traffic(3);
    EXPECT_EQ(video.rtp_payload_types, (std::set<int>{96, 100}));
    EXPECT_EQ(video.rtp_version_2, video.datagrams);
    // WebRTC receivers chain frames by the picture number.
    EXPECT_EQ(video.vp8_without_picture_id, 0);
    EXPECT_EQ(audio.rtp_payload_types, (std::set<int>{97}));
    // A receiver's jitter buffer conceals any other step as a hole or an overlap.
    EXPECT_GT(audio.opus_packets, 200);
    EXPECT_EQ(audio.opus_steps_not_20ms, 0);
    EXPECT_TRUE(video.rtcp_packet_types.empty());
    EXPECT_TRUE(audio.rtcp_packet_types.empty());
    // RTCP only: sender reports (200) at least, nothing that looks like RTP.
    EXPECT_TRUE(video_rtcp.rtp_payload_types.empty());
    EXPECT_TRUE(video_rtcp.rtcp_packet_types.count(200));
    EXPECT_TRUE(audio_rtcp.rtp_payload_types.empty());
    EXPECT_TRUE(audio_rtcp.rtcp_packet_types.count(200));
    expect_statistics_and_console(stats, outcome);
    EXPECT_EQ(outcome.err.find("Error!"), c.error.empty() ? std::string::npos : outcome.err.find(c.error))
        << outcome.err;
  }
}

void StreamingTest::expect_statistics_and_console(const fs::path &stats, const Outcome &outcome) {
  std::string line = read_file(stats);
  // The numbers are read back and the line rebuilt from them, so that the
  // comparison is exact down to the separators and the final newline.
  char revision[41] = {};
  unsigned long long n[5] = {};
  ASSERT_EQ(std::sscanf(line.c_str(),
                        "nerko-encoder (%40[0-9a-f]): Video RTP:%llu, Video RTCP:%llu, "
                        "Audio RTP:%llu, Audio RTCP:%llu, Total:%llu",
                        revision, &n[0], &n[1], &n[2], &n[3], &n[4]),
            6)
      << line;
  EXPECT_EQ(std::strlen(revision), 40u);
  EXPECT_EQ(line, "nerko-encoder (" + std::string(revision) + "): Video RTP:" + std::to_string(n[0]) +
                      ", Video RTCP:" + std::to_string(n[1]) + ", Audio RTP:" + std::to_string(n[2]) +
                      ", Audio RTCP:" + std::to_string(n[3]) + ", Total:" + std::to_string(n[4]) + "\n");
  EXPECT_EQ(n[4], n[0] + n[1] + n[2] + n[3]);
  EXPECT_GT(n[0], 0u);
  EXPECT_GT(n[2], 0u);
  // The console shows the same line followed by an empty line.
  EXPECT_NE(outcome.out.find(line + "\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("Final settings for encoder: target_video_bitrate=3000000, cq_level=ignored, "
                             "sharpness=0, dropframe_threshold=0, buffers=4000/5000/6000, undershoot=95, "
                             "resize_allowed=true, end_usage=cbr\n"),
            std::string::npos);
  EXPECT_NE(outcome.out.find("Target audio bitrate 96000\n"), std::string::npos);
  // Without NERKO_LATENCY_MS and keep-alive the console says what it always said.
  EXPECT_EQ(outcome.err.find("Pipeline latency"), std::string::npos) << outcome.err;
}

TEST_F(StreamingTest, VideoFecZeroSendsNoUlpfecPackets) {
  UdpListener listener;
  EnvChanges env = default_settings();
  env["NERKO_VIDEO_FEC_PERCENT"] = "0";
  Outcome outcome = stream(listener, dir_ / "stats-no-fec.txt", env);
  listener.stop();
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(listener.traffic(0).rtp_payload_types, (std::set<int>{96}));
  EXPECT_EQ(listener.traffic(2).rtp_payload_types, (std::set<int>{97}));
}

// A plug-in directory with every system plug-in but the VP8 one, and a
// registry of its own, so the shared registry never sees the reduced set.
class WithoutVpxPlugin {
 public:
  explicit WithoutVpxPlugin(const fs::path &dir) : dir_(dir / "plugins-without-vpx") {
    GstPlugin *core = gst_registry_find_plugin(gst_registry_get(), "coreelements");
    fs::path system_dir = fs::path(gst_plugin_get_filename(core)).parent_path();
    gst_object_unref(core);
    fs::create_directories(dir_);
    for (const auto &entry : fs::directory_iterator(system_dir))
      if (entry.path().extension() == ".so" && entry.path().filename() != "libgstvpx.so")
        fs::create_symlink(entry.path(), dir_ / entry.path().filename());
  }
  EnvChanges environment() const {
    EnvChanges env = default_settings();
    std::string registry = (dir_ / "registry.bin").string();
    env["GST_REGISTRY"] = registry;
    env["GST_REGISTRY_1_0"] = registry;
    env["GST_PLUGIN_SYSTEM_PATH"] = dir_.string();
    env["GST_PLUGIN_SYSTEM_PATH_1_0"] = dir_.string();
    env["GST_PLUGIN_PATH"] = std::nullopt;
    env["GST_PLUGIN_PATH_1_0"] = std::nullopt;
    return env;
  }

 private:
  fs::path dir_;
};

TEST_F(StreamingTest, MissingVp8EncoderEndsWithTheErrorLineAndStatusOne) {
  WithoutVpxPlugin plugins(dir_);
  UdpListener listener;
  Outcome outcome = stream(listener, dir_ / "stats-no-vpx.txt", plugins.environment());
  listener.stop();
  EXPECT_EQ(outcome.exit_status, 1) << outcome.err;
  EXPECT_NE(outcome.err.find("Error! Failed to link decodebin srcpad: Some(\"examples/src/bin/zolvane(476): "
                             "zolvane (): /GstPipeline:pipeline0/GstURIDecodeBin:uridecodebin0:\\n"
                             "Missing element vp8enc\")\n"),
            std::string::npos)
      << outcome.err;
  EXPECT_EQ(listener.traffic(0).datagrams, 0);
}

}  // namespace
}  // namespace nerko::test
