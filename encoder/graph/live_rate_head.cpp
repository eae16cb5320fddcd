#include "encoder/graph/live_rate_head.h"

#include "encoder/graph/element_chain.h"
#include "encoder/graph/running_time_stream.h"

namespace nerko {

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
  if (heads.max_lateness)
    g_object_set(head.get(), "max-lateness", static_cast<guint64>(*heads.max_lateness), nullptr);
  if (!gst_bin_add(GST_BIN(pipeline), head.get()))
    return EncoderError::library("Failed to add elements");
  if (!gst_element_link(head.get(), first))
    return EncoderError::library("Failed to link elements");
  PadRef sink(gst_element_get_static_pad(head.get(), "sink"));
  PadRef source(gst_element_get_static_pad(head.get(), "src"));
  if (sink)
    stamp_in_running_time(sink.get());
  if (source) {
    count_filled_buffers(source.get(), heads.activity, kind);
    keep_one_output_stream(source.get());
  }
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
