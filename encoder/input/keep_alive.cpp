#include "encoder/input/keep_alive.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

#include "encoder/control/bus_watch.h"
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
// How often the input on air is chosen: a failed primary is seen within this
// much of its failover time.
constexpr guint kOnAirTickMs = 40;
// The live-rate heads' "max-lateness": how long they wait for a late frame.
constexpr gint64 kFrameWaitMs = 200;

void write_line(std::FILE *err, const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), err);
  std::fflush(err);
}

bool is_within(GstObject *object, GstElement *ancestor) {
  return object == GST_OBJECT(ancestor) || gst_object_has_as_ancestor(object, GST_OBJECT(ancestor));
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
// stream of a kind. The live-rate heads and the funnels in front of them stay.
std::vector<ElementRef> discarding_peers(GstElement *decoder, const StreamSinks &sinks) {
  std::vector<ElementRef> peers;
  GstIterator *pads = gst_element_iterate_src_pads(decoder);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(pads, &item) == GST_ITERATOR_OK) {
    PadRef peer(gst_pad_get_peer(GST_PAD(g_value_get_object(&item))));
    ElementRef parent(peer ? gst_pad_get_parent_element(peer.get()) : nullptr);
    const bool kept = parent && (parent.get() == sinks.video_head.get() || parent.get() == sinks.audio_head.get() ||
                                 parent.get() == sinks.video_funnel.get() || parent.get() == sinks.audio_funnel.get());
    if (parent && !kept)
      peers.push_back(std::move(parent));
    g_value_reset(&item);
  }
  g_value_unset(&item);
  gst_iterator_free(pads);
  return peers;
}

PadAddedContext *copy_context(const PadAddedContext &c, const SharedInputActivity &activity,
                              const SharedInputFeeds &feeds) {
  return new PadAddedContext{ref_object(c.pipeline.get()), ref_object(c.rtpbin.get()), c.output, c.host_address,
                             c.sinks, c.audio_fec_percent, c.session_description, activity, c.heads, feeds};
}

}  // namespace

InputSupervisor::InputSupervisor(Parts parts, std::FILE *err) : parts_(std::move(parts)), err_(err) {
  const bool gated = parts_.pad_added.heads && parts_.pad_added.heads->gate;
  primary_.role = InputRole::Primary;
  primary_.uri = parts_.uri;
  primary_.activity = parts_.pad_added.activity;
  primary_.owner = this;
  if (gated)
    primary_.feeds = std::make_shared<InputFeeds>(InputRole::Primary);
  if (parts_.redundancy && !parts_.redundancy->backup_uri.empty()) {
    backup_ = std::make_unique<Slot>();
    Slot &backup = *backup_;
    backup.role = InputRole::Backup;
    backup.uri = parts_.redundancy->backup_uri;
    backup.activity = std::make_shared<InputActivity>();
    backup.activity->live_input_keeps_its_time = primary_.activity->live_input_keeps_its_time;
    backup.activity->file_lead = primary_.activity->file_lead;
    if (primary_.activity->content)
      backup.activity->content = std::make_shared<ContentWatch>(primary_.activity->content->settings());
    backup.owner = this;
    if (gated)
      backup.feeds = std::make_shared<InputFeeds>(InputRole::Backup);
  }
  if (parts_.pad_added.heads)
    head_fill_mode_ = parts_.pad_added.heads->video_fill_mode;
}

InputSupervisor::~InputSupervisor() {
  for (Slot *slot : {&primary_, backup_ ? &*backup_ : nullptr})
    if (slot && slot->reopen_id != 0)
      g_source_remove(slot->reopen_id);
  if (tick_id_ != 0)
    g_source_remove(tick_id_);
}

void InputSupervisor::start() {
  start(primary_);
  if (backup_)
    start(*backup_);
  if (!parts_.redundancy)
    return;
  last_on_air_buffer_us_ = g_get_monotonic_time();
  tick_id_ = g_timeout_add_full(
      G_PRIORITY_DEFAULT, kOnAirTickMs,
      [](gpointer data) -> gboolean {
        static_cast<InputSupervisor *>(data)->on_air_tick();
        return G_SOURCE_CONTINUE;
      },
      this, nullptr);
}

void InputSupervisor::start(Slot &slot) {
  if (Status status = open_input(slot)) {
    // Nothing was added; try again later like any other failed input.
    slot.input.reset();
    lose(slot, status->message());
    return;
  }
  // A refused start posts the decoder's error, which comes back here as a loss.
  gst_element_sync_state_with_parent(slot.input->element());
}

Status InputSupervisor::open_input(Slot &slot) {
  slot.generation = begin_new_input(*slot.activity);
  auto made = InputDecoder::make(parts_.input_latency_ms);
  if (!made)
    return made.error();
  std::unique_ptr<InputDecoder> input = made.take();
  // The decoder prerolls on its own: a pipeline that waited for it would
  // stop the clock-paced output while a new input starts.
  g_object_set(input->element(), "async-handling", TRUE, nullptr);
  if (Status status =
          input->connect(copy_context(parts_.pad_added, slot.activity, slot.feeds), parts_.pad_added.sinks))
    return status;
  if (Status status = set_string_property(input->element(), "uri", slot.uri))
    return status;
  if (!gst_bin_add(GST_BIN(parts_.pipeline.get()), input->element()))
    return EncoderError::library("Failed to add elements");
  slot.input = std::move(input);
  return std::nullopt;
}

InputSupervisor::Slot *InputSupervisor::slot_of(GstObject *source) {
  for (Slot *slot : {&primary_, backup_ ? &*backup_ : nullptr})
    if (slot && slot->input && is_within(source, slot->input->element()))
      return slot;
  return nullptr;
}

bool InputSupervisor::handle_message(GstMessage *message) {
  GstObject *source = GST_MESSAGE_SRC(message);
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    // An input torn down since it posted this is no longer in the pipeline.
    if (!source || !is_within(source, parts_.pipeline.get()))
      return true;
    Slot *slot = slot_of(source);
    if (!slot)
      return false;
    lose(*slot, error_message_text(message, "error"));
    if (parts_.redundancy)
      on_air_tick();
    return true;
  }
  const GstStructure *report = gst_message_get_structure(message);
  if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_APPLICATION || !report ||
      !gst_structure_has_name(report, kInputMessage))
    return false;
  guint64 generation = 0;
  gst_structure_get_uint64(report, "generation", &generation);
  const char *event = gst_structure_get_string(report, "event");
  Slot *slot = source ? slot_of(source) : nullptr;
  if (!slot || generation != slot->generation || !event)
    return true;
  if (g_str_equal(event, kInputFlowing)) {
    input_flowing(*slot);
  } else if (g_str_equal(event, kInputEnded)) {
    lose(*slot, "End of stream");
    if (parts_.redundancy)
      on_air_tick();
  }
  return true;
}

void InputSupervisor::silence_expired() {
  if (!primary_.input || parts_.input_timeout_s == 0)
    return;
  lose(primary_, "No input for " + std::to_string(parts_.input_timeout_s) + " s");
  if (parts_.redundancy)
    on_air_tick();
}

void InputSupervisor::input_flowing(Slot &slot) {
  gint64 now = g_get_monotonic_time();
  slot.flowing_since_us = now;
  if (!slot.lost)
    return;
  slot.lost = false;
  long long seconds = std::llround(static_cast<double>(now - slot.lost_at_us) / G_USEC_PER_SEC);
  write_line(err_, std::string(slot.role == InputRole::Backup ? "Backup input back after " : "Input back after ") +
                       std::to_string(seconds) + " s\n");
}

void InputSupervisor::lose(Slot &slot, const std::string &reason) {
  if (stopping_)
    return;
  if (slot.input)
    tear_down(slot);
  else if (slot.reopen_id != 0)
    return;  // already waiting to reopen
  gint64 now = g_get_monotonic_time();
  if (slot.flowing_since_us != 0 && now - slot.flowing_since_us >= kHealthyUs)
    slot.next_delay_s = 1;
  slot.flowing_since_us = 0;
  slot.loss_reason = reason;
  const uint32_t delay = slot.next_delay_s;
  slot.next_delay_s = std::min(delay * 2, kLongestDelayS);
  // An outage lasts from the first loss until an input delivers again,
  // however many inputs fail in between.
  if (!slot.lost) {
    slot.lost = true;
    slot.lost_at_us = now;
  }
  write_line(err_, std::string(slot.role == InputRole::Backup ? "Backup input lost: " : "Input lost: ") + reason +
                       "; reopening in " + std::to_string(delay) + " s\n");
  slot.reopen_id = g_timeout_add_full(
      G_PRIORITY_DEFAULT, delay * 1000,
      [](gpointer data) {
        auto *lost = static_cast<Slot *>(data);
        lost->owner->reopen(*lost);
        return G_SOURCE_REMOVE;
      },
      &slot, nullptr);
}

void InputSupervisor::tear_down(Slot &slot) {
  GstElement *decoder = slot.input->element();
  StreamSinks &sinks = *parts_.pad_added.sinks;
  // Looked for while the decoder still has its pads; it drops them when stopped.
  std::vector<ElementRef> discarding;
  {
    std::lock_guard<std::mutex> lock(sinks.mutex);
    discarding = discarding_peers(decoder, sinks);
  }
  // Stops the decoder's streaming threads first: a stream cut off while it
  // still pushes would fail as "not linked".
  gst_element_set_state(decoder, GST_STATE_NULL);
  if (slot.feeds) {
    release_feeds(*slot.feeds, sinks.mutex);
  } else {
    std::lock_guard<std::mutex> lock(sinks.mutex);
    unlink_head(sinks.video_head.get());
    unlink_head(sinks.audio_head.get());
  }
  for (const ElementRef &sink : discarding) {
    gst_element_set_state(sink.get(), GST_STATE_NULL);
    gst_bin_remove(GST_BIN(parts_.pipeline.get()), sink.get());
  }
  gst_bin_remove(GST_BIN(parts_.pipeline.get()), decoder);
  slot.input.reset();
}

void InputSupervisor::reopen(Slot &slot) {
  slot.reopen_id = 0;
  ++slot.restarts;
  start(slot);
}

bool InputSupervisor::delivering(Slot &slot) {
  return slot.input && slot.flowing_since_us != 0 &&
         input_quiet_ms(*slot.activity, parts_.pipeline.get()) < static_cast<gint64>(parts_.redundancy->failover_ms);
}

std::optional<ContentAlarm> InputSupervisor::failing_content(Slot &slot) {
  return slot.activity->content ? slot.activity->content->failing_alarm() : std::nullopt;
}

std::shared_ptr<ContentWatch> InputSupervisor::backup_content() const {
  return backup_ ? backup_->activity->content : nullptr;
}

void InputSupervisor::on_air_tick() {
  const Redundancy &settings = *parts_.redundancy;
  gint64 now = g_get_monotonic_time();
  if (backup_ && backup_->input && parts_.input_timeout_s != 0 &&
      input_silence_ms(*backup_->activity) >= static_cast<gint64>(parts_.input_timeout_s) * 1000)
    lose(*backup_, "No input for " + std::to_string(parts_.input_timeout_s) + " s");
  // An input whose content has a listed alarm has failed as much as a
  // silent one, though it still delivers (and is watched until it clears).
  const std::optional<ContentAlarm> primary_content = failing_content(primary_);
  const bool primary = delivering(primary_) && !primary_content;
  const bool backup = backup_ && delivering(*backup_) && !failing_content(*backup_);
  // A new primary that has not delivered yet keeps the air for the failover
  // time, as at start, so that both inputs starting together is no switch.
  const bool primary_starting = primary_.input && primary_.flowing_since_us == 0 &&
                                input_silence_ms(*primary_.activity) < static_cast<gint64>(settings.failover_ms);
  if (!primary)
    primary_delivering_since_us_ = 0;
  else if (primary_delivering_since_us_ == 0)
    primary_delivering_since_us_ = now;
  if (primary_.input && !primary && !primary_starting)
    primary_.loss_reason = primary_content && delivering(primary_)
                               ? alarm_text(*primary_content)
                               : "No input for " + std::to_string(settings.failover_ms) + " ms";

  InputRole next = on_air_;
  if (on_air_ == InputRole::Primary) {
    if (!primary && !primary_starting)
      next = backup ? InputRole::Backup : InputRole::None;
  } else if (on_air_ == InputRole::Backup) {
    const bool healthy = settings.failback_s != 0 && primary &&
                         now - primary_delivering_since_us_ >= static_cast<gint64>(settings.failback_s) * G_USEC_PER_SEC;
    if (healthy || !backup)
      next = primary ? InputRole::Primary : InputRole::None;
  } else {
    next = primary ? InputRole::Primary : backup ? InputRole::Backup : InputRole::None;
  }
  next = held_choice(next, primary, primary_starting, backup);
  if (next != on_air_)
    put_on_air(next);
  show_picture();
}

void InputSupervisor::put_on_air(InputRole role) {
  if (role == InputRole::Backup)
    write_line(err_, "Switched to the backup input: " + primary_.loss_reason + "\n");
  else if (role == InputRole::Primary && on_air_ == InputRole::Backup)
    write_line(err_, "Switched back to the primary input\n");
  on_air_ = role;
  ++switches_;
}

void InputSupervisor::show_picture() {
  const Redundancy &settings = *parts_.redundancy;
  gint64 now = g_get_monotonic_time();
  Slot *slot = on_air_ == InputRole::Primary ? &primary_ : on_air_ == InputRole::Backup ? &*backup_ : nullptr;
  if (slot && slot->flowing_since_us != 0)
    last_on_air_buffer_us_ =
        std::max(last_on_air_buffer_us_, now - input_quiet_ms(*slot->activity, parts_.pipeline.get()) * 1000);
  const gint64 silence_us = now - last_on_air_buffer_us_;
  // With a backup, while either input delivers, a picture is on air again
  // within the failover time: the last frame bridges the wait, and black or
  // the slate is for when neither input has a picture.
  const bool bridged = backup_ && (delivering(primary_) || delivering(*backup_));
  // The slate comes in as a live source of its own: the head fills the time
  // up to its first picture as any other gap, so it goes on air once the
  // repeat time is over, and not before the head would make up a frame.
  const gint64 repeat_us = static_cast<gint64>(settings.repeat_frame_ms) * 1000;
  const bool picture_lost = !bridged && silence_us >= std::max(repeat_us, kFrameWaitMs * 1000);
  parts_.pad_added.heads->gate->passing.store(settings.slate && (picture_lost || !slot) ? InputRole::Slate
                                                                                       : on_air_);
  if (settings.video_fill_mode == "last-frame")
    return;
  ElementRef head;
  {
    std::lock_guard<std::mutex> lock(parts_.pad_added.sinks->mutex);
    head = ref_object(parts_.pad_added.sinks->video_head.get());
  }
  if (!head)
    return;
  // The head makes up the frame of a slot only its latency after the slot:
  // the last frame is repeated for the slots of the repeat time, black after
  // (the slate takes over from the repeated frame itself).
  const bool repeating = settings.repeat_frame_ms != 0 &&
                         (settings.slate || !picture_lost || silence_us < repeat_us + head_latency_us(head.get()));
  const std::string mode = bridged || repeating ? "last-frame" : "black";
  if (mode == head_fill_mode_)
    return;
  gst_util_set_object_arg(G_OBJECT(head.get()), "fill-mode", mode.c_str());
  head_fill_mode_ = mode;
}

gint64 InputSupervisor::head_latency_us(GstElement *head) {
  PadRef source(gst_element_get_static_pad(head, "src"));
  GstQuery *query = gst_query_new_latency();
  GstClockTime min = 0;
  gboolean live = FALSE;
  if (source && gst_pad_query(source.get(), query)) {
    gst_query_parse_latency(query, &live, &min, nullptr);
    head_latency_us_ = static_cast<gint64>(min / GST_USECOND);
  }
  gst_query_unref(query);
  return head_latency_us_;
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

std::optional<std::string> InputSupervisor::hold(std::optional<InputRole> held) {
  if (!parts_.redundancy || stopping_)
    return std::string("input switching needs a backup input or a slate");
  if (held == InputRole::Backup && !backup_)
    return std::string("no backup input is set");
  if (held == InputRole::Backup && !delivering(*backup_))
    return std::string("the backup input is not delivering");
  if (held == InputRole::Primary && !delivering(primary_))
    return std::string("the primary input is not delivering");
  if (held == InputRole::Slate && !parts_.redundancy->slate)
    return std::string("no slate is set");
  held_ = held;
  if (held == InputRole::Backup)
    primary_.loss_reason = "Held by the operator";
  on_air_tick();
  return std::nullopt;
}

InputRole InputSupervisor::held_choice(InputRole automatic, bool primary, bool primary_starting, bool backup) {
  if (!held_)
    return automatic;
  // The slate has no input of its own to fail: what is on air is none.
  const bool holds = *held_ == InputRole::Slate      ? true
                     : *held_ == InputRole::Primary ? primary || primary_starting
                                                    : backup;
  if (holds)
    return *held_ == InputRole::Slate ? InputRole::None : *held_;
  write_line(err_, std::string("Held ") + (*held_ == InputRole::Primary ? "primary" : "backup") +
                       " input failed: back to the automatic choice\n");
  held_.reset();
  return automatic;
}

void InputSupervisor::stop_supervising() {
  stopping_ = true;
  for (Slot *slot : {&primary_, backup_.get()})
    if (slot && slot->reopen_id != 0)
      g_source_remove(std::exchange(slot->reopen_id, 0));
  if (tick_id_ != 0)
    g_source_remove(std::exchange(tick_id_, 0));
}

InputHealth InputSupervisor::health() {
  InputActivity &activity = *parts_.pad_added.activity;
  InputHealth health;
  health.restarts = primary_.restarts;
  {
    std::lock_guard<std::mutex> lock(activity.mutex);
    health.filled_video = activity.filled_video;
    health.filled_audio = activity.filled_audio;
  }
  auto up = [](Slot &slot) {
    return slot.input && slot.flowing_since_us != 0 && input_silence_ms(*slot.activity) < 1000;
  };
  health.up = up(primary_);
  if (backup_)
    health.redundancy = RedundancyHealth{on_air_ == InputRole::Primary  ? "primary"
                                         : on_air_ == InputRole::Backup ? "backup"
                                                                        : "fill",
                                         switches_, up(*backup_)};
  return health;
}

}  // namespace nerko
