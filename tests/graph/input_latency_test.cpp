// NERKO_LATENCY_MS on the input: the demuxer off the PCR with its H.264 and
// H.265 declared one frame per buffer, a start whose first frame came early
// timed later, and a sender that starts again kept on the clock.
#include <gst/check/gsttestclock.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "encoder/input/input_latency.h"
#include "graph_fixture.h"

namespace nerko::test {
namespace {

// What a demuxer's source pad hands downstream.
struct Received {
  std::string caps;
  std::vector<GstClockTime> stamps;
};

gboolean keep_caps(GstPad *pad, GstObject *, GstEvent *event) {
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps *caps = nullptr;
    gst_event_parse_caps(event, &caps);
    static_cast<Received *>(gst_pad_get_element_private(pad))->caps = GStringRef(gst_caps_to_string(caps)).get();
  }
  gst_event_unref(event);
  return TRUE;
}

GstFlowReturn keep_stamp(GstPad *pad, GstObject *, GstBuffer *buffer) {
  static_cast<Received *>(gst_pad_get_element_private(pad))->stamps.push_back(GST_BUFFER_PTS(buffer));
  gst_buffer_unref(buffer);
  return GST_FLOW_OK;
}

gboolean answer_live_latency(GstPad *pad, GstObject *parent, GstQuery *query) {
  if (GST_QUERY_TYPE(query) != GST_QUERY_LATENCY)
    return gst_pad_query_default(pad, parent, query);
  gst_query_set_latency(query, TRUE, 20 * GST_MSECOND, GST_CLOCK_TIME_NONE);
  return TRUE;
}

// A source pad the demuxer adds as it adds its own, answering latency as a
// live 20 ms source in a segment from 0, linked to a sink pad that keeps the
// caps and the stamps it is handed.
struct DemuxerPad {
  DemuxerPad(GstElement *demuxer, const char *name, const char *caps)
      : demuxer(demuxer),
        source(GST_PAD(gst_object_ref_sink(gst_pad_new(name, GST_PAD_SRC)))),
        sink(GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK)))) {
    gst_pad_set_query_function(source.get(), answer_live_latency);
    gst_pad_set_element_private(sink.get(), &received);
    gst_pad_set_event_function(sink.get(), keep_caps);
    gst_pad_set_chain_function(sink.get(), keep_stamp);
    gst_pad_set_active(source.get(), TRUE);
    gst_pad_set_active(sink.get(), TRUE);
    gst_element_add_pad(demuxer, source.get());
    gst_pad_link(source.get(), sink.get());
    gst_pad_push_event(source.get(), gst_event_new_stream_start("s"));
    gst_pad_push_event(source.get(), gst_event_new_caps(CapsRef(gst_caps_from_string(caps)).get()));
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    gst_pad_push_event(source.get(), gst_event_new_segment(&segment));
  }
  ~DemuxerPad() { gst_element_remove_pad(demuxer, source.get()); }
  DemuxerPad(const DemuxerPad &) = delete;
  DemuxerPad &operator=(const DemuxerPad &) = delete;
  GstElement *demuxer;
  PadRef source, sink;
  Received received;
};

// The demuxer as NERKO_LATENCY_MS=20 sets it up, on a test clock.
struct ClockedDemuxer {
  ClockedDemuxer() {
    apply_input_latency(element.get(), 20);
    gst_element_set_clock(element.get(), clock.get());
  }
  void set_time(GstClockTime now) { gst_test_clock_set_time(GST_TEST_CLOCK(clock.get()), now); }
  ElementRef element{GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("tsdemux", nullptr)))};
  ObjectRef<GstClock> clock{gst_test_clock_new()};
};

// The caps a pad the demuxer adds hands downstream.
std::string caps_passed_on(GstElement *demuxer, const char *caps) {
  return DemuxerPad(demuxer, "video_0", caps).received.caps;
}

TEST(InputLatency, TsdemuxLeavesThePcrAndDeclaresWholeH264AndH265Frames) {
  const char *h264 = "video/x-h264, stream-format=(string)byte-stream";
  ElementRef untouched(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("tsdemux", nullptr))));
  EXPECT_EQ(caps_passed_on(untouched.get(), h264), h264);
  ElementRef demuxer(GST_ELEMENT(gst_object_ref_sink(gst_element_factory_make("tsdemux", nullptr))));
  apply_input_latency(demuxer.get(), 30);
  EXPECT_EQ(get_property<gint>(demuxer.get(), "latency"), 30);
  EXPECT_TRUE(get_property<gboolean>(demuxer.get(), "ignore-pcr"));
  EXPECT_EQ(caps_passed_on(demuxer.get(), h264), std::string(h264) + ", alignment=(string)au");
  EXPECT_EQ(caps_passed_on(demuxer.get(), "video/x-h265, stream-format=(string)byte-stream"),
            "video/x-h265, stream-format=(string)byte-stream, alignment=(string)au");
  EXPECT_EQ(caps_passed_on(demuxer.get(), "video/x-h264, stream-format=(string)avc"),
            "video/x-h264, stream-format=(string)avc");
}

// A frame every 40 ms for 3.2 s, each leaving the demuxer late (against its
// running time, on the pipeline's clock) by the case's lateness in turn; in
// the first second 150 ms, which must not count.
TEST(InputLatency, AStartWhoseMedianFrameCameLateIsTimedFromThatFrame) {
  const struct {
    const char *what;
    std::vector<double> lateness_ms;
    GstClockTime added;
  } cases[] = {
      {"frames on time", {0}, 0},
      {"frames early", {-10}, 0},
      {"frames late, in whole milliseconds", {29.5}, 30 * GST_MSECOND},
      {"some frames late, the median on time", {0, 0, 35}, 0},
      {"late key frames beside a late median", {20, 20, 55}, 20 * GST_MSECOND},
      {"a stalled start", {900}, 200 * GST_MSECOND},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ClockedDemuxer demuxer;
    BusRef bus(gst_bus_new());
    gst_element_set_bus(demuxer.element.get(), bus.get());

    DemuxerPad pad(demuxer.element.get(), "audio_0", "audio/mpeg");
    GstSegment segment;  // stamps a second ahead, so that early frames have one
    gst_segment_init(&segment, GST_FORMAT_TIME);
    segment.start = GST_SECOND;
    gst_pad_push_event(pad.source.get(), gst_event_new_segment(&segment));
    for (int i = 0; i <= 80; ++i) {
      const GstClockTime now = i * 40 * GST_MSECOND;
      const double late_ms = now < GST_SECOND ? 150 : c.lateness_ms[i % c.lateness_ms.size()];
      demuxer.set_time(now);
      GstBuffer *frame = gst_buffer_new();
      GST_BUFFER_PTS(frame) = now + GST_SECOND - static_cast<GstClockTimeDiff>(late_ms * GST_MSECOND);
      gst_pad_push(pad.source.get(), frame);
    }

    GstQuery *query = gst_query_new_latency();
    GstClockTime least = 0;
    if (gst_pad_peer_query(pad.sink.get(), query))
      gst_query_parse_latency(query, nullptr, &least, nullptr);
    gst_query_unref(query);
    EXPECT_EQ(least, 20 * GST_MSECOND + c.added);
    // Asked of the pipeline, which queries its latency again.
    MessageRef asked(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_LATENCY));
    EXPECT_EQ(asked.get() != nullptr, c.added > 0);
    // The messages still on the bus hold the demuxer, which holds the bus.
    gst_element_set_bus(demuxer.element.get(), nullptr);
  }
}


// A sender's frames leave the demuxer 10 ms late for 2 s (audio 15 ms later
// still after the silence, as a sender's spread may have it); the sender is
// silent for 3 s and comes back, in each case differently. Every frame must
// leave as late as before: seconds late, a decoder would hold its last
// stamp and the live-rate heads would drop every frame.
TEST(InputLatency, ASenderThatStartsAgainGoesOnWhereTheClockIs) {
  enum class Return { SameStamps, StampsAnew, NewProgram };
  const struct {
    const char *what;
    Return comes_back;
  } cases[] = {
      {"a silence alone: the stamps go on", Return::SameStamps},
      {"a restart: the stamps begin anew on the same pads", Return::StampsAnew},
      {"a restart the demuxer makes a new program of", Return::NewProgram},
  };
  constexpr GstClockTime kFrame = 40 * GST_MSECOND, kBack = 5 * GST_SECOND, kAnew = 200 * GST_MSECOND;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ClockedDemuxer demuxer;
    auto video = std::make_unique<DemuxerPad>(demuxer.element.get(), "video_0", "video/x-h264");
    auto audio = std::make_unique<DemuxerPad>(demuxer.element.get(), "audio_0", "audio/mpeg");
    gst_element_no_more_pads(demuxer.element.get());
    // How late a frame stamped `stamp` pushed at `now` leaves.
    auto late = [&](DemuxerPad &pad, GstClockTime now, GstClockTime stamp) {
      demuxer.set_time(now);
      GstBuffer *frame = gst_buffer_new();
      GST_BUFFER_PTS(frame) = stamp;
      gst_pad_push(pad.source.get(), frame);
      return GST_CLOCK_DIFF(pad.received.stamps.back(), now);
    };
    for (GstClockTime now = 100 * GST_MSECOND; now < 2 * GST_SECOND; now += kFrame) {
      EXPECT_EQ(late(*video, now, now - 10 * GST_MSECOND), 10 * GST_MSECOND);
      EXPECT_EQ(late(*audio, now, now - 10 * GST_MSECOND), 10 * GST_MSECOND);
    }
    if (c.comes_back == Return::NewProgram) {
      auto new_video = std::make_unique<DemuxerPad>(demuxer.element.get(), "video_1", "video/x-h264");
      auto new_audio = std::make_unique<DemuxerPad>(demuxer.element.get(), "audio_1", "audio/mpeg");
      gst_element_no_more_pads(demuxer.element.get());
      video = std::move(new_video);
      audio = std::move(new_audio);
    }
    const GstClockTime first = c.comes_back == Return::SameStamps ? kBack : kAnew;
    for (GstClockTime now = kBack; now < kBack + GST_SECOND; now += kFrame) {
      const GstClockTime stamp = first + (now - kBack);
      EXPECT_EQ(late(*video, now, stamp - 10 * GST_MSECOND), 10 * GST_MSECOND) << "at " << now;
      EXPECT_EQ(late(*audio, now, stamp - 25 * GST_MSECOND), 25 * GST_MSECOND) << "at " << now;
    }
  }
}

}  // namespace
}  // namespace nerko::test
