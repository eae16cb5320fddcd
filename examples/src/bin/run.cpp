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
#include "encoder/graph/no_more_pads.h"
#include "encoder/graph/pad_added.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/sdp_file.h"
#include "encoder/graph/settings.h"
#include "fatal.h"
#include "gst_ref.h"
#include "signals.h"
#include "statistics.h"
#include "stream_sinks.h"

namespace nerko {
namespace {

// The pad-added context holds the pipeline, which holds the decoder, which
// holds the context: disconnecting the handler is what breaks that cycle, on
// the way out of every path once it is connected.
class PadAddedConnection {
 public:
  PadAddedConnection(GstElement *decoder) : decoder_(decoder) {}
  ~PadAddedConnection() {
    if (id_ != 0)
      g_signal_handler_disconnect(decoder_, id_);
  }
  gulong *id() { return &id_; }

 private:
  GstElement *decoder_;
  gulong id_ = 0;
};

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
  Result<uint32_t> video_fec = read_video_fec_percent();
  if (!video_fec)
    fatal_stop(video_fec.error().message());
  Result<uint32_t> audio_fec = read_audio_fec_percent();
  if (!audio_fec)
    fatal_stop(audio_fec.error().message());
  const uint32_t video_fec_percent = video_fec.value();
  const uint32_t audio_fec_percent = audio_fec.value();
  std::printf("FEC Settings VIDEO: %u AUDIO: %u\n", video_fec_percent, audio_fec_percent);

  // The destination host is looked up once, before anything plays: a name
  // that does not resolve ends the run here instead of sending nothing. A
  // malformed destination is left to the first decoded stream, as ever.
  std::string host_address;
  if (Result<Destination> destination = parse_destination(line.output)) {
    Result<std::string> resolved = resolve_host(destination.value().host);
    if (!resolved)
      return resolved.error();
    host_address = resolved.take();
  }

  ElementRef pipeline(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  auto made_decoder = make_element("uridecodebin");
  if (!made_decoder)
    return made_decoder.error();
  ElementRef decoder = made_decoder.take();
  auto made_rtpbin = make_element("rtpbin");
  if (!made_rtpbin)
    return made_rtpbin.error();
  ElementRef rtpbin = made_rtpbin.take();
  // gst_bin_add takes over the floating reference only; ours were sunk, so
  // the bin takes a reference of its own and ours stay ours.
  if (!gst_bin_add(GST_BIN(pipeline.get()), decoder.get()) ||
      !gst_bin_add(GST_BIN(pipeline.get()), rtpbin.get()))
    return EncoderError::library("Failed to add elements");

  // rtpbin asks for the video session's ULPFEC encoder through this signal.
  if (Status status = connect_signal_checked(
          rtpbin.get(), "request-fec-encoder",
          make_fec_request_closure(new FecRequestContext{video_fec_percent, BusRef(gst_element_get_bus(pipeline.get()))})))
    return *status;

  // Every decoded stream gets its branch from this handler, on a streaming thread.
  auto session_description = session_description_file(video_fec_percent, audio_fec_percent);
  if (!session_description)
    fatal_stop(session_description.error().message());
  PadAddedConnection pad_added(decoder.get());
  auto *pad_added_context =
      new PadAddedContext{ref_object(pipeline.get()), ref_object(rtpbin.get()), line.output, host_address,
                          sinks, audio_fec_percent, session_description.take()};
  if (Status status = connect_signal_checked(
          decoder.get(), "pad-added",
          g_cclosure_new(G_CALLBACK(on_pad_added), pad_added_context,
                         destroy_context_closure<PadAddedContext>),
          pad_added.id()))
    return *status;

  // An input whose streams all go unused would otherwise never end the run.
  if (Status status = connect_signal_checked(
          decoder.get(), "no-more-pads",
          g_cclosure_new(G_CALLBACK(on_no_more_pads), new NoMorePadsContext{sinks},
                         destroy_context_closure<NoMorePadsContext>)))
    return *status;

  if (Status status = set_string_property(decoder.get(), "uri", line.input))
    return *status;

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

  MainLoopRef main_loop(g_main_loop_new(nullptr, FALSE));
  std::printf("Nerko Multicast Encoder 3.2.2 (%s)\n", build_revision);

  // Messages posted while the pipeline started wait on the bus until the loop runs.
  auto *watch_context = new BusWatchContext{MainLoopRef(g_main_loop_ref(main_loop.get())),
                                            ref_object(pipeline.get())};
  SharedRunOutcome outcome = watch_context->outcome;
  guint watch_id = gst_bus_add_watch_full(bus.get(), G_PRIORITY_DEFAULT, on_bus_message,
                                          watch_context, destroy_context<BusWatchContext>);
  if (watch_id == 0)
    fatal_stop("Failed to add bus watch");

  // The statistics tick, every five seconds.
  auto *timer_context = new StatsTimerContext{};
  timer_context->sinks = sinks;
  timer_context->main_loop = MainLoopRef(g_main_loop_ref(main_loop.get()));
  timer_context->outcome = outcome;
  timer_context->arguments = std::move(line.arguments);
  timer_context->write_stats_file = timer_context->arguments.size() > 4;
  timer_context->prometheus = read_prometheus_export();
  guint timer_id = g_timeout_add_seconds_full(G_PRIORITY_DEFAULT, 5, on_stats_tick, timer_context,
                                              destroy_context<StatsTimerContext>);

  // Until the bus watch sees end of stream or an error.
  g_main_loop_run(main_loop.get());
  if (outcome->end == RunEnd::FatalStop)
    fatal_stop(outcome->fatal_text);

  if (gst_element_set_state(pipeline.get(), GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE)
    fatal_stop("Unable to set the pipeline to the `Null` state");

  // The loop no longer runs, so the watch and the timer would never fire
  // again; removing them lets their contexts release the pipeline and the
  // senders now, so every reference taken is given back before we return.
  g_source_remove(timer_id);
  gst_bus_remove_watch(bus.get());
  return outcome->end;
}

}  // namespace nerko
