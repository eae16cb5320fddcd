#include "run.h"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "build_revision.h"
#include "bus_watch.h"
#include "command_line.h"
#include "encoder/graph/destination.h"
#include "encoder/graph/fec.h"
#include "encoder/graph/live_rate_head.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/sdp_file.h"
#include "encoder/graph/settings.h"
#include "fatal.h"
#include "gst_ref.h"
#include "input_decoder.h"
#include "input_watchdog.h"
#include "keep_alive.h"
#include "signals.h"
#include "statistics.h"
#include "stream_sinks.h"

namespace nerko {
namespace {

Result<ElementRef> make_element(const char *factory) {
  GstElement *element = gst_element_factory_make(factory, nullptr);
  if (!element)
    return EncoderError::missing_element(factory);
  return ElementRef(GST_ELEMENT(gst_object_ref_sink(element)));
}

}  // namespace

Result<RunEnd> run(int argc, const char *const *argv) {
  // The record of UDP senders exists before anything that could fill it.
  SharedStreamSinks sinks = std::make_shared<StreamSinks>();

  // GStreamer's own command-line options are not ours to parse.
  GError *raw_init_error = nullptr;
  if (!gst_init_check(nullptr, nullptr, &raw_init_error)) {
    ErrorRef init_error(raw_init_error);
    return EncoderError::library(init_error ? init_error->message : "Could not initialize GStreamer");
  }

  auto arguments = collect_arguments(argc, argv);
  if (!arguments)
    return arguments.error();
  auto command_line = read_command_line(arguments.take());
  if (!command_line)
    return command_line.error();
  CommandLine line = command_line.take();

  // Read before the pipeline exists, so a malformed value stops nothing half built.
  const uint32_t video_fec_percent = read_video_fec_percent();
  const uint32_t audio_fec_percent = read_audio_fec_percent();
  std::printf("FEC Settings VIDEO: %u AUDIO: %u\n", video_fec_percent, audio_fec_percent);
  const uint32_t input_timeout = read_input_timeout();
  const bool keep_alive = read_keep_alive();

  SharedInputActivity activity = std::make_shared<InputActivity>();
  std::shared_ptr<const LiveRateHeads> heads;
  if (keep_alive) {
    std::string video_fill_mode = read_video_fill_mode();
    if (Status status = require_live_rate_elements())
      return *status;
    // The input is made only once the pipeline plays; a missing decoder
    // must still stop the run at once.
    if (GstElementFactory *factory = gst_element_factory_find("uridecodebin"))
      gst_object_unref(factory);
    else
      return EncoderError::missing_element("uridecodebin");
    heads = std::make_shared<const LiveRateHeads>(LiveRateHeads{video_fill_mode, activity});
  }

  // The destination host is looked up once, before anything plays: a name
  // that does not resolve ends the run here instead of sending nothing. A
  // malformed destination is left to the first decoded stream, as ever.
  std::string host_address;
  std::string malformed;
  if (std::optional<Destination> destination = parse_destination(line.output, malformed)) {
    Result<std::string> resolved = resolve_host(destination->host);
    if (!resolved)
      return resolved.error();
    host_address = resolved.take();
  }

  ElementRef pipeline(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  // With keep-alive the input comes and goes; the supervisor makes it.
  std::unique_ptr<InputDecoder> decoder;
  if (!keep_alive) {
    auto made_decoder = InputDecoder::make();
    if (!made_decoder)
      return made_decoder.error();
    decoder = made_decoder.take();
  }
  auto made_rtpbin = make_element("rtpbin");
  if (!made_rtpbin)
    return made_rtpbin.error();
  ElementRef rtpbin = made_rtpbin.take();
  // gst_bin_add takes over the floating reference only; ours were sunk, so
  // the bin takes a reference of its own and ours stay ours.
  if ((decoder && !gst_bin_add(GST_BIN(pipeline.get()), decoder->element())) ||
      !gst_bin_add(GST_BIN(pipeline.get()), rtpbin.get()))
    return EncoderError::library("Failed to add elements");

  // rtpbin asks for the video session's ULPFEC encoder through this signal.
  if (Status status = connect_signal_checked(
          rtpbin.get(), "request-fec-encoder",
          make_fec_request_closure(new FecRequestContext{video_fec_percent})))
    return *status;

  PadAddedContext pad_added{ref_object(pipeline.get()), ref_object(rtpbin.get()), line.output, host_address,
                            sinks, audio_fec_percent,
                            session_description_file(video_fec_percent, audio_fec_percent), activity, heads};
  std::shared_ptr<InputSupervisor> supervisor;
  if (keep_alive) {
    supervisor = std::make_shared<InputSupervisor>(
        InputSupervisor::Parts{ref_object(pipeline.get()), line.input, std::move(pad_added), input_timeout});
  } else {
    if (Status status = decoder->connect(new PadAddedContext(std::move(pad_added)), sinks))
      return *status;
    if (Status status = set_string_property(decoder->element(), "uri", line.input))
      return *status;
  }

  // From here on failures are fatal stops.
  BusRef bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline.get())));
  if (!bus)
    fatal_stop("Pipeline without bus. Shouldn't happen!");
  if (gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    // A missing file or an unknown scheme is refused here; the element's own
    // error on the bus is what tells the operator which.
    report_first_error(bus.get(), stderr);
    fatal_stop("Unable to set the pipeline to the `Playing` state");
  }

  // An input that fails to start is the supervisor's to retry, so it joins
  // the pipeline only now.
  if (supervisor)
    supervisor->start();

  MainLoopRef main_loop(g_main_loop_new(nullptr, FALSE));
  std::printf("Nerko Multicast Encoder 3.2.2 (%s)\n", build_revision);

  // Messages posted while the pipeline started wait on the bus until the loop runs.
  auto *watch_context = new BusWatchContext{MainLoopRef(g_main_loop_ref(main_loop.get())),
                                            ref_object(pipeline.get())};
  watch_context->keep_alive = supervisor;
  std::shared_ptr<RunEnd> run_end = watch_context->run_end;
  guint watch_id = gst_bus_add_watch_full(bus.get(), G_PRIORITY_DEFAULT, on_bus_message,
                                          watch_context, destroy_context<BusWatchContext>);
  if (watch_id == 0)
    fatal_stop("Failed to add bus watch");

  // The statistics tick, every five seconds.
  auto *timer_context = new StatsTimerContext{};
  timer_context->sinks = sinks;
  timer_context->arguments = std::move(line.arguments);
  timer_context->write_stats_file = timer_context->arguments.size() > 4;
  timer_context->prometheus = read_prometheus_export();
  timer_context->keep_alive = supervisor;
  guint timer_id = g_timeout_add_seconds_full(G_PRIORITY_DEFAULT, 5, on_stats_tick, timer_context,
                                              destroy_context<StatsTimerContext>);

  // The input watchdog, twice a second.
  auto *watchdog_context =
      new WatchdogContext{activity, input_timeout, MainLoopRef(g_main_loop_ref(main_loop.get())), run_end,
                          supervisor, ref_object(pipeline.get())};
  guint watchdog_id = g_timeout_add_full(G_PRIORITY_DEFAULT, 500, on_watchdog_tick, watchdog_context,
                                         destroy_context<WatchdogContext>);

  // Until the bus watch sees end of stream or an error.
  g_main_loop_run(main_loop.get());

  if (gst_element_set_state(pipeline.get(), GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE)
    fatal_stop("Unable to set the pipeline to the `Null` state");

  // The loop no longer runs, so the watch and the timer would never fire
  // again; removing them lets their contexts release the pipeline and the
  // senders now, so every reference taken is given back before we return.
  g_source_remove(watchdog_id);
  g_source_remove(timer_id);
  gst_bus_remove_watch(bus.get());
  return *run_end;
}

}  // namespace nerko
