// The encoder writing its session description while it streams a clip to
// 127.0.0.1: what the file says, that it lists only the streams that exist,
// and that a failed write warns without stopping the stream.
#include <gtest/gtest.h>

#include "streaming_support.h"

namespace nerko::test {
namespace {

using testing_support::EnvChanges;
using testing_support::Outcome;

class SdpProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("nerko-sdp-program-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    av_clip_ = dir_ / "av.ogg";
    audio_clip_ = dir_ / "audio.ogg";
    make_clip(av_clip_, 25, 20);
    make_audio_clip(audio_clip_, 20);
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // Streams `clip` with the description written to `sdp` (in a directory of its own).
  Outcome stream_with_description(const fs::path &clip, const fs::path &sdp, EnvChanges env = encoder_environment()) {
    env["NERKO_SDP_FILE"] = sdp.string();
    port_ = free_port_block();
    return stream_clip(clip, port_, dir_ / "stats.txt", env);
  }

  static fs::path dir_, av_clip_, audio_clip_;
  int port_ = 0;
};

fs::path SdpProgram::dir_, SdpProgram::av_clip_, SdpProgram::audio_clip_;

TEST_F(SdpProgram, DescribesBothStreamsWithTheirFecAndLeavesOnlyTheFile) {
  fs::path sdp_dir = dir_ / "both";
  fs::create_directories(sdp_dir);
  Outcome outcome = stream_with_description(av_clip_, sdp_dir / "stream.sdp");
  ASSERT_EQ(outcome.exit_status, 0) << outcome.err;

  const std::string p = std::to_string(port_);
  std::string text = read_text_file(sdp_dir / "stream.sdp");
  unsigned long long version = 0;
  EXPECT_EQ(without_origin_numbers(text, &version),
            "v=0\r\n"
            "o=- N N IN IP4 127.0.0.1\r\n"
            "s=nerko-encoder\r\n"
            "c=IN IP4 127.0.0.1\r\n"
            "t=0 0\r\n"
            "m=video " + p + " RTP/AVP 96 100\r\n"
            "a=rtpmap:96 VP8/90000\r\n"
            "a=rtpmap:100 ulpfec/90000\r\n"
            "a=rtcp:" + std::to_string(port_ + 1) + "\r\n"
            "m=audio " + std::to_string(port_ + 2) + " RTP/AVP 97\r\n"
            "a=rtpmap:97 opus/48000/2\r\n"
            "a=fmtp:97 useinbandfec=1\r\n"
            "a=rtcp:" + std::to_string(port_ + 3) + "\r\n");
  // Written once per branch, the video and the audio one.
  EXPECT_EQ(version, 2u);
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(sdp_dir))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"stream.sdp"});
  // The specified console is unchanged by the description.
  EXPECT_TRUE(outcome.out.starts_with("FEC Settings VIDEO: 100 AUDIO: 100\n")) << outcome.out;
  EXPECT_EQ(outcome.err.find("session description"), std::string::npos) << outcome.err;
}

TEST_F(SdpProgram, AnAudioOnlyInputIsDescribedWithoutVideo) {
  fs::path sdp_dir = dir_ / "audio-only";
  fs::create_directories(sdp_dir);
  EnvChanges env = encoder_environment();
  env["NERKO_AUDIO_FEC_PERCENT"] = "0";
  Outcome outcome = stream_with_description(audio_clip_, sdp_dir / "stream.sdp", env);
  ASSERT_EQ(outcome.exit_status, 0) << outcome.err;
  std::string text = read_text_file(sdp_dir / "stream.sdp");
  EXPECT_TRUE(text.ends_with("t=0 0\r\n"
                             "m=audio " + std::to_string(port_ + 2) + " RTP/AVP 97\r\n"
                             "a=rtpmap:97 opus/48000/2\r\n"
                             "a=rtcp:" + std::to_string(port_ + 3) + "\r\n"))
      << text;
  EXPECT_EQ(text.find("m=video"), std::string::npos) << text;
}

TEST_F(SdpProgram, AnUnwritableFileWarnsOncePerBranchAndTheStreamGoesOn) {
  fs::path sdp = dir_ / "no-such-directory" / "stream.sdp";
  Outcome outcome = stream_with_description(av_clip_, sdp);
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  const std::string warning = "Warning, failed to write session description " + sdp.string() +
                              ": No such file or directory\n";
  size_t first = outcome.err.find(warning);
  ASSERT_NE(first, std::string::npos) << outcome.err;
  size_t second = outcome.err.find(warning, first + warning.size());
  EXPECT_NE(second, std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find(warning, second + warning.size()), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.out.find("Target audio bitrate 96000\n"), std::string::npos) << outcome.out;
  EXPECT_FALSE(fs::exists(sdp.parent_path()));
}

}  // namespace
}  // namespace nerko::test
