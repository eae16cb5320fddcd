// The text of the session description: which sections exist, their ports and
// payload types, the FEC formats and the multicast TTL.
#include <gtest/gtest.h>

#include "encoder/graph/sdp_description.h"

namespace nerko {
namespace {

SessionDescription both_streams(const std::string &host) {
  return SessionDescription{host, 5000, true, true, true, true, 1700000000, 3};
}

TEST(SdpDescription, MulticastWithBothStreamsAndBothFecsDescribesEverySender) {
  EXPECT_EQ(session_description_text(both_streams("239.1.2.3")),
            "v=0\r\n"
            "o=- 1700000000 3 IN IP4 127.0.0.1\r\n"
            "s=nerko-encoder\r\n"
            "c=IN IP4 239.1.2.3/64\r\n"
            "t=0 0\r\n"
            "m=video 5000 RTP/AVP 96 100\r\n"
            "a=rtpmap:96 VP8/90000\r\n"
            "a=rtpmap:100 ulpfec/90000\r\n"
            "a=rtcp:5001\r\n"
            "m=audio 5002 RTP/AVP 97\r\n"
            "a=rtpmap:97 opus/48000/2\r\n"
            "a=fmtp:97 useinbandfec=1\r\n"
            "a=rtcp:5003\r\n");
}

TEST(SdpDescription, UnicastHostCarriesNoTtl) {
  std::string text = session_description_text(both_streams("127.0.0.1"));
  EXPECT_NE(text.find("c=IN IP4 127.0.0.1\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("/64"), std::string::npos) << text;
  // IPv6, multicast too, is "IN IP6" without a TTL.
  text = session_description_text(both_streams("ff15::1234"));
  EXPECT_NE(text.find("\r\nc=IN IP6 ff15::1234\r\n"), std::string::npos) << text;
}

TEST(SdpDescription, VideoFecOffListsOnlyVp8) {
  SessionDescription d = both_streams("239.1.2.3");
  d.video_fec = false;
  std::string text = session_description_text(d);
  EXPECT_NE(text.find("m=video 5000 RTP/AVP 96\r\na=rtpmap:96 VP8/90000\r\na=rtcp:5001\r\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("ulpfec"), std::string::npos) << text;
  EXPECT_NE(text.find("a=fmtp:97 useinbandfec=1\r\n"), std::string::npos) << text;
}

TEST(SdpDescription, AudioFecOffHasNoInbandFecParameter) {
  SessionDescription d = both_streams("239.1.2.3");
  d.audio_fec = false;
  std::string text = session_description_text(d);
  EXPECT_NE(text.find("m=audio 5002 RTP/AVP 97\r\na=rtpmap:97 opus/48000/2\r\na=rtcp:5003\r\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("fmtp"), std::string::npos) << text;
  EXPECT_NE(text.find("a=rtpmap:100 ulpfec/90000\r\n"), std::string::npos) << text;
}

TEST(SdpDescription, OnlyStreamsThatExistGetASection) {
  SessionDescription audio_only = both_streams("127.0.0.1");
  audio_only.video = false;
  std::string text = session_description_text(audio_only);
  EXPECT_EQ(text.find("m=video"), std::string::npos) << text;
  EXPECT_EQ(text.find("ulpfec"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("t=0 0\r\nm=audio 5002 RTP/AVP 97\r\na=rtpmap:97 opus/48000/2\r\n"
                             "a=fmtp:97 useinbandfec=1\r\na=rtcp:5003\r\n"))
      << text;

  SessionDescription video_only = both_streams("127.0.0.1");
  video_only.audio = false;
  text = session_description_text(video_only);
  EXPECT_EQ(text.find("m=audio"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("a=rtpmap:100 ulpfec/90000\r\na=rtcp:5001\r\n")) << text;
}

TEST(SdpDescription, PortsFollowTheBasePortAsTheSendersDo) {
  SessionDescription d = both_streams("127.0.0.1");
  d.base_port = 65532;
  std::string text = session_description_text(d);
  EXPECT_NE(text.find("m=video 65532 "), std::string::npos) << text;
  EXPECT_NE(text.find("a=rtcp:65533\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("m=audio 65534 "), std::string::npos) << text;
  EXPECT_NE(text.find("a=rtcp:65535\r\n"), std::string::npos) << text;
}

TEST(SdpDescription, MulticastIsTheIpv4RangeFrom224To239) {
  EXPECT_TRUE(is_ipv4_multicast("224.0.0.0"));
  EXPECT_TRUE(is_ipv4_multicast("239.255.255.255"));
  EXPECT_TRUE(is_ipv4_multicast("232.1.1.1"));
  EXPECT_FALSE(is_ipv4_multicast("223.255.255.255"));
  EXPECT_FALSE(is_ipv4_multicast("240.0.0.0"));
  EXPECT_FALSE(is_ipv4_multicast("127.0.0.1"));
  EXPECT_FALSE(is_ipv4_multicast("239.1.2"));
  EXPECT_FALSE(is_ipv4_multicast("media.example"));
  EXPECT_FALSE(is_ipv4_multicast(""));
}

}  // namespace
}  // namespace nerko
