// The video branch built for a raw video pad: elements, links, properties,
// settings line, boost, the session 0 FEC encoder and failure halfway.
#include <gtest/gtest.h>

#include "encoder/control/build_revision.h"
#include "graph_fixture.h"

namespace nerko::test {
namespace {

class VideoBranchTest : public GraphTest {};

constexpr const char *kDefaultSettingsLine =
    "Final settings for encoder: target_video_bitrate=3000000, cq_level=ignored, sharpness=0, "
    "dropframe_threshold=0, buffers=4000/5000/6000, undershoot=95, resize_allowed=true, end_usage=cbr\n";

TEST_F(VideoBranchTest, MakesTwelveElementsInCreationOrder) {
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  EXPECT_EQ(branch_factories(),
            (std::vector<std::string>{"videoconvert", "videoscale", "capsfilter", "videorate", "capsfilter",
                                      "videoconvert", "queue", "vp8enc", "queue", "rtpvp8pay", "udpsink",
                                      "udpsink"}));
  EXPECT_FALSE(get_property<gboolean>(branch_elements()[3], "drop-only"));
}

TEST_F(VideoBranchTest, LinksDecoderThroughEncoderPayloaderAndQueueIntoSessionZero) {
  GstPad *pad = decoder_pad(kVideoCaps);
  ASSERT_EQ(build(pad), std::nullopt);
  std::vector<GstElement *> v = branch_elements();
  ASSERT_EQ(v.size(), 12u);
  PadRef first_sink(gst_element_get_static_pad(v[0], "sink"));
  PadRef decoder_peer(gst_pad_get_peer(pad));
  EXPECT_EQ(decoder_peer.get(), first_sink.get());
  // V1→V2→…→V8, then the payloader (V10) and only then the second queue (V9).
  for (int i = 0; i < 7; ++i)
    EXPECT_EQ(peer_element(v[i], "src"), v[i + 1]) << "after element " << i + 1;
  EXPECT_EQ(peer_element(v[7], "src"), v[9]);
  EXPECT_EQ(peer_element(v[9], "src"), v[8]);
  EXPECT_EQ(peer_element(v[8], "src"), rtpbin.get());
  PadRef queue_src(gst_element_get_static_pad(v[8], "src"));
  EXPECT_EQ(peer_pad_name(queue_src.get()), "send_rtp_sink_0");
  PadRef rtp_src(gst_element_get_static_pad(rtpbin.get(), "send_rtp_src_0"));
  PadRef rtcp_src(gst_element_get_static_pad(rtpbin.get(), "send_rtcp_src_0"));
  ASSERT_TRUE(rtp_src && rtcp_src);
  EXPECT_EQ(peer_element(rtpbin.get(), "send_rtp_src_0"), v[10]);
  EXPECT_EQ(peer_element(rtpbin.get(), "send_rtcp_src_0"), v[11]);
  // Nothing of session 1 is touched.
  PadRef audio_sink(gst_element_get_static_pad(rtpbin.get(), "send_rtp_sink_1"));
  EXPECT_FALSE(audio_sink);
}

TEST_F(VideoBranchTest, ConfiguresPayloaderSendersAndEncoderWithDefaults) {
  ASSERT_EQ(build(decoder_pad(kVideoCaps), "udp://127.0.0.2:5000"), std::nullopt);
  std::vector<GstElement *> v = branch_elements();
  EXPECT_EQ(get_property<guint>(v[9], "pt"), 96u);

  EXPECT_EQ(get_string_property(v[10], "host"), "127.0.0.2");
  EXPECT_EQ(get_property<gint>(v[10], "port"), 5000);
  EXPECT_EQ(get_property<gint>(v[10], "ttl-mc"), 64);
  EXPECT_EQ(get_string_property(v[10], "clients"), "127.0.0.2:5000");
  EXPECT_EQ(get_string_property(v[11], "host"), "127.0.0.2");
  EXPECT_EQ(get_property<gint>(v[11], "port"), 5001);
  EXPECT_EQ(get_property<gint>(v[11], "ttl-mc"), 64);
  EXPECT_EQ(get_string_property(v[11], "clients"), "127.0.0.2:5001");
  // The RTP sender keeps udpsink's defaults; the RTCP sender stays out of
  // preroll, clock sync and the pipeline's end of stream.
  EXPECT_TRUE(get_property<gboolean>(v[10], "sync"));
  EXPECT_TRUE(get_property<gboolean>(v[10], "async"));
  EXPECT_TRUE(GST_OBJECT_FLAG_IS_SET(v[10], GST_ELEMENT_FLAG_SINK));
  EXPECT_FALSE(get_property<gboolean>(v[11], "sync"));
  EXPECT_FALSE(get_property<gboolean>(v[11], "async"));
  EXPECT_FALSE(GST_OBJECT_FLAG_IS_SET(v[11], GST_ELEMENT_FLAG_SINK));

  GstElement *vp8 = v[7];
  EXPECT_EQ(get_property<gint>(vp8, "target-bitrate"), 3000000);
  EXPECT_EQ(get_property<gint>(vp8, "keyframe-max-dist"), 30);
  EXPECT_EQ(get_property<gint>(vp8, "threads"), 12);
  EXPECT_EQ(get_property<gint>(vp8, "cpu-used"), -16);
  EXPECT_EQ(get_property<gint64>(vp8, "deadline"), 1);
  EXPECT_EQ(get_enum_property(vp8, "end-usage"), 1);  // cbr
  EXPECT_EQ(get_property<gint>(vp8, "sharpness"), 0);
  EXPECT_EQ(get_property<gint>(vp8, "dropframe-threshold"), 0);
  EXPECT_EQ(get_property<gint>(vp8, "buffer-initial-size"), 4000);
  EXPECT_EQ(get_property<gint>(vp8, "buffer-optimal-size"), 5000);
  EXPECT_EQ(get_property<gint>(vp8, "buffer-size"), 6000);
  EXPECT_EQ(get_property<gint>(vp8, "undershoot"), 95);
  EXPECT_TRUE(get_property<gboolean>(vp8, "resize-allowed"));
  EXPECT_EQ(get_enum_property(vp8, "error-resilient"), 1);  // "default"
}

TEST_F(VideoBranchTest, SetsEncoderPropertiesInOrderAndCqLevelNeverUnlessCq) {
  env.set("NERKO_CQ_LEVEL", "20");
  PropertyLog log(pipeline.get());
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  EXPECT_EQ(log.of("vp8enc"),
            (std::vector<std::string>{"target-bitrate", "keyframe-max-dist", "threads", "cpu-used", "deadline",
                                      "end-usage", "sharpness", "dropframe-threshold", "buffer-initial-size",
                                      "buffer-optimal-size", "buffer-size", "undershoot", "resize-allowed",
                                      "error-resilient"}));
  EXPECT_EQ(get_property<gint>(branch_elements()[7], "cq-level"), 10);  // the element's own default
  EXPECT_EQ(console.text(), kDefaultSettingsLine);
}

TEST_F(VideoBranchTest, CqEndUsageSetsCqLevelAndShowsIt) {
  env.set("NERKO_END_USAGE", "cq");
  env.set("NERKO_CQ_LEVEL", "20");
  PropertyLog log(pipeline.get());
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  GstElement *vp8 = branch_elements()[7];
  EXPECT_EQ(get_enum_property(vp8, "end-usage"), 2);
  EXPECT_EQ(get_property<gint>(vp8, "cq-level"), 20);
  std::vector<std::string> order = log.of("vp8enc");
  ASSERT_GE(order.size(), 8u);
  EXPECT_EQ(order[5], "end-usage");
  EXPECT_EQ(order[6], "cq-level");
  EXPECT_EQ(order[7], "sharpness");
  EXPECT_EQ(console.text(),
            "Final settings for encoder: target_video_bitrate=3000000, cq_level=20, sharpness=0, "
            "dropframe_threshold=0, buffers=4000/5000/6000, undershoot=95, resize_allowed=true, end_usage=cq\n");
}

TEST_F(VideoBranchTest, UnknownEndUsageTextLeavesEncoderDefault) {
  env.set("NERKO_END_USAGE", "CQ");
  env.set("NERKO_CQ_LEVEL", "20");
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  GstElement *vp8 = branch_elements()[7];
  EXPECT_EQ(get_enum_property(vp8, "end-usage"), 0);  // vbr, vp8enc's own default
  EXPECT_EQ(get_property<gint>(vp8, "cq-level"), 10);
}

TEST_F(VideoBranchTest, BoostOffLeavesBothCapsfiltersOpen) {
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  std::vector<GstElement *> v = branch_elements();
  CapsRef size(get_property<GstCaps *>(v[2], "caps"));
  CapsRef rate(get_property<GstCaps *>(v[4], "caps"));
  EXPECT_TRUE(gst_caps_is_any(size.get()));
  EXPECT_TRUE(gst_caps_is_any(rate.get()));
  EXPECT_EQ(console.text(), kDefaultSettingsLine);
}

TEST_F(VideoBranchTest, BoostGives640x360At10FpsAndSaysSoAfterTheSettingsLine) {
  env.set("NERKO_BOOST", "true");
  PropertyLog log(pipeline.get());
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  std::vector<GstElement *> v = branch_elements();
  CapsRef size(get_property<GstCaps *>(v[2], "caps"));
  CapsRef rate(get_property<GstCaps *>(v[4], "caps"));
  CapsRef expected_size(gst_caps_from_string("video/x-raw,width=(int)640,height=(int)360"));
  CapsRef expected_rate(gst_caps_from_string("video/x-raw,framerate=(fraction)10/1"));
  EXPECT_TRUE(gst_caps_is_strictly_equal(size.get(), expected_size.get()));
  EXPECT_TRUE(gst_caps_is_strictly_equal(rate.get(), expected_rate.get()));
  EXPECT_EQ(console.text(), std::string(kDefaultSettingsLine) + "NERKO BOOST ENABLED\n");
  // Boost changes nothing on the encoder.
  EXPECT_EQ(log.of("vp8enc").size(), 14u);
  EXPECT_EQ(get_property<gint>(v[7], "target-bitrate"), 3000000);
}

TEST_F(VideoBranchTest, ThreadCountSetsTheEncoderAndFollowsTheSettingsLine) {
  env.set("NERKO_VIDEO_THREADS", "2");
  env.set("NERKO_BOOST", "true");
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  EXPECT_EQ(get_property<gint>(branch_elements()[7], "threads"), 2);
  EXPECT_EQ(console.text(), std::string(kDefaultSettingsLine) + "Video encoder threads 2\nNERKO BOOST ENABLED\n");
}

TEST_F(VideoBranchTest, RecordsBothSendersForTheStatistics) {
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  std::vector<GstElement *> v = branch_elements();
  EXPECT_EQ(sinks->video_rtp.get(), v[10]);
  EXPECT_EQ(sinks->video_rtcp.get(), v[11]);
  EXPECT_FALSE(sinks->audio_rtp);
  EXPECT_FALSE(sinks->audio_rtcp);
}

TEST_F(VideoBranchTest, SessionZeroGetsAConfiguredUlpfecEncoder) {
  connect_fec(37);
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  std::vector<GstElement *> encoders = rtpbin_children_of("rtpulpfecenc");
  ASSERT_EQ(encoders.size(), 1u);
  EXPECT_EQ(get_property<guint>(encoders[0], "pt"), 100u);
  EXPECT_TRUE(get_property<gboolean>(encoders[0], "multipacket"));
  EXPECT_EQ(get_property<guint>(encoders[0], "percentage"), 37u);
}

// Only with NERKO_LATENCY_MS does videorate stop holding a frame to make up
// others; a malformed value builds nothing further.
TEST_F(VideoBranchTest, LatencySettingMakesVideorateOnlyDrop) {
  env.set("NERKO_LATENCY_MS", "0");
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  EXPECT_TRUE(get_property<gboolean>(branch_elements()[3], "drop-only"));
}

TEST_F(VideoBranchTest, MalformedLatencySettingStopsTheBranch) {
  env.set("NERKO_LATENCY_MS", "20ms");
  Status status = build(decoder_pad(kVideoCaps));
  ASSERT_NE(status, std::nullopt);
  EXPECT_EQ(status->message(), "NERKO_LATENCY_MS must be an unsigned 32-bit decimal integer, got \"20ms\"");
  EXPECT_FALSE(sinks->video_rtp);
}

TEST_F(VideoBranchTest, OutOfRangeSettingLeavesTheBranchHalfBuilt) {
  env.set("NERKO_SHARPNESS", "8");
  env.set("NERKO_DROPFRAME_THRESHOLD", "50");
  Status status = build(decoder_pad(kVideoCaps));
  ASSERT_NE(status, std::nullopt);
  EXPECT_EQ(status->kind(), ErrorKind::Library);
  EXPECT_EQ(status->message(),
            "property 'sharpness' of type 'GstVP8Enc' can't be set from given value, it is invalid or out of range");
  std::vector<GstElement *> v = branch_elements();
  ASSERT_EQ(v.size(), 12u);
  EXPECT_EQ(get_property<gint>(v[7], "target-bitrate"), 3000000);  // set before the failure
  EXPECT_EQ(get_property<gint>(v[7], "dropframe-threshold"), 0);   // never reached
  EXPECT_EQ(get_property<gint>(v[10], "port"), 5000);              // senders came before the encoder
  EXPECT_FALSE(sinks->video_rtp);
  EXPECT_FALSE(sinks->video_rtcp);
}

TEST_F(VideoBranchTest, NegativeBitrateIsReadButRefusedByTheEncoder) {
  env.set("NERKO_TARGET_VIDEO_BITRATE", "-1");
  Status status = build(decoder_pad(kVideoCaps));
  ASSERT_NE(status, std::nullopt);
  EXPECT_EQ(status->message(),
            "property 'target-bitrate' of type 'GstVP8Enc' can't be set from given value, it is invalid or out of "
            "range");
  EXPECT_EQ(console.text().rfind("Final settings for encoder: target_video_bitrate=-1, ", 0), 0u);
}

TEST_F(VideoBranchTest, InterlacedVideoIsDeinterlacedBeforeScaling) {
  ASSERT_EQ(build(decoder_pad((std::string(kVideoCaps) + ",interlace-mode=mixed").c_str())), std::nullopt);
  std::vector<GstElement *> v = branch_elements();
  ASSERT_EQ(v.size(), 13u);
  EXPECT_EQ(factory_name(v[12]), std::string("deinterlace"));
  EXPECT_EQ(peer_element(v[0], "src"), v[12]);  // videoconvert → deinterlace → videoscale
  EXPECT_EQ(peer_element(v[12], "src"), v[1]);
}

TEST_F(VideoBranchTest, LaterStreamsOfASentKindAreDiscardedAndTheFirstKeepsItsSenders) {
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  ASSERT_EQ(build(decoder_pad(kAudioCaps)), std::nullopt);
  GstElement *video_rtp = sinks->video_rtp.get(), *audio_rtp = sinks->audio_rtp.get();
  ::testing::internal::CaptureStderr();
  GstPad *second_audio = decoder_pad(kAudioCaps);
  GstPad *second_video = decoder_pad(kVideoCaps);
  // A third of a kind (or the second again from a reopened input) says nothing more.
  Status audio = build(second_audio), video = build(second_video), third = build(decoder_pad(kAudioCaps));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Ignoring a second audio stream (only the first is sent)\n"
            "Ignoring a second video stream (only the first is sent)\n");
  ASSERT_EQ(audio, std::nullopt);
  ASSERT_EQ(video, std::nullopt);
  ASSERT_EQ(third, std::nullopt);
  std::vector<GstElement *> all = branch_elements();
  ASSERT_EQ(all.size(), 12u + 8u + 3u);
  for (GstPad *pad : {second_audio, second_video}) {
    PadRef peer(gst_pad_get_peer(pad));
    ASSERT_TRUE(peer);
    EXPECT_EQ(factory_name(GST_ELEMENT(GST_OBJECT_PARENT(peer.get()))), std::string("fakesink"));
  }
  EXPECT_EQ(sinks->video_rtp.get(), video_rtp);
  EXPECT_EQ(sinks->audio_rtp.get(), audio_rtp);
}

}  // namespace
}  // namespace nerko::test
