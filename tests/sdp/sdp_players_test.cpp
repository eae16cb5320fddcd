// Receivers set up from nothing but the encoder's session description: the
// project's receiver decodes both streams with video FEC on, and GStreamer's
// sdpdemux, which knows nothing of ULPFEC, decodes every video frame once
// video FEC is off.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "streaming_support.h"

namespace nerko::test {
namespace {

using testing_support::EnvChanges;
using testing_support::Outcome;
using testing_support::RunningProgram;

// The video of the clip: the audio is shorter, so exactly this many frames are sent.
constexpr int kFrames = 75;
constexpr int kAudioBuffers = 50;
// Packets still in a receiver's jitter buffer come out within its latency;
// this waits well past it after the encoder ended.
constexpr auto kDrain = std::chrono::seconds(2);

bool port_in_use(int port) {
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool in_use = bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0;
  close(probe);
  return in_use;
}

class SdpPlayers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("nerko-sdp-players-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    clip_ = dir_ / "clip.ogg";
    short_clip_ = dir_ / "short.ogg";
    make_clip(clip_, kFrames, kAudioBuffers);
    make_clip(short_clip_, 5, 5);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // The description the encoder writes with `env`, from a first short run
  // that nobody receives; the real run then sends the same streams.
  std::string describe(const EnvChanges &env, const fs::path &sdp) {
    EnvChanges with_file = env;
    with_file["NERKO_SDP_FILE"] = sdp.string();
    Outcome outcome = stream_clip(short_clip_, port_, dir_ / "stats.txt", with_file);
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    return read_text_file(sdp);
  }

  static fs::path dir_, clip_, short_clip_;
  int port_ = free_port_block();
};

fs::path SdpPlayers::dir_, SdpPlayers::clip_, SdpPlayers::short_clip_;

TEST_F(SdpPlayers, TheDescriptionWithVideoFecDrivesTheReceiverToDecodeBothStreams) {
  fs::path sdp = dir_ / "fec-on.sdp";
  std::string text = describe(encoder_environment(), sdp);
  ASSERT_NE(text.find("a=rtpmap:100 ulpfec/90000\r\n"), std::string::npos) << text;

  RunningProgram receiver(receive_script(), {"receive", "--check", "300", "--latency", "1000", sdp.string()},
                          receive_environment());
  auto listening = receiver.next_out_line();
  ASSERT_EQ(listening, "Receiving from " + sdp.string() + " for 300 s\n") << receiver.err();
  Outcome encoder = stream_clip(clip_, port_, dir_ / "stats.txt", encoder_environment());
  EXPECT_EQ(encoder.exit_status, 0) << encoder.err;
  std::this_thread::sleep_for(kDrain);
  receiver.send_signal(SIGTERM);
  Outcome received = receiver.finish();

  EXPECT_EQ(received.exit_status, 0) << received.out << received.err;
  auto counts = parse_check(received.out);
  ASSERT_TRUE(counts) << received.out;
  std::cout << "Receiver from the description, video FEC on: " << counts->frames << " of " << kFrames
            << " frames, " << counts->samples << " audio samples, " << counts->lost << " packets lost, "
            << counts->recovered << " recovered\n";
  EXPECT_EQ(counts->frames, static_cast<uint64_t>(kFrames));
  // Opus works in 20 ms frames: all but the last partial frame of the clip's audio.
  EXPECT_GE(counts->samples, static_cast<uint64_t>(kAudioBuffers * 1024 - 960));
}

// GStreamer's SDP receiver with counting sinks, in this process. Its
// no-data timeout is off: on a busy machine the encoder may take longer to
// start than the default ten seconds.
class SdpDemuxReceiver {
 public:
  explicit SdpDemuxReceiver(const fs::path &sdp) {
    GError *error = nullptr;
    pipeline_ = gst_parse_launch(("filesrc location=" + sdp.string() +
                                  " ! sdpdemux latency=1000 timeout=0 name=demux"
                                  " demux. ! rtpvp8depay ! vp8dec name=video ! fakesink sync=false async=false"
                                  " demux. ! rtpopusdepay ! opusdec name=audio ! fakesink sync=false async=false")
                                     .c_str(),
                                 &error);
    EXPECT_TRUE(pipeline_) << (error ? error->message : "");
    if (error)
      g_error_free(error);
    count_buffers("video", &frames_);
    count_buffers("audio", &audio_buffers_);
  }
  ~SdpDemuxReceiver() {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
  }
  GstElement *pipeline() const { return pipeline_; }
  uint64_t frames() const { return frames_; }
  uint64_t audio_buffers() const { return audio_buffers_; }

  // The first error on the bus, if any.
  std::string error() const {
    GstBus *bus = gst_element_get_bus(pipeline_);
    GstMessage *message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    std::string text;
    if (message) {
      GError *error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      text = error->message;
      g_error_free(error);
      gst_message_unref(message);
    }
    gst_object_unref(bus);
    return text;
  }

 private:
  void count_buffers(const char *decoder, std::atomic<uint64_t> *counter) {
    GstElement *element = gst_bin_get_by_name(GST_BIN(pipeline_), decoder);
    GstPad *pad = gst_element_get_static_pad(element, "src");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad *, GstPadProbeInfo *, gpointer data) {
          ++*static_cast<std::atomic<uint64_t> *>(data);
          return GST_PAD_PROBE_OK;
        },
        counter, nullptr);
    gst_object_unref(pad);
    gst_object_unref(element);
  }

  GstElement *pipeline_ = nullptr;
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> audio_buffers_{0};
};

TEST_F(SdpPlayers, WithoutVideoFecAReceiverThatKnowsNoUlpfecDecodesEveryFrame) {
  EnvChanges env = encoder_environment();
  env["NERKO_VIDEO_FEC_PERCENT"] = "0";
  fs::path sdp = dir_ / "fec-off.sdp";
  std::string text = describe(env, sdp);
  ASSERT_NE(text.find("m=video " + std::to_string(port_) + " RTP/AVP 96\r\n"), std::string::npos) << text;
  ASSERT_EQ(text.find("ulpfec"), std::string::npos) << text;

  SdpDemuxReceiver receiver(sdp);
  ASSERT_TRUE(receiver.pipeline());
  ASSERT_NE(gst_element_set_state(receiver.pipeline(), GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  // sdpdemux opens its sockets once it has read the file; both RTP ports
  // bound means it listens. (A safety limit, not a timing check.)
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(port_in_use(port_) && port_in_use(port_ + 2)) && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(port_in_use(port_) && port_in_use(port_ + 2)) << receiver.error();

  Outcome encoder = stream_clip(clip_, port_, dir_ / "stats.txt", env);
  EXPECT_EQ(encoder.exit_status, 0) << encoder.err;
  std::this_thread::sleep_for(kDrain);
  std::cout << "sdpdemux, video FEC off: " << receiver.frames() << " of " << kFrames << " frames, "
            << receiver.audio_buffers() << " audio buffers\n";
  EXPECT_EQ(receiver.error(), "");
  EXPECT_EQ(receiver.frames(), static_cast<uint64_t>(kFrames));
  EXPECT_GT(receiver.audio_buffers(), 0u);
}

}  // namespace
}  // namespace nerko::test
