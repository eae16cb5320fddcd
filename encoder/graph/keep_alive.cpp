#include "encoder/graph/keep_alive.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "encoder/graph/properties.h"

namespace nerko {
namespace {

constexpr uint32_t kLongestDelayS = 30;
constexpr gint64 kHealthyUs = 60 * G_USEC_PER_SEC;
// The live-rate heads push a made-up buffer only when its slot is a latency
// old, which leaves the encoders and senders no time of their own: an input
// that comes back or is rebuilt takes the CPU for a moment, and the senders
// would then fall silent for as long. This much more latency rides that out.
constexpr GstClockTime kOutputHeadroom = 250 * GST_MSECOND;

void write_line(std::FILE *err, const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), err);
  std::fflush(err);
}

bool is_within(GstObject *object, GstElement *ancestor) {
  return object == GST_OBJECT(ancestor) || gst_object_has_as_ancestor(object, GST_OBJECT(ancestor));
}

std::string error_text(GstMessage *message) {
  GError *raw = nullptr;
  gst_message_parse_error(message, &raw, nullptr);
  ErrorRef error(raw);
  return error && error->message ? error->message : "error";
}

// The live-rate head's sink is free again for the next input's stream.
void unlink_head(GstElement *head) {
  if (!head)
    return;
  PadRef sink(gst_element_get_static_pad(head, "sink"));
  PadRef peer(sink ? gst_pad_get_peer(sink.get()) : nullptr);
  if (peer)
    gst_pad_unlink(peer.get(), sink.get());
}

// What the input made besides its decoder: the sinks that discard a second
// stream of a kind. The live-rate heads stay.
std::vector<ElementRef> discarding_peers(GstElement *decoder, const StreamSinks &sinks) {
  std::vector<ElementRef> peers;
  GstIterator *pads = gst_element_iterate_src_pads(decoder);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(pads, &item) == GST_ITERATOR_OK) {
    PadRef peer(gst_pad_get_peer(GST_PAD(g_value_get_object(&item))));
    ElementRef parent(peer ? gst_pad_get_parent_element(peer.get()) : nullptr);
    if (parent && parent.get() != sinks.video_head.get() && parent.get() != sinks.audio_head.get())
      peers.push_back(std::move(parent));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(pads);
  return peers;
}

PadAddedContext *copy_context(const PadAddedContext &c) {
  return new PadAddedContext{ref_object(c.pipeline.get()), ref_object(c.rtpbin.get()), c.output, c.host_address,
                             c.sinks, c.audio_fec_percent, c.session_description, c.activity, c.heads};
}

}  // namespace

InputSupervisor::InputSupervisor(Parts parts, std::FILE *err) : parts_(std::move(parts)), err_(err) {}

InputSupervisor::~InputSupervisor() {
  if (reopen_id_ != 0)
    g_source_remove(reopen_id_);
}

void InputSupervisor::start() {
  if (Status status = open_input()) {
    // Nothing was added; try again later like any other failed input.
    input_.reset();
    lose(status->message());
    return;
  }
  // A refused start posts the decoder's error, which comes back here as a loss.
  gst_element_sync_state_with_parent(input_->element());
}

Status InputSupervisor::open_input() {
  generation_ = begin_new_input(*parts_.pad_added.activity);
  auto made = InputDecoder::make(parts_.input_latency_ms);
  if (!made)
    return made.error();
  std::unique_ptr<InputDecoder> input = made.take();
  // The decoder prerolls on its own: a pipeline that waited for it would
  // stop the clock-paced output while a new input starts.
  g_object_set(input->element(), "async-handling", TRUE, nullptr);
  if (Status status = input->connect(copy_context(parts_.pad_added), parts_.pad_added.sinks))
    return status;
  if (Status status = set_string_property(input->element(), "uri", parts_.uri))
    return status;
  if (!gst_bin_add(GST_BIN(parts_.pipeline.get()), input->element()))
    return EncoderError::library("Failed to add elements");
  input_ = std::move(input);
  return std::nullopt;
}

bool InputSupervisor::handle_message(GstMessage *message) {
  GstObject *source = GST_MESSAGE_SRC(message);
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    // An input torn down since it posted this is no longer in the pipeline.
    if (!source || !is_within(source, parts_.pipeline.get()))
      return true;
    if (!input_ || !is_within(source, input_->element()))
      return false;
    lose(error_text(message));
    return true;
  }
  const GstStructure *report = gst_message_get_structure(message);
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_APPLICATION || !report ||
      !gst_structure_has_name(report, kInputMessage))
    return false;
  guint64 generation = 0;
  gst_structure_get_uint64(report, "generation", &generation);
  const char *event = gst_structure_get_string(report, "event");
  if (!input_ || generation != generation_ || !event)
    return true;
  if (g_str_equal(event, kInputFlowing))
    input_flowing();
  else if (g_str_equal(event, kInputEnded))
    lose("End of stream");
  return true;
}

void InputSupervisor::silence_expired() {
  if (input_ && parts_.input_timeout_s != 0)
    lose("No input for " + std::to_string(parts_.input_timeout_s) + " s");
}

void InputSupervisor::input_flowing() {
  gint64 now = g_get_monotonic_time();
  flowing_since_us_ = now;
  if (!lost_)
    return;
  lost_ = false;
  long long seconds = std::llround(static_cast<double>(now - lost_at_us_) / G_USEC_PER_SEC);
  write_line(err_, "Input back after " + std::to_string(seconds) + " s\n");
}

void InputSupervisor::lose(const std::string &reason) {
  if (input_)
    tear_down();
  else if (reopen_id_ != 0)
    return;  // already waiting to reopen
  gint64 now = g_get_monotonic_time();
  if (flowing_since_us_ != 0 && now - flowing_since_us_ >= kHealthyUs)
    next_delay_s_ = 1;
  flowing_since_us_ = 0;
  const uint32_t delay = next_delay_s_;
  next_delay_s_ = std::min(delay * 2, kLongestDelayS);
  // An outage lasts from the first loss until an input delivers again,
  // however many inputs fail in between.
  if (!lost_) {
    lost_ = true;
    lost_at_us_ = now;
  }
  write_line(err_, "Input lost: " + reason + "; reopening in " + std::to_string(delay) + " s\n");
  reopen_id_ = g_timeout_add_full(
      G_PRIORITY_DEFAULT, delay * 1000,
      [](gpointer data) {
        static_cast<InputSupervisor *>(data)->reopen();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
}

void InputSupervisor::tear_down() {
  GstElement *decoder = input_->element();
  // Looked for while the decoder still has its pads; it drops them when stopped.
  std::vector<ElementRef> discarding;
  {
    std::lock_guard<std::mutex> lock(parts_.pad_added.sinks->mutex);
    discarding = discarding_peers(decoder, *parts_.pad_added.sinks);
  }
  // Stops the decoder's streaming threads first: a stream cut off while it
  // still pushes would fail as "not linked".
  gst_element_set_state(decoder, GST_STATE_NULL);
  {
    std::lock_guard<std::mutex> lock(parts_.pad_added.sinks->mutex);
    unlink_head(parts_.pad_added.sinks->video_head.get());
    unlink_head(parts_.pad_added.sinks->audio_head.get());
  }
  for (const ElementRef &sink : discarding) {
    gst_element_set_state(sink.get(), GST_STATE_NULL);
    gst_bin_remove(GST_BIN(parts_.pipeline.get()), sink.get());
  }
  gst_bin_remove(GST_BIN(parts_.pipeline.get()), decoder);
  input_.reset();
}

void InputSupervisor::reopen() {
  reopen_id_ = 0;
  ++restarts_;
  start();
}

bool InputSupervisor::redistribute_latency() {
  GstElement *pipeline = parts_.pipeline.get();
  GstQuery *query = gst_query_new_latency();
  gboolean live = FALSE;
  GstClockTime min = 0;
  if (gst_element_query(pipeline, query))
    gst_query_parse_latency(query, &live, &min, nullptr);
  gst_query_unref(query);
  if (live) {
    GstClockTime wanted = min + parts_.output_headroom.value_or(kOutputHeadroom);
    GstClockTime fixed = gst_pipeline_get_latency(GST_PIPELINE(pipeline));
    if (!GST_CLOCK_TIME_IS_VALID(fixed) || fixed < wanted)
      gst_pipeline_set_latency(GST_PIPELINE(pipeline), wanted);
  }
  // Sends the latency to every sink, new ones too.
  return gst_bin_recalculate_latency(GST_BIN(pipeline));
}

InputHealth InputSupervisor::health() {
  InputActivity &activity = *parts_.pad_added.activity;
  InputHealth health;
  health.restarts = restarts_;
  {
    std::lock_guard<std::mutex> lock(activity.mutex);
    health.filled_video = activity.filled_video;
    health.filled_audio = activity.filled_audio;
  }
  health.up = input_ && flowing_since_us_ != 0 && input_silence_ms(activity) < 1000;
  return health;
}

}  // namespace nerko
