// The audio branch built for a raw audio pad.
#include <gtest/gtest.h>

#include "graph_fixture.h"

namespace nerko::test {
namespace {

class AudioBranchTest : public GraphTest {};

TEST_F(AudioBranchTest, MakesEightElementsLinkedIntoSessionOne) {
  GstPad *pad = decoder_pad(kAudioCaps);
  ASSERT_EQ(build(pad), std::nullopt);
  EXPECT_EQ(branch_factories(), (std::vector<std::string>{"audioconvert", "audioresample", "queue", "opusenc",
                                                          "queue", "rtpopuspay", "udpsink", "udpsink"}));
  std::vector<GstElement *> a = branch_elements();
  PadRef first_sink(gst_element_get_static_pad(a[0], "sink"));
  PadRef decoder_peer(gst_pad_get_peer(pad));
  EXPECT_EQ(decoder_peer.get(), first_sink.get());
  EXPECT_EQ(peer_element(a[0], "src"), a[1]);
  EXPECT_EQ(peer_element(a[1], "src"), a[2]);
  EXPECT_EQ(peer_element(a[2], "src"), a[3]);
  EXPECT_EQ(peer_element(a[3], "src"), a[5]);  // encoder → payloader
  EXPECT_EQ(peer_element(a[5], "src"), a[4]);  // payloader → second queue
  PadRef queue_src(gst_element_get_static_pad(a[4], "src"));
  EXPECT_EQ(peer_pad_name(queue_src.get()), "send_rtp_sink_1");
  EXPECT_EQ(peer_element(rtpbin.get(), "send_rtp_src_1"), a[6]);
  EXPECT_EQ(peer_element(rtpbin.get(), "send_rtcp_src_1"), a[7]);
  // Session 1 never gets an FEC encoder.
  EXPECT_TRUE(rtpbin_children_of("rtpulpfecenc").empty());
}

TEST_F(AudioBranchTest, ConfiguresEncoderPayloaderAndSendersWithDefaults) {
  PropertyLog log(pipeline.get());
  ASSERT_EQ(build(decoder_pad(kAudioCaps), "udp://127.0.0.2:5000"), std::nullopt);
  std::vector<GstElement *> a = branch_elements();
  EXPECT_EQ(get_property<guint>(a[5], "pt"), 97u);
  EXPECT_EQ(log.of("opusenc"),
            (std::vector<std::string>{"bitrate", "bitrate-type", "inband-fec", "packet-loss-percentage",
                                      "perfect-timestamp"}));
  EXPECT_EQ(get_property<gint>(a[3], "bitrate"), 96000);
  EXPECT_EQ(get_enum_property(a[3], "bitrate-type"), 2);  // constrained-vbr
  EXPECT_TRUE(get_property<gboolean>(a[3], "inband-fec"));
  EXPECT_EQ(get_property<gint>(a[3], "packet-loss-percentage"), 100);
  EXPECT_EQ(get_string_property(a[6], "host"), "127.0.0.2");
  EXPECT_EQ(get_property<gint>(a[6], "port"), 5002);
  EXPECT_EQ(get_property<gint>(a[6], "ttl-mc"), 64);
  EXPECT_EQ(get_string_property(a[6], "clients"), "127.0.0.2:5002");
  EXPECT_EQ(get_property<gint>(a[7], "port"), 5003);
  EXPECT_EQ(get_property<gint>(a[7], "ttl-mc"), 64);
  EXPECT_EQ(get_string_property(a[7], "clients"), "127.0.0.2:5003");
  EXPECT_FALSE(get_property<gboolean>(a[7], "async"));
  EXPECT_EQ(console.text(), "Target audio bitrate 96000\n");
  EXPECT_EQ(sinks->audio_rtp.get(), a[6]);
  EXPECT_EQ(sinks->audio_rtcp.get(), a[7]);
  // An audio-only input leaves the video senders empty.
  EXPECT_FALSE(sinks->video_rtp);
  EXPECT_FALSE(sinks->video_rtcp);
}

TEST_F(AudioBranchTest, AudioFecZeroLeavesInbandFecUntouched) {
  env.set("NERKO_TARGET_AUDIO_BITRATE", "+64000");
  PropertyLog log(pipeline.get());
  ASSERT_EQ(build(decoder_pad(kAudioCaps), "udp://127.0.0.1:5000", 0), std::nullopt);
  EXPECT_EQ(log.of("opusenc"), (std::vector<std::string>{"bitrate", "bitrate-type", "perfect-timestamp"}));
  EXPECT_EQ(get_property<gint>(branch_elements()[3], "bitrate"), 64000);
  EXPECT_EQ(console.text(), "Target audio bitrate 64000\n");
}

TEST_F(AudioBranchTest, AudioFecAboveTheSignedRangeArrivesNegativeAndIsRefused) {
  Status status = build(decoder_pad(kAudioCaps), "udp://127.0.0.1:5000", 2147483648u);
  ASSERT_NE(status, std::nullopt);
  EXPECT_EQ(status->message(),
            "property 'packet-loss-percentage' of type 'GstOpusEnc' can't be set from given value, it is invalid "
            "or out of range");
  std::vector<GstElement *> a = branch_elements();
  EXPECT_TRUE(get_property<gboolean>(a[3], "inband-fec"));
  EXPECT_EQ(get_property<guint>(a[5], "pt"), 97u);
  EXPECT_FALSE(sinks->audio_rtp);
}

TEST_F(AudioBranchTest, BitrateOutsideOpusRangeStopsBeforeTheSenders) {
  env.set("NERKO_TARGET_AUDIO_BITRATE", "1000");
  Status status = build(decoder_pad(kAudioCaps));
  ASSERT_NE(status, std::nullopt);
  EXPECT_EQ(status->message(),
            "property 'bitrate' of type 'GstOpusEnc' can't be set from given value, it is invalid or out of range");
  EXPECT_EQ(console.text(), "Target audio bitrate 1000\n");
  EXPECT_EQ(get_property<gint>(branch_elements()[6], "port"), 5004);  // udpsink's default: never configured
}

TEST_F(AudioBranchTest, AudioAfterVideoFillsAllFourSenders) {
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  ASSERT_EQ(build(decoder_pad(kAudioCaps)), std::nullopt);
  EXPECT_TRUE(sinks->video_rtp && sinks->video_rtcp && sinks->audio_rtp && sinks->audio_rtcp);
  EXPECT_EQ(branch_elements().size(), 20u);
  EXPECT_EQ(rtpbin_children_of("rtpulpfecenc").size(), 1u);
}

}  // namespace
}  // namespace nerko::test
