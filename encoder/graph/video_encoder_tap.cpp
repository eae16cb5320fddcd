#include "encoder/graph/video_encoder_tap.h"

#include <gst/video/video.h>

#include <cstring>

namespace nerko {
namespace {

using SharedState = std::shared_ptr<VideoEncoderTap::State>;
// The encoder's probe holds the state weakly: the state holds the encoder,
// and a probe that held the state would keep both alive for ever.
using WeakState = std::weak_ptr<VideoEncoderTap::State>;

bool is_video_encoder(GstElement *element) {
  GstElementFactory *factory = gst_element_get_factory(element);
  return factory && std::strcmp(GST_OBJECT_NAME(factory), "vp8enc") == 0;
}

// On the main context: the picture reaches the handler, unless the tap has
// gone meanwhile.
struct PictureDelivery {
  std::weak_ptr<VideoEncoderTap::State> state;
  SampleRef picture;
};

gboolean deliver_picture(gpointer data) {
  auto *delivery = static_cast<PictureDelivery *>(data);
  if (SharedState state = delivery->state.lock())
    if (state->on_picture)
      state->on_picture(std::move(delivery->picture));
  return G_SOURCE_REMOVE;
}

// vp8enc hands a new thread count to libvpx only when it makes its encoder
// anew, which it does for a new picture format alone. A format that differs
// in the pixel shape, then the real one again, both before the next frame,
// make it start afresh with the count; the frames sent never carry the other.
void restart_encoder(GstPad *sink) {
  CapsRef caps(gst_pad_get_current_caps(sink));
  if (!caps || gst_caps_is_empty(caps.get()))
    return;
  CapsRef other(gst_caps_copy(caps.get()));
  GstStructure *s = gst_caps_get_structure(other.get(), 0);
  gint par_n = 1, par_d = 1;
  gst_structure_get_fraction(s, "pixel-aspect-ratio", &par_n, &par_d);
  gst_structure_set(s, "pixel-aspect-ratio", GST_TYPE_FRACTION, par_n * 2, par_d, nullptr);
  gst_pad_send_event(sink, gst_event_new_caps(other.get()));
  gst_pad_send_event(sink, gst_event_new_caps(caps.get()));
}

void apply_pending_threads(GstPad *sink, VideoEncoderTap::State &state) {
  const int64_t pending = state.pending_threads.exchange(-1);
  if (pending < 0)
    return;
  g_object_set(GST_PAD_PARENT(sink), "threads", static_cast<gint>(pending), nullptr);
  restart_encoder(sink);
}

// On the streaming thread, before the encoder takes the buffer: its lock is
// free, so a new target costs the thread nothing.
GstPadProbeReturn on_encoder_input(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
  const SharedState held = static_cast<WeakState *>(data)->lock();
  if (!held)
    return GST_PAD_PROBE_OK;
  VideoEncoderTap::State &state = *held;
  GstElement *encoder = GST_PAD_PARENT(pad);
  const int64_t pending = state.pending_bitrate.exchange(-1);
  if (pending >= 0)
    g_object_set(encoder, "target-bitrate", static_cast<gint>(pending), nullptr);
  if (pending >= 0 || state.bitrate.load() < 0) {
    gint bitrate = 0;
    g_object_get(encoder, "target-bitrate", &bitrate, nullptr);
    state.bitrate.store(bitrate);
  }
  apply_pending_threads(pad, state);
  state.picture_seen.store(true);
  if (!state.picture_wanted.exchange(false))
    return GST_PAD_PROBE_OK;
  CapsRef caps(gst_pad_get_current_caps(pad));
  auto *delivery = new PictureDelivery{held,
                                       SampleRef(gst_sample_new(GST_PAD_PROBE_INFO_BUFFER(info), caps.get(),
                                                                nullptr, nullptr))};
  g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, deliver_picture, delivery,
                             [](gpointer d) { delete static_cast<PictureDelivery *>(d); });
  return GST_PAD_PROBE_OK;
}

// On the thread that builds the branch, with the senders' lock held: only
// atomics and the pad's own lock.
void on_element_added(GstBin *, GstBin *, GstElement *element, gpointer data) {
  if (!is_video_encoder(element))
    return;
  const SharedState &state = *static_cast<SharedState *>(data);
  PadRef sink(gst_element_get_static_pad(element, "sink"));
  if (!sink)
    return;
  GstElement *previous = state->encoder.exchange(static_cast<GstElement *>(gst_object_ref(element)));
  if (previous)
    gst_object_unref(previous);
  // A branch built anew starts at the configured count; the count chosen
  // since goes on with it.
  const int64_t threads = state->threads.load();
  if (threads >= 0)
    state->pending_threads.store(threads);
  gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_BUFFER, on_encoder_input, new WeakState(state),
                    [](gpointer d) { delete static_cast<WeakState *>(d); });
}

}  // namespace

VideoEncoderTap::State::~State() {
  if (GstElement *encoder = this->encoder.exchange(nullptr))
    gst_object_unref(encoder);
}

VideoEncoderTap::VideoEncoderTap(GstElement *pipeline, PictureHandler on_picture)
    : pipeline_(ref_object(pipeline)), state_(std::make_shared<State>()) {
  state_->on_picture = std::move(on_picture);
  added_id_ = g_signal_connect_data(pipeline, "deep-element-added", G_CALLBACK(on_element_added),
                                    new SharedState(state_),
                                    [](gpointer d, GClosure *) { delete static_cast<SharedState *>(d); },
                                    GConnectFlags(0));
}

VideoEncoderTap::~VideoEncoderTap() {
  if (added_id_ != 0)
    g_signal_handler_disconnect(pipeline_.get(), added_id_);
}

bool VideoEncoderTap::has_picture() const { return state_->picture_seen.load(); }

void VideoEncoderTap::want_picture() { state_->picture_wanted.store(true); }

bool VideoEncoderTap::force_key_frame() {
  GstElement *encoder = state_->encoder.load();
  if (!encoder)
    return false;
  // Upstream of the encoder: it takes the request under its object lock and
  // makes the next frame it encodes a key frame.
  PadRef source(gst_element_get_static_pad(encoder, "src"));
  return source && gst_pad_send_event(source.get(),
                                      gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
}

bool VideoEncoderTap::set_target_bitrate(int32_t bits_per_second) {
  if (!state_->encoder.load())
    return false;
  state_->pending_bitrate.store(bits_per_second);
  return true;
}

std::optional<int32_t> VideoEncoderTap::target_bitrate() const {
  const int64_t pending = state_->pending_bitrate.load();
  const int64_t bitrate = pending >= 0 ? pending : state_->bitrate.load();
  if (bitrate < 0)
    return std::nullopt;
  return static_cast<int32_t>(bitrate);
}

bool VideoEncoderTap::set_threads(uint32_t threads) {
  if (!state_->encoder.load())
    return false;
  state_->threads.store(threads);
  state_->pending_threads.store(threads);
  return true;
}

std::optional<uint32_t> VideoEncoderTap::frames_waiting() const {
  GstElement *encoder = state_->encoder.load();
  if (!encoder)
    return std::nullopt;
  PadRef sink(gst_element_get_static_pad(encoder, "sink"));
  PadRef feeding(sink ? gst_pad_get_peer(sink.get()) : nullptr);
  ElementRef queue(feeding ? gst_pad_get_parent_element(feeding.get()) : nullptr);
  if (!queue || !g_object_class_find_property(G_OBJECT_GET_CLASS(queue.get()), "current-level-buffers"))
    return std::nullopt;
  guint buffers = 0;
  g_object_get(queue.get(), "current-level-buffers", &buffers, nullptr);
  return buffers;
}

}  // namespace nerko
