#include "encoder/control/clean_stop.h"

#include <glib-unix.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace nerko {
namespace {

// How long the stop may take before the process ends at once.
constexpr unsigned kStopLimitS = 5;
// How often the senders are looked at while the stop drains the stream.
constexpr guint kDrainCheckMs = 20;
// Set on an RTCP sender's sink pad once a BYE has passed it.
constexpr const char *kByeSent = "nerko-bye-sent";

const char *signal_name(int signal) { return signal == SIGTERM ? "SIGTERM" : "SIGINT"; }

void write_line(const std::string &line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

[[noreturn]] void end_at_once(const std::string &line) {
  std::fflush(stdout);
  write_line(line);
  _exit(1);
}

// Runs in the signal handler: only what is async-signal-safe.
void on_stop_limit(int) {
  static const char line[] = "Stopping took more than 5 s; stopping at once\n";
  ssize_t written = write(STDERR_FILENO, line, sizeof line - 1);
  (void)written;
  _exit(1);
}

// The limit holds even while the main loop cannot run (a pipeline slow to
// reach NULL), so it is the kernel's alarm, not a main-loop timer.
void arm_stop_limit() {
  struct sigaction action {};
  action.sa_handler = on_stop_limit;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  alarm(kStopLimitS);
}

// The end of stream enters a session the way the end of the input would
// reach it, behind the last buffer pushed into it. It is sent once the
// branch's last queue is between two pushes, so it never waits on a push
// held by the clock.
GstPadProbeReturn send_end_of_stream(GstPad *pad, GstPadProbeInfo *, gpointer) {
  PadRef peer(gst_pad_get_peer(pad));
  if (peer)
    gst_pad_send_event(peer.get(), gst_event_new_eos());
  return GST_PAD_PROBE_REMOVE;
}

void end_session(GstElement *rtpbin, const char *sink_name) {
  PadRef sink(gst_element_get_static_pad(rtpbin, sink_name));
  PadRef feeding(sink ? gst_pad_get_peer(sink.get()) : nullptr);
  if (feeding)
    gst_pad_add_probe(feeding.get(), GST_PAD_PROBE_TYPE_IDLE, send_end_of_stream, nullptr, nullptr);
  else if (sink)
    gst_pad_send_event(sink.get(), gst_event_new_eos());
}

// Whether an RTCP compound packet holds a BYE (packet type 203).
bool holds_bye(GstBuffer *buffer) {
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
    return false;
  bool bye = false;
  for (gsize at = 0; at + 4 <= map.size && !bye; at += 4 * ((map.data[at + 2] << 8 | map.data[at + 3]) + 1))
    bye = map.data[at + 1] == 203;
  gst_buffer_unmap(buffer, &map);
  return bye;
}

GstPadProbeReturn on_rtcp_sent(GstPad *pad, GstPadProbeInfo *info, gpointer) {
  if (!holds_bye(GST_PAD_PROBE_INFO_BUFFER(info)))
    return GST_PAD_PROBE_OK;
  g_object_set_data(G_OBJECT(pad), kByeSent, GINT_TO_POINTER(1));
  return GST_PAD_PROBE_REMOVE;
}

// Under load the session sometimes sends its BYE but never passes its end of
// stream on to the RTCP sender; the BYE is what receivers need, so an RTCP
// sender that has taken it is done too.
void watch_for_bye(GstElement *sender) {
  PadRef sink(gst_element_get_static_pad(sender, "sink"));
  if (sink)
    gst_pad_add_probe(sink.get(), GST_PAD_PROBE_TYPE_BUFFER, on_rtcp_sent, nullptr, nullptr);
}

bool bye_sent_by(GstElement *sender) {
  PadRef sink(gst_element_get_static_pad(sender, "sink"));
  return sink && g_object_get_data(G_OBJECT(sink.get()), kByeSent) != nullptr;
}

bool sender_ended(GstElement *sender) {
  PadRef sink(gst_element_get_static_pad(sender, "sink"));
  if (!sink)
    return true;
  GST_OBJECT_LOCK(sink.get());
  const bool ended = GST_PAD_IS_EOS(sink.get());
  GST_OBJECT_UNLOCK(sink.get());
  return ended;
}

}  // namespace

CleanStop::CleanStop(Parts parts) : parts_(std::move(parts)) {
  term_.id = g_unix_signal_add(SIGTERM, on_signal, &term_);
  interrupt_.id = g_unix_signal_add(SIGINT, on_signal, &interrupt_);
}

CleanStop::~CleanStop() {
  if (signal_ != 0)
    alarm(0);
  for (guint id : {term_.id, interrupt_.id, drain_check_id_})
    if (id != 0)
      g_source_remove(id);
}

gboolean CleanStop::on_signal(gpointer data) {
  auto *watch = static_cast<Watch *>(data);
  if (watch->owner->requested())
    end_at_once(std::string("Stopping at once on signal ") + signal_name(watch->signal) + "\n");
  watch->owner->begin(watch->signal);
  return G_SOURCE_CONTINUE;
}

void CleanStop::begin(int signal) {
  signal_ = signal;
  parts_.outcome->draining = true;
  write_line(std::string("Stopping on signal ") + signal_name(signal) + "\n");
  arm_stop_limit();
  if (parts_.quiet_input)
    parts_.quiet_input();
  std::vector<ElementRef> rtcp_senders;
  {
    // A stream announced from now on gets no branch.
    std::lock_guard<std::mutex> lock(parts_.sinks->mutex);
    parts_.sinks->stopping = true;
    for (const ElementRef *sender : {&parts_.sinks->video_rtcp, &parts_.sinks->audio_rtcp})
      if (*sender)
        rtcp_senders.push_back(ref_object(sender->get()));
  }
  for (const ElementRef &sender : rtcp_senders)
    watch_for_bye(sender.get());
  end_session(parts_.rtpbin.get(), "send_rtp_sink_0");
  end_session(parts_.rtpbin.get(), "send_rtp_sink_1");
  drain_check_id_ = g_timeout_add(kDrainCheckMs, on_drain_check, this);
}

gboolean CleanStop::on_drain_check(gpointer data) {
  auto *stop = static_cast<CleanStop *>(data);
  if (!stop->senders_ended())
    return G_SOURCE_CONTINUE;
  stop->drain_check_id_ = 0;
  end_run(*stop->parts_.outcome, stop->parts_.main_loop.get(), RunEnd::EndOfStream);
  return G_SOURCE_REMOVE;
}

bool CleanStop::senders_ended() {
  std::vector<ElementRef> senders;
  {
    std::lock_guard<std::mutex> lock(parts_.sinks->mutex);
    for (const ElementRef *sender : {&parts_.sinks->video_rtp, &parts_.sinks->video_rtcp, &parts_.sinks->audio_rtp,
                                     &parts_.sinks->audio_rtcp})
      if (*sender)
        senders.push_back(ref_object(sender->get()));
  }
  for (const ElementRef &sender : senders)
    if (!sender_ended(sender.get()) && !bye_sent_by(sender.get()))
      return false;
  return true;
}

}  // namespace nerko
