// What every decoded pad goes through before and after a branch: caps,
// destination, classification, the lock, and the posted failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "encoder/control/contexts.h"
#include "encoder/graph/pad_added.h"
#include "graph_fixture.h"
#include "support/tollamar_plugin.h"

namespace nerko::test {
namespace {

class BranchTest : public GraphTest {};

TEST_F(BranchTest, NonRawStreamBuildsNothing) {
  for (const char *caps : {"video/x-h264,stream-format=byte-stream", "text/x-raw,format=utf8",
                           "Video/x-raw,format=I420", "video/x-raw-yuv"}) {
    EXPECT_EQ(build(decoder_pad(caps)), std::nullopt) << caps;
  }
  EXPECT_TRUE(branch_elements().empty());
  EXPECT_EQ(console.text(), "");
  EXPECT_FALSE(sinks->video_rtp || sinks->audio_rtp);
}

TEST_F(BranchTest, CapsFeaturesDoNotChangeTheKind) {
  ASSERT_EQ(build(decoder_pad("video/x-raw(memory:SystemMemory),format=I420,width=320,height=240")), std::nullopt);
  EXPECT_EQ(branch_elements().size(), 12u);
}

TEST_F(BranchTest, OnlyTheNewElementsFollowThePipelineState) {
  ASSERT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
  // The decoder is left alone: its state is its own streaming thread's business.
  ASSERT_EQ(gst_element_set_state(decoder.get(), GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  ASSERT_EQ(build(decoder_pad(kAudioCaps)), std::nullopt);
  for (GstElement *element : branch_elements())
    EXPECT_EQ(GST_STATE(element), GST_STATE_READY) << GST_OBJECT_NAME(element);
  EXPECT_EQ(GST_STATE(decoder.get()), GST_STATE_NULL);
}

TEST_F(BranchTest, WhilePrerollingNewElementsWaitInPausedForThePipeline) {
  // A sink that never gets data keeps the pipeline on its way to PLAYING.
  GstElement *waiting = gst_element_factory_make("fakesink", nullptr);
  ASSERT_TRUE(gst_bin_add(GST_BIN(pipeline.get()), waiting));
  ASSERT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_ASYNC);
  ASSERT_EQ(GST_STATE_PENDING(pipeline.get()), GST_STATE_PLAYING);
  ASSERT_EQ(build(decoder_pad(kAudioCaps)), std::nullopt);
  std::vector<GstElement *> added = branch_elements();
  added.erase(added.begin());  // the waiting fakesink came first
  ASSERT_EQ(added.size(), 8u);
  for (GstElement *element : added)
    EXPECT_EQ(GST_STATE_TARGET(element), GST_STATE_PAUSED) << GST_OBJECT_NAME(element);
}

TEST_F(BranchTest, InAPlayingPipelineNewElementsPlayWithItsClock) {
  ASSERT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  ASSERT_EQ(build(decoder_pad(kAudioCaps)), std::nullopt);
  std::vector<GstElement *> added = branch_elements();
  ASSERT_EQ(added.size(), 8u);
  for (GstElement *element : added)
    EXPECT_EQ(GST_STATE_TARGET(element), GST_STATE_PLAYING) << GST_OBJECT_NAME(element);
  ObjectRef<GstClock> pipeline_clock(gst_element_get_clock(pipeline.get()));
  ObjectRef<GstClock> sender_clock(gst_element_get_clock(added[6]));
  ASSERT_TRUE(pipeline_clock);
  EXPECT_EQ(sender_clock.get(), pipeline_clock.get());
}

// A live-rate head pushes from a thread of its own as soon as it plays: an
// element after it that is not active yet refuses the push as flushing, and
// the head's stream stops for good.
TEST_F(BranchTest, LiveRateHeadPlaysOnlyAfterEverythingItFeeds) {
  test_support::load_tollamar_plugin();
  ASSERT_EQ(gst_element_set_state(pipeline.get(), GST_STATE_PLAYING), GST_STATE_CHANGE_SUCCESS);
  BusRef bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline.get())));
  std::vector<GstObject *> playing;  // in the order they reached PLAYING
  auto record = [](GstBus *, GstMessage *message, gpointer data) {
    GstState state = GST_STATE_VOID_PENDING;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_STATE_CHANGED)
      gst_message_parse_state_changed(message, nullptr, &state, nullptr);
    if (state == GST_STATE_PLAYING)
      static_cast<std::vector<GstObject *> *>(data)->push_back(GST_MESSAGE_SRC(message));
    return GST_BUS_PASS;
  };
  gst_bus_set_sync_handler(bus.get(), record, &playing, nullptr);
  LiveRateHeads heads{"black", std::make_shared<InputActivity>()};
  Status built = build_branch(*sinks, "udp://127.0.0.1:5000", pipeline.get(), rtpbin.get(),
                              decoder_pad(kVideoCaps), 100, console.get(), nullptr, "", &heads);
  gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
  ASSERT_EQ(built, std::nullopt);
  ASSERT_STREQ(factory_name(branch_elements().back()), "livevideorate");
  ASSERT_FALSE(playing.empty());
  EXPECT_EQ(playing.back(), GST_OBJECT(branch_elements().back()));
  // Nor does videorate fill from a new input's segment start up to its first frame.
  ASSERT_STREQ(factory_name(branch_elements()[3]), "videorate");
  EXPECT_TRUE(get_property<gboolean>(branch_elements()[3], "skip-to-first"));
}

// The fatal stop a build ended on: an error of that kind with its line.
std::string fatal_text(const Status &status) {
  return status && status->is_fatal() ? status->message() : "(no fatal stop)";
}

TEST_F(BranchTest, DestinationIsParsedEvenForAStreamThatBuildsNothing) {
  GstPad *pad = decoder_pad("text/x-raw,format=utf8");
  EXPECT_EQ(fatal_text(build(pad, "239.1.2.3:5000")),
            "Malformed destination \"239.1.2.3:5000\" (expected scheme://host:port): no port part");
}

TEST_F(BranchTest, PadWithoutCapsIsAFatalStop) {
  GstPad *pad = decoder_pad(nullptr);
  EXPECT_EQ(fatal_text(build(pad)), "Decoder pad src_0 has no caps");
}

TEST_F(BranchTest, MalformedSettingIsAFatalStopWhileBuilding) {
  env.set("NERKO_BOOST", "True");
  GstPad *pad = decoder_pad(kVideoCaps);
  EXPECT_EQ(fatal_text(build(pad)), "NERKO_BOOST must be \"true\" or \"false\", got \"True\"");
}

TEST_F(BranchTest, SinksStayLockedForTheWholeBuildAndAreFreeAfterIt) {
  // Asked from another thread at every property set of the build.
  std::vector<bool> locked;
  auto probe = +[](GstObject *, GstObject *origin, GParamSpec *, gpointer data) {
    if (!GST_IS_ELEMENT(origin))
      return;
    auto *self = static_cast<std::pair<StreamSinks *, std::vector<bool> *> *>(data);
    StreamSinks *s = self->first;
    bool was_free = std::async(std::launch::async, [s] {
                      if (!s->mutex.try_lock())
                        return false;
                      s->mutex.unlock();
                      return true;
                    }).get();
    self->second->push_back(!was_free);
  };
  std::pair<StreamSinks *, std::vector<bool> *> data{sinks.get(), &locked};
  gulong id = g_signal_connect(pipeline.get(), "deep-notify", G_CALLBACK(probe), &data);
  ASSERT_EQ(build(decoder_pad(kVideoCaps)), std::nullopt);
  ASSERT_EQ(build(decoder_pad(kAudioCaps)), std::nullopt);
  g_signal_handler_disconnect(pipeline.get(), id);
  ASSERT_GT(locked.size(), 20u);
  EXPECT_EQ(std::count(locked.begin(), locked.end(), false), 0);
  ASSERT_TRUE(sinks->mutex.try_lock());
  sinks->mutex.unlock();
}

TEST_F(BranchTest, FailureIsUnlockedToo) {
  env.set("NERKO_SHARPNESS", "99");
  ASSERT_NE(build(decoder_pad(kVideoCaps)), std::nullopt);
  ASSERT_TRUE(sinks->mutex.try_lock());
  sinks->mutex.unlock();
}

// Takes a factory out of the registry for one test, as if its plug-in were
// not installed, and puts it back afterwards.
class HiddenFactory {
 public:
  explicit HiddenFactory(const char *name)
      : feature_(gst_registry_lookup_feature(gst_registry_get(), name)) {
    if (feature_)
      gst_registry_remove_feature(gst_registry_get(), feature_);
  }
  ~HiddenFactory() {
    if (feature_) {
      gst_registry_add_feature(gst_registry_get(), feature_);
      gst_object_unref(feature_);
    }
  }
  bool hidden() const { return feature_ != nullptr; }

 private:
  GstPluginFeature *feature_;
};

class PadAddedTest : public GraphTest {
 protected:
  void SetUp() override {
    GraphTest::SetUp();
    bus.reset(gst_element_get_bus(pipeline.get()));
    context = new PadAddedContext{ref_object(pipeline.get()), ref_object(rtpbin.get()),
                                  "udp://127.0.0.1:5000", "", sinks, 100};
    handler = g_signal_connect_data(decoder.get(), "pad-added", G_CALLBACK(on_pad_added), context,
                                    destroy_context_closure<PadAddedContext>, GConnectFlags(0));
  }
  void TearDown() override {
    g_signal_handler_disconnect(decoder.get(), handler);
    GraphTest::TearDown();
  }
  // The pad-added handler writes to standard output; a pad appears as
  // "pad-added" on the decoder bin.
  GstPad *announce(const char *caps) { return decoder_pad(caps); }

  MessageRef next_error() { return MessageRef(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR)); }

  BusRef bus;
  PadAddedContext *context = nullptr;
  gulong handler = 0;
};

TEST_F(PadAddedTest, MissingEncoderIsPostedFromTheDecoderAndBuildsNothing) {
  HiddenFactory vp8enc("vp8enc");
  ASSERT_TRUE(vp8enc.hidden());
  announce(kVideoCaps);
  MessageRef message = next_error();
  ASSERT_TRUE(message);
  EXPECT_EQ(GST_MESSAGE_SRC(message.get()), GST_OBJECT(decoder.get()));
  GError *error = nullptr;
  gchar *debug = nullptr;
  gst_message_parse_error(message.get(), &error, &debug);
  ErrorRef error_ref(error);
  GStringRef debug_ref(debug);
  EXPECT_TRUE(g_error_matches(error, GST_LIBRARY_ERROR, GST_LIBRARY_ERROR_FAILED));
  EXPECT_STREQ(error->message, "Failed to link decodebin srcpad");
  GStringRef path(gst_object_get_path_string(GST_OBJECT(decoder.get())));
  EXPECT_EQ(std::string(debug), std::string("examples/src/bin/zolvane(476): zolvane (): ") + path.get() +
                                    ":\nMissing element vp8enc");
  EXPECT_TRUE(branch_elements().empty());
  EXPECT_FALSE(next_error());
}

TEST_F(PadAddedTest, MissingOpusEncoderIsPostedAndBuildsNothing) {
  HiddenFactory opusenc("opusenc");
  ASSERT_TRUE(opusenc.hidden());
  announce(kAudioCaps);
  MessageRef message = next_error();
  ASSERT_TRUE(message);
  GError *error = nullptr;
  gchar *debug = nullptr;
  gst_message_parse_error(message.get(), &error, &debug);
  ErrorRef error_ref(error);
  GStringRef debug_ref(debug);
  EXPECT_TRUE(g_str_has_suffix(debug, ":\nMissing element opusenc")) << debug;
  EXPECT_TRUE(branch_elements().empty());
}

TEST_F(PadAddedTest, EmissionWithoutElementOrPadIsAFatalStop) {
  GstPad *pad = decoder_pad("text/x-raw");
  on_pad_added(nullptr, pad, context);
  EXPECT_EQ(posted_fatal(), "\"pad-added\" emitted without an element");
  on_pad_added(decoder.get(), nullptr, context);
  EXPECT_EQ(posted_fatal(), "\"pad-added\" emitted without a pad");
}

TEST_F(PadAddedTest, FatalStopIsPostedAndLaterStreamsBuildNothing) {
  env.set("NERKO_TARGET_AUDIO_BITRATE", "96k");
  announce(kAudioCaps);
  EXPECT_EQ(posted_fatal(), "NERKO_TARGET_AUDIO_BITRATE must be a signed 32-bit decimal integer, got \"96k\"");
  EXPECT_FALSE(next_error());
  size_t built = branch_elements().size();
  announce(kVideoCaps);
  EXPECT_EQ(branch_elements().size(), built);
  EXPECT_FALSE(sinks->video_rtp);
}

TEST_F(PadAddedTest, SuccessfulBuildPostsNothing) {
  testing::internal::CaptureStdout();
  announce(kAudioCaps);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Target audio bitrate 96000\n");
  EXPECT_FALSE(next_error());
  EXPECT_EQ(branch_elements().size(), 8u);
}

}  // namespace
}  // namespace nerko::test
