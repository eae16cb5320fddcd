#include "encoder/graph/live_rate_head.h"

#include <atomic>

#include "encoder/graph/element_chain.h"

namespace nerko {
namespace {

// Where the head's output ends, in running time: every buffer reaching it
// carries its running time as its timestamp (see watch_decoded_pad).
struct OutputEnd {
  std::atomic<GstClockTime> end{GST_CLOCK_TIME_NONE};
};

GstPadProbeReturn on_head_output(GstPad *, GstPadProbeInfo *info, gpointer data) {
  GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (buffer && GST_BUFFER_PTS_IS_VALID(buffer))
    static_cast<OutputEnd *>(data)->end.store(
        GST_BUFFER_PTS(buffer) + (GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0));
  return GST_PAD_PROBE_OK;
}

// Each input's segment starts where the output has got to: the head fills
// the time up to the input's first buffer, exactly the gap since the last
// one, however long ago the input itself started (a standby goes on air
// with the segment it was given at its start) and wherever its first buffer
// lies (a new input's is due now, while the head has made up frames only up
// to its latency ago).
GstPadProbeReturn on_head_segment(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
  if (GST_EVENT_TYPE(event) != GST_EVENT_SEGMENT)
    return GST_PAD_PROBE_OK;
  const GstSegment *segment = nullptr;
  gst_event_parse_segment(event, &segment);
  if (segment->format != GST_FORMAT_TIME)
    return GST_PAD_PROBE_OK;
  GstClockTime start = static_cast<OutputEnd *>(data)->end.load();
  if (!GST_CLOCK_TIME_IS_VALID(start)) {
    // Nothing has gone out yet: the output starts now.
    ElementRef head(gst_pad_get_parent_element(pad));
    ObjectRef<GstClock> clock(head ? gst_element_get_clock(head.get()) : nullptr);
    if (!clock)
      return GST_PAD_PROBE_OK;
    GstClockTime now = gst_clock_get_time(clock.get()), base = gst_element_get_base_time(head.get());
    start = now > base ? now - base : 0;
  }
  GstSegment from_output;
  gst_segment_init(&from_output, GST_FORMAT_TIME);
  from_output.start = from_output.base = from_output.time = start;
  GstEvent *replaced = gst_event_new_segment(&from_output);
  gst_event_set_seqnum(replaced, gst_event_get_seqnum(event));
  gst_event_unref(event);
  GST_PAD_PROBE_INFO_DATA(info) = replaced;
  return GST_PAD_PROBE_OK;
}

// With a gate every input reaches the head in running time; the head's
// segment then follows its output.
void follow_output(GstElement *head) {
  auto *end = new OutputEnd;
  PadRef source(gst_element_get_static_pad(head, "src"));
  PadRef sink(gst_element_get_static_pad(head, "sink"));
  gst_pad_add_probe(source.get(), GST_PAD_PROBE_TYPE_BUFFER, on_head_output, end,
                    [](gpointer data) { delete static_cast<OutputEnd *>(data); });
  // The sink's probe goes with the source's, which owns `end`; both pads
  // live as long as the head.
  gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, on_head_segment, end, nullptr);
}

}  // namespace

const char *live_rate_factory(StreamKind kind) {
  return kind == StreamKind::Video ? "livevideorate" : "liveaudiorate";
}

Result<ElementRef> add_live_rate_head(GstElement *pipeline, const LiveRateHeads &heads, StreamKind kind,
                                      GstElement *first) {
  Result<std::vector<ElementRef>> made = make_elements({live_rate_factory(kind)});
  if (!made)
    return made.error();
  ElementRef head = std::move(made.value()[0]);
  if (kind == StreamKind::Video)
    gst_util_set_object_arg(G_OBJECT(head.get()), "fill-mode", heads.video_fill_mode.c_str());
  if (!gst_bin_add(GST_BIN(pipeline), head.get()))
    return EncoderError::library("Failed to add elements");
  if (!gst_element_link(head.get(), first))
    return EncoderError::library("Failed to link elements");
  PadRef source(gst_element_get_static_pad(head.get(), "src"));
  if (source)
    count_filled_buffers(source.get(), heads.activity, kind);
  follow_output(head.get());
  return head;
}

Status feed_branch(GstElement *pipeline, const LiveRateHeads *heads, StreamKind kind, GstPad *decoder_pad,
                   GstElement *first, ElementRef &head, ElementRef &funnel, InputFeeds *feeds) {
  if (heads) {
    Result<ElementRef> added = add_live_rate_head(pipeline, *heads, kind, first);
    if (!added)
      return added.error();
    head = added.take();
  }
  if (!heads || !heads->gate || !feeds)
    return link_to_static_pad(decoder_pad, head ? head.get() : first, "sink");
  Result<std::vector<ElementRef>> made = make_elements({"funnel"});
  if (!made)
    return made.error();
  if (Status s = add_elements(pipeline, made.value()))
    return s;
  funnel = std::move(made.value()[0]);
  if (!gst_element_link(funnel.get(), head.get()))
    return EncoderError::library("Failed to link elements");
  if (kind == StreamKind::Video && heads->slate) {
    CapsRef input_caps(gst_pad_get_current_caps(decoder_pad));
    if (Status s = add_slate_feed(pipeline, funnel.get(), *heads->slate, input_caps.get(), heads->gate))
      return s;
  }
  Result<bool> fed = feed_funnel(funnel.get(), decoder_pad, *feeds, kind, heads->gate);
  if (!fed)
    return fed.error();
  return std::nullopt;
}

Status require_live_rate_elements() {
  for (StreamKind kind : {StreamKind::Video, StreamKind::Audio}) {
    GstElementFactory *factory = gst_element_factory_find(live_rate_factory(kind));
    if (!factory)
      return EncoderError::library(
          std::string("NERKO_KEEP_ALIVE needs the element ") + live_rate_factory(kind) +
          " of the gsttollamar plug-in: install libgsttollamar.so into GStreamer's plug-in directory "
          "or name its directory in GST_PLUGIN_PATH");
    gst_object_unref(factory);
  }
  return std::nullopt;
}

}  // namespace nerko
