// nerko-receive: plays what nerko-encoder sends, or checks for a while that
// it decodes, and says how much was decoded, lost and rebuilt by FEC, and
// how many senders it heard: a second encoder sent to the same destination
// is named and fails the run.
//
//   nerko-receive [--check SECONDS] [--drop-video-every N] [--loss PERCENT] [--latency MS] SOURCE
//
// SOURCE is the encoder's OUTPUT (udp://HOST:PORT) or the session
// description file it writes when NERKO_SDP_FILE is set.
#include <gst/gst.h>
#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "encoder/control/gst_ref.h"
#include "encoder/graph/settings.h"
#include "tools/receive/receive_source.h"
#include "tools/receive/receiver.h"

namespace {

using nerko::BusRef;
using nerko::ErrorRef;
using nerko::GStringRef;
using nerko::MainLoopRef;
using nerko::receive::ReceiveOptions;
using nerko::receive::Receiver;
using nerko::receive::ReceiveSource;

constexpr const char *kUsage =
    "Usage: nerko-receive [--check SECONDS] [--drop-video-every N] [--loss PERCENT] [--latency MS] "
    "udp://HOST:PORT|FILE.sdp\n";

struct Arguments {
  std::optional<unsigned> check_seconds;
  ReceiveOptions options;
  std::string source;
};

std::optional<unsigned> positive(const char *text) {
  std::optional<uint32_t> value = nerko::parse_uint32(text ? text : "");
  if (!value || *value == 0)
    return std::nullopt;
  return *value;
}

std::optional<Arguments> read_arguments(int argc, char **argv, std::string &reason) {
  Arguments arguments;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    std::optional<unsigned> number;
    if (option == "--check" || option == "--drop-video-every" || option == "--loss" || option == "--latency") {
      number = positive(value);
      if (!number) {
        reason = option + " needs a whole number above 0";
        return std::nullopt;
      }
      ++i;
    }
    if (option == "--check")
      arguments.check_seconds = number;
    else if (option == "--drop-video-every")
      arguments.options.drop_video_every = *number;
    else if (option == "--loss" && *number < 100)
      arguments.options.loss_percent = *number;
    else if (option == "--loss") {
      reason = "--loss needs a percentage below 100";
      return std::nullopt;
    } else if (option == "--latency")
      arguments.options.latency_ms = *number;
    else if (option.rfind("--", 0) == 0) {
      reason = "unknown option " + option;
      return std::nullopt;
    } else
      positional.push_back(option);
  }
  if (positional.size() != 1) {
    reason = positional.empty() ? "no source given" : "more than one source given";
    return std::nullopt;
  }
  arguments.source = positional[0];
  arguments.options.check = arguments.check_seconds.has_value();
  if (const char *sink = g_getenv("RECEIVER_VIDEO_SINK"))
    arguments.options.video_sink = sink;
  if (const char *sink = g_getenv("RECEIVER_AUDIO_SINK"))
    arguments.options.audio_sink = sink;
  return arguments;
}

struct LoopState {
  GMainLoop *loop;  // borrowed from main's handle
  bool failed = false;
};

gboolean on_bus_message(GstBus *, GstMessage *message, gpointer data) {
  auto *state = static_cast<LoopState *>(data);
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    GError *raw_error = nullptr;
    gchar *raw_debug = nullptr;
    gst_message_parse_error(message, &raw_error, &raw_debug);
    ErrorRef error(raw_error);
    GStringRef debug(raw_debug);
    std::fprintf(stderr, "Error! %s (%s)\n", error->message, debug ? debug.get() : "no details");
    state->failed = true;
    g_main_loop_quit(state->loop);
  }
  return TRUE;
}

gboolean quit_loop(gpointer data) {
  g_main_loop_quit(static_cast<LoopState *>(data)->loop);
  return FALSE;
}

gboolean quit_on_signal(gpointer data) {
  g_main_loop_quit(static_cast<LoopState *>(data)->loop);
  return TRUE;
}

}  // namespace

int main(int argc, char **argv) {
  gst_init(nullptr, nullptr);
  std::string reason;
  std::optional<Arguments> arguments = read_arguments(argc, argv, reason);
  if (!arguments) {
    std::fprintf(stderr, "Error! %s\n%s", reason.c_str(), kUsage);
    return 2;
  }
  std::optional<ReceiveSource> source = nerko::receive::source_from_argument(arguments->source, reason);
  if (!source) {
    std::fprintf(stderr, "Error! Cannot receive from %s: %s\n", arguments->source.c_str(), reason.c_str());
    return 2;
  }

  int status = 0;
  {
    Receiver receiver(*source, arguments->options);
    if (!receiver.start(reason)) {
      std::fprintf(stderr, "Error! %s\n", reason.c_str());
      return 1;
    }
    MainLoopRef loop(g_main_loop_new(nullptr, FALSE));
    LoopState state{loop.get()};
    BusRef bus(gst_element_get_bus(receiver.pipeline()));
    gst_bus_add_watch(bus.get(), on_bus_message, &state);
    guint interrupt = g_unix_signal_add(SIGINT, quit_on_signal, &state);
    guint terminate = g_unix_signal_add(SIGTERM, quit_on_signal, &state);
    // Said once the ports are bound, so whoever waits for it can start sending.
    if (arguments->check_seconds) {
      std::printf("Receiving from %s for %u s\n", arguments->source.c_str(), *arguments->check_seconds);
      g_timeout_add_seconds(*arguments->check_seconds, quit_loop, &state);
    } else {
      std::printf("Playing %s (Ctrl-C to stop)\n", arguments->source.c_str());
    }
    std::fflush(stdout);
    g_main_loop_run(loop.get());

    nerko::receive::ReceiveCounts counts = receiver.counts();
    receiver.stop();
    g_source_remove(interrupt);
    g_source_remove(terminate);
    gst_bus_remove_watch(bus.get());

    std::fputs(nerko::receive::report(counts, arguments->options.drop_video_every != 0 ||
                                                          arguments->options.loss_percent != 0).c_str(), stdout);
    if (state.failed) {
      status = 1;
    } else if (counts.video_frames == 0 && counts.audio_samples == 0) {
      std::fprintf(stderr, "Nothing decoded from %s\n", arguments->source.c_str());
      status = 1;
    } else if (counts.video_senders > 1 || counts.audio_senders > 1) {
      // Each further sender was named when it appeared.
      status = 1;
    }
  }
  gst_deinit();
  return status;
}
