#include "encoder/graph/branch.h"

#include <algorithm>
#include <mutex>
#include <string_view>
#include <vector>

#include "encoder/graph/audio_branch.h"
#include "encoder/graph/branch_target.h"
#include "encoder/graph/destination.h"
#include "encoder/graph/element_chain.h"
#include "encoder/control/gst_ref.h"
#include "encoder/graph/video_branch.h"

namespace nerko {
namespace {

// The bin's children, newest first, each with a reference of its own.
std::vector<ElementRef> children_of(GstElement *bin) {
  std::vector<ElementRef> children;
  GST_OBJECT_LOCK(bin);
  for (GList *l = GST_BIN_CHILDREN(bin); l; l = l->next)
    children.push_back(ref_object(GST_ELEMENT(l->data)));
  GST_OBJECT_UNLOCK(bin);
  return children;
}

// The bin's children, sinks first and every element before those it feeds:
// the order the bin itself changes their states in.
std::vector<ElementRef> children_downstream_first(GstElement *bin) {
  std::vector<ElementRef> children;
  GstIterator *sorted = gst_bin_iterate_sorted(GST_BIN(bin));
  GValue item = G_VALUE_INIT;
  for (bool done = false; !done;) {
    switch (gst_iterator_next(sorted, &item)) {
      case GST_ITERATOR_OK:
        children.push_back(ref_object(GST_ELEMENT(g_value_get_object(&item))));
        g_value_reset(&item);
        break;
      case GST_ITERATOR_RESYNC:  // another thread added or removed a child
        children.clear();
        gst_iterator_resync(sorted);
        break;
      default:
        done = true;
        break;
    }
  }
  g_value_unset(&item);
  gst_iterator_free(sorted);
  return children;
}

// The state new elements are set to. While the pipeline is still on its way
// to PLAYING they only go to PAUSED: an element that reached PLAYING on its
// own would have no clock yet, and a sender without a clock sends everything
// it gets at once. The pipeline waits for the new senders' preroll and then
// takes every child to PLAYING with its clock and base time.
GstState state_for_new_elements(GstElement *pipeline) {
  GST_OBJECT_LOCK(pipeline);
  GstState current = GST_STATE(pipeline);
  GstState pending = GST_STATE_PENDING(pipeline);
  GST_OBJECT_UNLOCK(pipeline);
  GstState target = pending != GST_STATE_VOID_PENDING ? pending : current;
  if (target == GST_STATE_PLAYING && current != GST_STATE_PLAYING)
    return GST_STATE_PAUSED;
  return target;
}

// Brings every child added since `before` to the pipeline's state, downstream
// first. An element that pushes from a thread of its own (a live-rate head
// runs as soon as it plays) would otherwise push into elements that are not
// active yet, be refused as flushing and stop its stream for good.
bool sync_new_children(GstElement *pipeline, const std::vector<ElementRef> &before) {
  GstState target = state_for_new_elements(pipeline);
  bool synced = true;
  for (const ElementRef &child : children_downstream_first(pipeline)) {
    auto known = std::find_if(before.begin(), before.end(),
                              [&child](const ElementRef &old) { return old.get() == child.get(); });
    if (known != before.end())
      continue;
    if (gst_element_set_state(child.get(), target) == GST_STATE_CHANGE_FAILURE)
      synced = false;
  }
  return synced;
}

std::string pad_name(GstPad *pad) {
  GStringRef name(gst_object_get_name(GST_OBJECT(pad)));
  return name ? name.get() : "";
}

// A new input's stream, or the pad a decoder made in place of one it
// removed, joins the branch built before, unless a stream of that kind has
// taken the branch's entry already.
Result<bool> feed_existing_branch(GstPad *new_pad, GstElement *entry) {
  PadRef sink(gst_element_get_static_pad(entry, "sink"));
  if (!sink)
    return EncoderError::no_such_pad("sink", element_name(entry));
  if (gst_pad_is_linked(sink.get()))
    return false;
  if (Status s = link_pads(new_pad, sink.get()))
    return *s;
  return true;
}

// The pipeline last asked for its latency while the decoder's old pad was
// gone and the branch had no source: its senders would go on with none. It
// asks again once the new pad's first buffer shows the branch whole. (A
// live-rate head answers for its branch itself.)
void ask_latency_once_flowing(GstPad *pad) {
  gst_pad_add_probe(
      pad, GST_PAD_PROBE_TYPE_BUFFER,
      [](GstPad *flowing, GstPadProbeInfo *, gpointer) {
        if (ElementRef parent{gst_pad_get_parent_element(flowing)})
          gst_element_post_message(parent.get(), gst_message_new_latency(GST_OBJECT(parent.get())));
        return GST_PAD_PROBE_REMOVE;
      },
      nullptr, nullptr);
}

// Any interlace-mode but progressive (interleaved, mixed, alternate, fields).
bool is_interlaced(const GstStructure *caps) {
  const char *mode = gst_structure_get_string(caps, "interlace-mode");
  return mode && std::string_view(mode) != "progressive";
}

// A stream of a kind that already has a branch is decoded into a sink that
// throws it away: unlinked, the decoder would stop on "not-linked", and a
// second branch has no RTP session to go to. The sink neither holds the
// preroll nor races ahead of the clock. The operator is told once per kind.
Status discard_stream(GstElement *pipeline, GstPad *decoder_pad, std::string_view kind, StreamSinks &sinks,
                      std::FILE *err) {
  Result<std::vector<ElementRef>> made = make_elements({"fakesink"});
  if (!made)
    return made.error();
  GstElement *sink = made.value()[0].get();
  g_object_set(sink, "sync", TRUE, "async", FALSE, nullptr);
  if (Status s = add_elements(pipeline, made.value()))
    return s;
  if (Status s = link_to_static_pad(decoder_pad, sink, "sink"))
    return s;
  const bool video = kind == "video/x-raw";
  bool &reported = video ? sinks.video_discard_reported : sinks.audio_discard_reported;
  if (reported)
    return std::nullopt;
  reported = true;
  std::fprintf(err, "Ignoring a second %s stream (only the first is sent)\n", video ? "video" : "audio");
  std::fflush(err);
  return std::nullopt;
}

}  // namespace

Status build_branch(StreamSinks &sinks, const std::string &output, GstElement *pipeline,
                    GstElement *rtpbin, GstPad *new_pad, uint32_t audio_fec_percent,
                    std::FILE *console, SessionDescriptionFile *session_description,
                    const std::string &host_address, const LiveRateHeads *heads, InputFeeds *feeds) {
  CapsRef caps(gst_pad_get_current_caps(new_pad));
  if (!caps)
    return EncoderError::fatal("Decoder pad " + pad_name(new_pad) + " has no caps");
  if (gst_caps_get_size(caps.get()) == 0)
    return EncoderError::fatal("Decoder pad " + pad_name(new_pad) + " has caps without a structure");
  const GstStructure *first = gst_caps_get_structure(caps.get(), 0);

  // Held until return on every path, so a statistics tick never sees a
  // half-recorded session and two branches never interleave.
  std::lock_guard<std::mutex> lock(sinks.mutex);
  // The run is ending on a fatal stop: nothing more is built or printed.
  if (sinks.stopping)
    return std::nullopt;
  Result<Destination> parsed = destination_for_senders(output);
  if (!parsed)
    return parsed.error();
  Destination destination = parsed.take();
  // The name was looked up once at start; every sender uses that address.
  if (!host_address.empty())
    destination.host = host_address;
  CapsRef size_caps(gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, 640, "height", G_TYPE_INT,
                                        360, nullptr));
  CapsRef rate_caps(gst_caps_new_simple("video/x-raw", "framerate", GST_TYPE_FRACTION, 10, 1, nullptr));

  std::string_view kind = gst_structure_get_name(first);
  const bool video = kind == "video/x-raw", audio = kind == "audio/x-raw";
  std::vector<ElementRef> before = children_of(pipeline);
  GstElement *entry = video ? sinks.video_entry.get() : audio ? sinks.audio_entry.get() : nullptr;
  GstElement *funnel = video ? sinks.video_funnel.get() : audio ? sinks.audio_funnel.get() : nullptr;
  if (entry) {
    Result<bool> fed = funnel && feeds && heads
                           ? feed_funnel(funnel, new_pad, *feeds, video ? StreamKind::Video : StreamKind::Audio,
                                         heads->gate)
                           : feed_existing_branch(new_pad, entry);
    if (!fed)
      return fed.error();
    if (fed.value()) {
      if (!sync_new_children(pipeline, before))
        return EncoderError::library("Failed to sync children states");
      if (!heads)
        ask_latency_once_flowing(new_pad);
      return std::nullopt;
    }
  }

  BranchTarget target{pipeline, rtpbin, new_pad, destination, sinks, console, heads, feeds};
  // Each kind has one RTP session: the first stream of it is sent.
  const bool sent_already = (video && sinks.video_rtp) || (audio && sinks.audio_rtp);
  if (sent_already) {
    if (Status s = discard_stream(pipeline, new_pad, kind, sinks, stderr))
      return s;
  } else if (video) {
    if (Status s = build_video_branch(target, size_caps.get(), rate_caps.get(), is_interlaced(first)))
      return s;
  } else if (audio) {
    if (Status s = build_audio_branch(target, audio_fec_percent))
      return s;
  }
  // The pipeline is already on its way to playing; the new elements must
  // follow it. Only they are synced: setting the state of the decoder (whose
  // streaming thread runs this) or of rtpbin from here can deadlock against
  // the pipeline's own state change.
  if (!sync_new_children(pipeline, before))
    return EncoderError::library("Failed to sync children states");
  // Still under the lock: the file always matches the recorded senders.
  if (session_description && (video || audio) && !sent_already)
    session_description->describe(destination, sinks.video_rtp.get() != nullptr,
                                  sinks.audio_rtp.get() != nullptr);
  return std::nullopt;
}

}  // namespace nerko
