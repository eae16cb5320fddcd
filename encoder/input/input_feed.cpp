#include "encoder/input/input_feed.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "encoder/control/bus_watch.h"
#include "encoder/graph/element_chain.h"

namespace nerko {
namespace {

constexpr GstClockTimeDiff kLongestPaceWait = 200 * GST_MSECOND;

struct GateWatch {
  SharedOnAirGate gate;
  InputRole role;
};

// An input off air is still decoded at the clock's pace: a live one is paced
// by its sender, a file only by this wait (once on air, by the live-rate
// head). Each wait is short, so that stopping the input never waits long.
void pace_off_air(GstPad *pad, GstBuffer *buffer) {
  GstClockTime running = buffer_running_time(pad, buffer);
  ElementRef parent(gst_pad_get_parent_element(pad));
  ObjectRef<GstClock> clock(parent ? gst_element_get_clock(parent.get()) : nullptr);
  if (!clock || !GST_CLOCK_TIME_IS_VALID(running))
    return;
  GstClockTimeDiff due = static_cast<GstClockTimeDiff>(gst_element_get_base_time(parent.get()) + running) +
                         gst_pad_get_offset(pad);
  GstClockTimeDiff now = static_cast<GstClockTimeDiff>(gst_clock_get_time(clock.get()));
  if (due <= now)
    return;
  GstClockID wait = gst_clock_new_single_shot_id(clock.get(), now + std::min(due - now, kLongestPaceWait));
  gst_clock_id_wait(wait, nullptr);
  gst_clock_id_unref(wait);
}

// Sticky events pass: the funnel keeps them on its pad and sends them on when
// this input goes on air. Everything else of an input off air would reach
// the live-rate head between the buffers of the one on air.
GstPadProbeReturn on_gated_data(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  const auto &watch = *static_cast<GateWatch *>(data);
  if (watch.gate->passing.load(std::memory_order_relaxed) == watch.role)
    return GST_PAD_PROBE_OK;
  if (info->type & (GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH)) {
    GstEvent *event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_IS_STICKY(event) && GST_EVENT_TYPE(event) != GST_EVENT_EOS)
      return GST_PAD_PROBE_OK;
    return GST_PAD_PROBE_DROP;
  }
  GstBuffer *buffer = (info->type & GST_PAD_PROBE_TYPE_BUFFER)
                          ? GST_PAD_PROBE_INFO_BUFFER(info)
                          : gst_buffer_list_get(GST_PAD_PROBE_INFO_BUFFER_LIST(info), 0);
  if (buffer)
    pace_off_air(pad, buffer);
  return GST_PAD_PROBE_DROP;
}

void gate_pad(GstPad *pad, const SharedOnAirGate &gate, InputRole role) {
  int types = GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM |
              GST_PAD_PROBE_TYPE_EVENT_FLUSH;
  gst_pad_add_probe(pad, static_cast<GstPadProbeType>(types), on_gated_data, new GateWatch{gate, role},
                    [](gpointer data) { delete static_cast<GateWatch *>(data); });
}

// The slate starts its time when it starts playing, however long the
// pipeline has played already: its first picture is moved to now.
GstPadProbeReturn on_first_slate_picture(GstPad *pad, GstPadProbeInfo *info, gpointer) {
  gst_pad_set_offset(pad, offset_to_now(pad, GST_PAD_PROBE_INFO_BUFFER(info)));
  return GST_PAD_PROBE_REMOVE;
}

// Links `source` to a new sink pad of the funnel, which is returned.
Result<PadRef> link_to_funnel(GstPad *source, GstElement *funnel) {
  Result<PadRef> port = request_pad(funnel, "sink_%u");
  if (!port)
    return port.error();
  if (Status s = link_pads(source, port.value().get()))
    return *s;
  return port;
}

void release_feed(PadRef port) {
  if (!port)
    return;
  ElementRef funnel(gst_pad_get_parent_element(port.get()));
  if (funnel)
    gst_element_release_request_pad(funnel.get(), port.get());
}

// The caps without what a still picture cannot have: an input's interlacing.
CapsRef progressive_form(GstCaps *caps) {
  if (!caps || gst_caps_get_size(caps) == 0)
    return CapsRef();
  CapsRef copy(gst_caps_copy(caps));
  gst_structure_remove_fields(gst_caps_get_structure(copy.get(), 0), "interlace-mode", "field-order", nullptr);
  return copy;
}

}  // namespace

Result<std::shared_ptr<const SlatePicture>> read_slate_picture(const std::string &path) {
  const std::string failed = "Cannot read the slate image \"" + path + "\": ";
  GError *raw = nullptr;
  ElementRef reader(gst_parse_launch(
      "filesrc name=file ! decodebin ! videoconvert ! video/x-raw,format=I420 ! "
      "fakesink name=picture enable-last-sample=true",
      &raw));
  ErrorRef parse_error(raw);
  if (!reader || parse_error)
    return EncoderError::library(failed + (parse_error ? parse_error->message : "no decoder"));
  gst_object_ref_sink(reader.get());
  ElementRef file(gst_bin_get_by_name(GST_BIN(reader.get()), "file"));
  ElementRef picture(gst_bin_get_by_name(GST_BIN(reader.get()), "picture"));
  g_object_set(file.get(), "location", path.c_str(), nullptr);
  gst_element_set_state(reader.get(), GST_STATE_PAUSED);
  BusRef bus(gst_element_get_bus(reader.get()));
  MessageRef done(gst_bus_timed_pop_filtered(bus.get(), 10 * GST_SECOND,
                                             static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR)));
  std::string reason = !done ? "not decoded within 10 s"
                       : GST_MESSAGE_TYPE(done.get()) == GST_MESSAGE_ERROR ? error_message_text(done.get(), "unreadable")
                                                                            : "";
  auto slate = std::make_shared<SlatePicture>();
  if (reason.empty()) {
    GstSample *sample = nullptr;
    g_object_get(picture.get(), "last-sample", &sample, nullptr);
    if (sample && gst_sample_get_buffer(sample) && gst_sample_get_caps(sample)) {
      slate->caps.reset(gst_caps_ref(gst_sample_get_caps(sample)));
      slate->buffer.reset(gst_buffer_ref(gst_sample_get_buffer(sample)));
    } else {
      reason = "no picture in it";
    }
    if (sample)
      gst_sample_unref(sample);
  }
  gst_element_set_state(reader.get(), GST_STATE_NULL);
  if (!reason.empty())
    return EncoderError::library(failed + reason);
  return std::shared_ptr<const SlatePicture>(std::move(slate));
}

Result<bool> feed_funnel(GstElement *funnel, GstPad *decoder_pad, InputFeeds &feeds, StreamKind kind,
                         const SharedOnAirGate &gate) {
  PadRef &port = kind == StreamKind::Video ? feeds.video_port : feeds.audio_port;
  if (port && gst_pad_is_linked(port.get()))
    return false;
  gate_pad(decoder_pad, gate, feeds.role);
  // The decoder removed the pad that fed this port and made a new one.
  if (port) {
    if (Status s = link_pads(decoder_pad, port.get()))
      return *s;
    return true;
  }
  Result<PadRef> linked = link_to_funnel(decoder_pad, funnel);
  if (!linked)
    return linked.error();
  port = linked.take();
  return true;
}

Status add_slate_feed(GstElement *pipeline, GstElement *funnel, const SlatePicture &slate, GstCaps *input_caps,
                      const SharedOnAirGate &gate) {
  Result<std::vector<ElementRef>> made =
      make_elements({"appsrc", "imagefreeze", "videoconvert", "videoscale", "capsfilter"});
  if (!made)
    return made.error();
  GstElement *source = made.value()[0].get();
  GstElement *freeze = made.value()[1].get();
  GstElement *format = made.value()[4].get();
  g_object_set(source, "caps", slate.caps.get(), "format", GST_FORMAT_TIME, nullptr);
  g_object_set(freeze, "is-live", TRUE, nullptr);
  // In the input's own format the encoder's scaler has nothing to do.
  if (CapsRef like_input = progressive_form(input_caps))
    g_object_set(format, "caps", like_input.get(), nullptr);
  if (Status s = add_elements(pipeline, made.value()))
    return s;
  if (Status s = link_elements({{source, freeze},
                                {freeze, made.value()[2].get()},
                                {made.value()[2].get(), made.value()[3].get()},
                                {made.value()[3].get(), format}}))
    return s;
  PadRef output(gst_element_get_static_pad(format, "src"));
  gst_pad_add_probe(output.get(), GST_PAD_PROBE_TYPE_BUFFER, on_first_slate_picture, nullptr, nullptr);
  gate_pad(output.get(), gate, InputRole::Slate);
  Result<PadRef> linked = link_to_funnel(output.get(), funnel);
  if (!linked)
    return linked.error();
  // The one picture, then its end: imagefreeze repeats it for good.
  GstFlowReturn pushed = GST_FLOW_OK;
  g_signal_emit_by_name(source, "push-buffer", slate.buffer.get(), &pushed);
  g_signal_emit_by_name(source, "end-of-stream", &pushed);
  return std::nullopt;
}

void release_feeds(InputFeeds &feeds, std::mutex &lock) {
  PadRef video_port, audio_port;
  {
    std::lock_guard<std::mutex> guard(lock);
    video_port = std::move(feeds.video_port);
    audio_port = std::move(feeds.audio_port);
  }
  release_feed(std::move(video_port));
  release_feed(std::move(audio_port));
}

}  // namespace nerko
