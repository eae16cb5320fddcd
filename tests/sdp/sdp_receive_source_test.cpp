// How the receiver reads where to listen: from the encoder's OUTPUT text or
// from the session description the encoder writes.
#include <gtest/gtest.h>

#include "encoder/graph/sdp_description.h"
#include "tools/receive/receive_source.h"

namespace nerko::receive {
namespace {

SessionDescription description(bool video, bool video_fec, bool audio) {
  return SessionDescription{"239.1.2.3", 7000, video, video_fec, audio, true, 1, 1};
}

TEST(SdpReceiveSource, TheEncodersDescriptionGivesItsPortsAndPayloadTypes) {
  std::string reason;
  auto source = source_from_description(session_description_text(description(true, true, true)), reason);
  ASSERT_TRUE(source) << reason;
  EXPECT_EQ(source->host, "239.1.2.3");
  ASSERT_TRUE(source->video);
  EXPECT_EQ(source->video->port, 7000);
  EXPECT_EQ(source->video->rtcp_port, 7001);
  EXPECT_EQ(source->video->payload_type, 96);
  EXPECT_EQ(source->video->fec_payload_type, 100);
  ASSERT_TRUE(source->audio);
  EXPECT_EQ(source->audio->port, 7002);
  EXPECT_EQ(source->audio->rtcp_port, 7003);
  EXPECT_EQ(source->audio->payload_type, 97);
}

TEST(SdpReceiveSource, WithoutUlpfecInTheDescriptionNoFecDecoderIsAsked) {
  std::string reason;
  auto source = source_from_description(session_description_text(description(true, false, true)), reason);
  ASSERT_TRUE(source) << reason;
  ASSERT_TRUE(source->video);
  EXPECT_FALSE(source->video->fec_payload_type);
}

TEST(SdpReceiveSource, OnlyTheDescribedStreamsAreReceived) {
  std::string reason;
  auto audio_only = source_from_description(session_description_text(description(false, false, true)), reason);
  ASSERT_TRUE(audio_only) << reason;
  EXPECT_FALSE(audio_only->video);
  EXPECT_TRUE(audio_only->audio);
  auto video_only = source_from_description(session_description_text(description(true, true, false)), reason);
  ASSERT_TRUE(video_only) << reason;
  EXPECT_TRUE(video_only->video);
  EXPECT_FALSE(video_only->audio);
}

TEST(SdpReceiveSource, ADescriptionWithoutVp8OrOpusIsRefused) {
  std::string reason;
  EXPECT_FALSE(source_from_description("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=x\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                                       "m=video 5000 RTP/AVP 33\r\n",
                                       reason));
  EXPECT_EQ(reason, "it lists neither VP8 video nor Opus audio");
}

TEST(SdpReceiveSource, TheOutputTextGivesTheEncodersFixedLayout) {
  std::string reason;
  auto source = source_from_output("udp://127.0.0.1:5000", reason);
  ASSERT_TRUE(source) << reason;
  EXPECT_EQ(source->host, "127.0.0.1");
  EXPECT_EQ(source->video->port, 5000);
  EXPECT_EQ(source->video->rtcp_port, 5001);
  EXPECT_EQ(source->video->payload_type, 96);
  EXPECT_EQ(source->video->fec_payload_type, 100);
  EXPECT_EQ(source->audio->port, 5002);
  EXPECT_EQ(source->audio->rtcp_port, 5003);
  EXPECT_EQ(source->audio->payload_type, 97);
}

TEST(SdpReceiveSource, OutputsThatNameNoUsablePortsAreRefused) {
  std::string reason;
  EXPECT_FALSE(source_from_output("udp://127.0.0.1", reason));
  EXPECT_EQ(reason, "no port part");
  EXPECT_FALSE(source_from_output("udp://:5000", reason));
  EXPECT_EQ(reason, "no host");
  EXPECT_FALSE(source_from_output("udp://127.0.0.1:65533", reason));
  EXPECT_EQ(reason, "ports 65533 to 65536 are not all within 1 to 65535");
  EXPECT_FALSE(source_from_output("udp://127.0.0.1:0", reason));
  EXPECT_EQ(reason, "ports 0 to 3 are not all within 1 to 65535");
  EXPECT_TRUE(source_from_output("udp://127.0.0.1:65532", reason));
}

TEST(SdpReceiveSource, AnArgumentWithoutSchemeIsADescriptionFile) {
  std::string reason;
  EXPECT_FALSE(source_from_argument("/nonexistent/stream.sdp", reason));
  EXPECT_EQ(reason, "cannot read the file");
  EXPECT_TRUE(source_from_argument("udp://127.0.0.1:5000", reason));
}

}  // namespace
}  // namespace nerko::receive
