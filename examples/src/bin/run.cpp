#include "examples/src/bin/run.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "encoder/control/build_revision.h"
#include "encoder/control/clean_stop.h"
#include "encoder/control/bus_watch.h"
#include "encoder/control/command_line.h"
#include "encoder/graph/destination.h"
#include "encoder/graph/video_encoder_tap.h"
#include "encoder/graph/video_thread_watch.h"
#include "encoder/control/channel_status.h"
#include "encoder/control/http_server.h"
#include "encoder/control/thumbnail.h"
#include "encoder/graph/fec.h"
#include "encoder/input/content_alarms.h"
#include "encoder/input/input_activity.h"
#include "encoder/input/input_decoder.h"
#include "encoder/input/input_latency.h"
#include "encoder/input/input_watchdog.h"
#include "encoder/input/keep_alive.h"
#include "encoder/graph/live_rate_head.h"
#include "encoder/graph/pad_added.h"
#include "encoder/graph/properties.h"
#include "encoder/graph/sdp_file.h"
#include "encoder/graph/settings.h"
#include "encoder/control/fatal.h"
#include "encoder/control/gst_ref.h"
#include "encoder/control/latency_report.h"
#include "encoder/control/signals.h"
#include "encoder/control/statistics.h"
#include "encoder/control/whitespace.h"
#include "encoder/control/stream_sinks.h"

namespace nerko {
namespace {

// What the run reads before it builds anything.
struct RunSettings {
  CommandLine line;
  uint32_t video_fec_percent;
  uint32_t audio_fec_percent;
  // The destination host as looked up at start; empty for a malformed destination.
  std::string host_address;
  uint32_t input_timeout_s = 0;  // 0: silence never ends the run
  bool keep_alive = false;       // the stream outlives its input
  std::optional<uint32_t> input_latency_ms = std::nullopt;  // NERKO_LATENCY_MS; unset: the elements' own
};

// What follows the input: the record of decoded buffers the watchdog reads
// and, when the stream outlives its input, the branches' live-rate heads and
// what the operator set for a backup, a slate or a repeated frame.
struct InputTracking {
  SharedInputActivity activity = std::make_shared<InputActivity>();
  std::shared_ptr<const LiveRateHeads> heads = nullptr;
  std::optional<Redundancy> redundancy = std::nullopt;
};

// The status page and control over HTTP, when NERKO_HTTP_LISTEN asks for
// them. Declared in the order they are made; the server goes first.
struct OperatorAccess {
  std::shared_ptr<VideoEncoderTap> video;
  std::shared_ptr<Thumbnail> thumbnail;
  std::shared_ptr<ChannelStatus> status;
  std::unique_ptr<HttpServer> server;
};

// The top of the pipeline: the decoder (none when the keep-alive supervisor
// makes the inputs) and the rtpbin inside it.
struct PipelineTop {
  ElementRef pipeline;
  std::unique_ptr<InputDecoder> decoder;
  ElementRef rtpbin;
};

// The one place a fatal stop ends the process: a set-up value the run cannot
// go on without.
template <typename T>
T value_or_fatal_stop(Result<T> result) {
  if (!result)
    fatal_stop(result.error().message());
  return result.take();
}

Status initialise_gstreamer() {
  // GStreamer's own command-line options are not ours to parse.
  GError *raw_init_error = nullptr;
  if (gst_init_check(nullptr, nullptr, &raw_init_error))
    return std::nullopt;
  ErrorRef init_error(raw_init_error);
  return EncoderError::library(init_error ? init_error->message : "Could not initialize GStreamer");
}

Result<CommandLine> read_process_command_line(int argc, const char *const *argv) {
  auto arguments = collect_arguments(argc, argv);
  if (!arguments)
    return arguments.error();
  return read_command_line(arguments.take());
}

// The destination host is looked up once, before anything plays: a name that
// does not resolve ends the run here instead of sending nothing. A malformed
// destination is left to the first decoded stream, as ever.
Result<std::string> resolve_destination_host(const std::string &output) {
  Result<Destination> destination = parse_destination(output);
  if (!destination)
    return std::string();
  return resolve_host(destination.value().host);
}

// A backup, a slate or a repeat time puts a gate in front of the heads.
// Malformed values stop the run; a slate picture that cannot be read is a
// set-up error.
Result<std::optional<Redundancy>> read_redundancy(const std::string &backup_uri, const std::string &fill_mode) {
  Redundancy redundancy;
  redundancy.backup_uri = backup_uri;
  redundancy.failover_ms = value_or_fatal_stop(read_failover_ms());
  redundancy.failback_s = value_or_fatal_stop(read_failback_s());
  redundancy.repeat_frame_ms = value_or_fatal_stop(read_repeat_frame_ms());
  redundancy.slate = fill_mode == "slate";
  redundancy.video_fill_mode = redundancy.slate ? "black" : fill_mode;
  if (backup_uri.empty() && !redundancy.slate && redundancy.repeat_frame_ms == 0)
    return std::optional<Redundancy>();
  return std::optional<Redundancy>(redundancy);
}

// How long black, a frozen picture or silence may last before it is alarmed
// (0: not watched), and which alarms fail an input over to the backup.
Result<ContentAlarmSettings> read_content_alarm_settings() {
  ContentAlarmSettings settings;
  settings.threshold_s = {value_or_fatal_stop(read_uint_setting("NERKO_BLACK_ALARM_S", 0)),
                          value_or_fatal_stop(read_uint_setting("NERKO_FROZEN_ALARM_S", 0)),
                          value_or_fatal_stop(read_uint_setting("NERKO_SILENCE_ALARM_S", 0))};
  const std::string failover_on = remove_whitespace(value_or_fatal_stop(read_text_setting("NERKO_FAILOVER_ON", "")));
  if (Status status = read_failover_on(failover_on, settings))
    return *status;
  return settings;
}

// The primary's content is watched through its activity record, the
// backup's through the supervisor's; none when no alarm is set.
std::shared_ptr<ContentAlarms> start_content_alarms(const InputTracking &tracking, const InputSupervisor *supervisor) {
  if (!tracking.activity->content)
    return nullptr;
  std::vector<ContentAlarms::Watched> inputs = {{"primary", tracking.activity->content}};
  if (std::shared_ptr<ContentWatch> backup = supervisor ? supervisor->backup_content() : nullptr)
    inputs.push_back({"backup", std::move(backup)});
  auto alarms = std::make_shared<ContentAlarms>(std::move(inputs));
  alarms->start();
  return alarms;
}

// The heads repeat the last frame first when there is a repeat time; the
// supervisor turns them to black once it is over.
std::string first_fill_mode(const Redundancy *redundancy, const std::string &fill_mode) {
  if (!redundancy)
    return fill_mode;
  return redundancy->repeat_frame_ms != 0 ? "last-frame" : redundancy->video_fill_mode;
}

// With keep-alive every branch starts with a live-rate element, so the
// plug-in must be there; and the input is made only once the pipeline plays,
// so a missing decoder must still stop the run here.
Result<InputTracking> prepare_input_tracking(bool keep_alive, const std::string &backup_uri,
                                             std::optional<uint32_t> input_latency_ms) {
  InputTracking tracking;
  if (!keep_alive)
    return tracking;
  tracking.activity->live_input_keeps_its_time = input_latency_ms.has_value();
  std::string video_fill_mode = value_or_fatal_stop(read_video_fill_mode());
  Result<std::optional<Redundancy>> redundancy = read_redundancy(backup_uri, video_fill_mode);
  if (!redundancy)
    return redundancy.error();
  tracking.redundancy = redundancy.take();
  std::shared_ptr<const SlatePicture> slate;
  if (tracking.redundancy && tracking.redundancy->slate) {
    std::string path = value_or_fatal_stop(read_slate_image());
    if (path.empty())
      return EncoderError::library("NERKO_VIDEO_FILL=slate needs the picture's path in NERKO_SLATE_IMAGE");
    Result<std::shared_ptr<const SlatePicture>> read = read_slate_picture(path);
    if (!read)
      return read.error();
    slate = read.take();
  }
  if (Status status = require_live_rate_elements())
    return *status;
  GstElementFactory *decoder = gst_element_factory_find("uridecodebin");
  if (!decoder)
    return EncoderError::missing_element("uridecodebin");
  gst_object_unref(decoder);
  const Redundancy *redundant = tracking.redundancy ? &*tracking.redundancy : nullptr;
  const GstClockTime wait = live_rate_wait(input_latency_ms).value_or(200 * GST_MSECOND);
  tracking.activity->file_lead = std::max<GstClockTimeDiff>(0, static_cast<GstClockTimeDiff>(wait) - 40 * GST_MSECOND);
  tracking.heads = std::make_shared<const LiveRateHeads>(
      LiveRateHeads{first_fill_mode(redundant, video_fill_mode), tracking.activity,
                    live_rate_wait(input_latency_ms), redundant ? std::make_shared<OnAirGate>() : nullptr,
                    std::move(slate)});
  return tracking;
}

Result<ElementRef> make_element(const char *factory) {
  GstElement *element = gst_element_factory_make(factory, nullptr);
  if (!element)
    return EncoderError::missing_element(factory);
  return ElementRef(GST_ELEMENT(gst_object_ref_sink(element)));
}

Result<PipelineTop> build_pipeline_top(bool with_decoder, std::optional<uint32_t> input_latency_ms) {
  PipelineTop top;
  top.pipeline.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
  if (with_decoder) {
    auto decoder = InputDecoder::make(input_latency_ms);
    if (!decoder)
      return decoder.error();
    top.decoder = decoder.take();
  }
  auto rtpbin = make_element("rtpbin");
  if (!rtpbin)
    return rtpbin.error();
  top.rtpbin = rtpbin.take();
  // gst_bin_add takes over the floating reference only; ours were sunk, so
  // the bin takes a reference of its own and ours stay ours.
  if ((top.decoder && !gst_bin_add(GST_BIN(top.pipeline.get()), top.decoder->element())) ||
      !gst_bin_add(GST_BIN(top.pipeline.get()), top.rtpbin.get()))
    return EncoderError::library("Failed to add elements");
  return top;
}

// rtpbin asks for the video session's ULPFEC encoder.
Status connect_fec_request(const PipelineTop &top, const RunSettings &settings) {
  BusRef bus(gst_element_get_bus(top.pipeline.get()));
  return connect_signal_checked(
      top.rtpbin.get(), "request-fec-encoder",
      make_fec_request_closure(new FecRequestContext{settings.video_fec_percent, std::move(bus)}));
}

// What every decoded stream's branch is built from, on a streaming thread.
PadAddedContext pad_added_context(const PipelineTop &top, const RunSettings &settings,
                                  const SharedStreamSinks &sinks, const InputTracking &tracking) {
  // Rewritten after every branch built; none unless NERKO_SDP_FILE is set.
  return PadAddedContext{
      ref_object(top.pipeline.get()), ref_object(top.rtpbin.get()), settings.line.output, settings.host_address,
      sinks, settings.audio_fec_percent,
      value_or_fatal_stop(session_description_file(settings.video_fec_percent, settings.audio_fec_percent)),
      tracking.activity, tracking.heads};
}

// The one input of a run that ends with it: the decoder builds the branches
// and reads `uri`.
Status connect_decoder(InputDecoder &decoder, PadAddedContext pad_added, const SharedStreamSinks &sinks,
                       const std::string &uri) {
  if (Status status = decoder.connect(new PadAddedContext(std::move(pad_added)), sinks))
    return status;
  return set_string_property(decoder.element(), "uri", uri);
}

// The address is taken before anything plays, so that one in use is a
// set-up error like any other.
Result<OperatorAccess> listen_for_operator() {
  Result<std::optional<HttpSettings>> settings = read_http_settings();
  if (!settings && settings.error().is_fatal())
    fatal_stop(settings.error().message());
  if (!settings)
    return settings.error();
  OperatorAccess access;
  if (!settings.value())
    return access;
  Result<std::unique_ptr<HttpServer>> server = HttpServer::listen(std::move(*settings.value()));
  if (!server)
    return server.error();
  access.server = server.take();
  return access;
}

// The video encoder is watched for from before the branch adds it, by the
// operator's access and by a channel that may change its threads.
void watch_video_encoder(OperatorAccess &access, GstElement *pipeline, bool adapts_threads) {
  if (!access.server && !adapts_threads)
    return;
  if (access.server)
    access.thumbnail = std::make_shared<Thumbnail>();
  access.video = std::make_shared<VideoEncoderTap>(
      pipeline, [thumbnail = std::weak_ptr<Thumbnail>(access.thumbnail)](SampleRef picture) {
        if (std::shared_ptr<Thumbnail> alive = thumbnail.lock())
          alive->picture_arrived(std::move(picture));
      });
  if (access.thumbnail)
    access.thumbnail->watch(access.video);
}

std::unique_ptr<VideoThreadWatch> start_thread_watch(std::optional<ThreadAdaptation> adaptation,
                                                     const SharedStreamSinks &sinks, const OperatorAccess &access,
                                                     StatsTimerContext *statistics) {
  if (!adaptation || !access.video)
    return nullptr;
  auto watch = std::make_unique<VideoThreadWatch>(std::move(*adaptation), sinks, access.video, stderr);
  watch->start();
  statistics->video_threads = [watch = watch.get()] { return watch->threads(); };
  return watch;
}

void serve_operator(OperatorAccess &access, ChannelStatus::Parts parts) {
  if (!access.server)
    return;
  access.status = std::make_shared<ChannelStatus>(std::move(parts));
  access.server->serve(access.status, access.thumbnail);
}

// From here on failures are fatal stops.
BusRef start_playing(GstElement *pipeline) {
  BusRef bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline)));
  if (!bus)
    fatal_stop("Pipeline without bus. Shouldn't happen!");
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    // A missing file or an unknown scheme is refused here; the element's own
    // error on the bus is what tells the operator which.
    report_first_error(bus.get(), stderr);
    fatal_stop("Unable to set the pipeline to the `Playing` state");
  }
  return bus;
}

// An input that fails to start is the supervisor's to retry, so it joins the
// pipeline only once the pipeline plays.
void start_input_supervisor(InputSupervisor *supervisor) {
  if (supervisor)
    supervisor->start();
}

// Messages posted while the pipeline started wait on the bus until the loop runs.
SharedRunOutcome add_bus_watch(GstBus *bus, GMainLoop *main_loop, GstElement *pipeline,
                               std::shared_ptr<InputSupervisor> supervisor, bool report_latency) {
  auto *context = new BusWatchContext{MainLoopRef(g_main_loop_ref(main_loop)), ref_object(pipeline)};
  context->keep_alive = std::move(supervisor);
  if (report_latency)
    context->latency_report = std::make_shared<LatencyReport>();
  SharedRunOutcome outcome = context->outcome;
  if (gst_bus_add_watch_full(bus, G_PRIORITY_DEFAULT, on_bus_message, context, destroy_context<BusWatchContext>) ==
      0)
    fatal_stop("Failed to add bus watch");
  return outcome;
}

// The statistics tick, every five seconds; `context` is the tick's own, for
// the last tick of a clean stop.
guint add_statistics_timer(const SharedStreamSinks &sinks, GMainLoop *main_loop, SharedRunOutcome outcome,
                           std::string stats_path, std::shared_ptr<InputSupervisor> supervisor,
                           std::shared_ptr<AlarmSource> alarms, StatsTimerContext *&context) {
  context = new StatsTimerContext{};
  context->sinks = sinks;
  context->main_loop = MainLoopRef(g_main_loop_ref(main_loop));
  context->outcome = std::move(outcome);
  context->stats_path = std::move(stats_path);
  context->prometheus = read_prometheus_export();
  context->keep_alive = std::move(supervisor);
  context->alarms = std::move(alarms);
  return g_timeout_add_seconds_full(G_PRIORITY_DEFAULT, 5, on_stats_tick, context,
                                    destroy_context<StatsTimerContext>);
}

// The input watchdog, twice a second.
guint add_input_watchdog(const InputTracking &tracking, uint32_t timeout_s, GMainLoop *main_loop,
                         SharedRunOutcome outcome, std::shared_ptr<InputSupervisor> supervisor,
                         GstElement *pipeline) {
  auto *context = new WatchdogContext{tracking.activity, timeout_s, MainLoopRef(g_main_loop_ref(main_loop)),
                                      std::move(outcome), std::move(supervisor), ref_object(pipeline)};
  return g_timeout_add_full(G_PRIORITY_DEFAULT, 500, on_watchdog_tick, context, destroy_context<WatchdogContext>);
}

}  // namespace

Result<RunEnd> run(int argc, const char *const *argv) {
  // The record of UDP senders exists before anything that could fill it.
  SharedStreamSinks sinks = std::make_shared<StreamSinks>();
  if (Status status = initialise_gstreamer())
    return *status;
  Result<CommandLine> line = read_process_command_line(argc, argv);
  if (!line)
    return line.error();

  // Read before the pipeline exists, so a malformed value stops nothing half built.
  RunSettings settings{line.take(), value_or_fatal_stop(read_video_fec_percent()),
                       value_or_fatal_stop(read_audio_fec_percent()), ""};
  std::printf("FEC Settings VIDEO: %u AUDIO: %u\n", settings.video_fec_percent, settings.audio_fec_percent);
  settings.input_timeout_s = value_or_fatal_stop(read_input_timeout());
  settings.keep_alive = value_or_fatal_stop(read_keep_alive());
  settings.input_latency_ms = value_or_fatal_stop(read_input_latency());
  Result<ContentAlarmSettings> content = read_content_alarm_settings();
  if (!content)
    return content.error();
  // A backup input is only of use to a stream that outlives its input.
  const std::string backup_uri = remove_whitespace(value_or_fatal_stop(read_backup_input()));
  settings.keep_alive = settings.keep_alive || !backup_uri.empty();
  Result<InputTracking> tracked =
      prepare_input_tracking(settings.keep_alive, backup_uri, settings.input_latency_ms);
  if (!tracked)
    return tracked.error();
  InputTracking tracking = tracked.take();
  if (content.value().any())
    tracking.activity->content = std::make_shared<ContentWatch>(content.value());
  Result<std::string> host_address = resolve_destination_host(settings.line.output);
  if (!host_address)
    return host_address.error();
  settings.host_address = host_address.take();

  Result<OperatorAccess> listening = listen_for_operator();
  if (!listening)
    return listening.error();
  OperatorAccess access = listening.take();

  Result<PipelineTop> built = build_pipeline_top(!settings.keep_alive, settings.input_latency_ms);
  if (!built)
    return built.error();
  PipelineTop top = built.take();
  if (Status status = connect_fec_request(top, settings))
    return *status;
  PadAddedContext pad_added = pad_added_context(top, settings, sinks, tracking);
  // With keep-alive the input comes and goes; the supervisor makes it.
  std::shared_ptr<InputSupervisor> supervisor;
  if (settings.keep_alive)
    supervisor = std::make_shared<InputSupervisor>(InputSupervisor::Parts{
        ref_object(top.pipeline.get()), settings.line.input, std::move(pad_added), settings.input_timeout_s,
        settings.input_latency_ms, keep_alive_share(settings.input_latency_ms), tracking.redundancy});
  else if (Status status = connect_decoder(*top.decoder, std::move(pad_added), sinks, settings.line.input))
    return *status;

  std::optional<ThreadAdaptation> adaptation = value_or_fatal_stop(read_thread_adaptation());
  watch_video_encoder(access, top.pipeline.get(), adaptation.has_value());
  BusRef bus = start_playing(top.pipeline.get());
  start_input_supervisor(supervisor.get());
  MainLoopRef main_loop(g_main_loop_new(nullptr, FALSE));
  std::printf("Nerko Multicast Encoder 3.2.2 (%s)\n", build_revision);
  SharedRunOutcome outcome = add_bus_watch(bus.get(), main_loop.get(), top.pipeline.get(), supervisor,
                                           settings.keep_alive || settings.input_latency_ms);
  std::shared_ptr<ContentAlarms> alarms = start_content_alarms(tracking, supervisor.get());
  StatsTimerContext *statistics = nullptr;
  guint timer_id = add_statistics_timer(sinks, main_loop.get(), outcome, std::move(settings.line.stats_path),
                                        supervisor, alarms, statistics);
  std::unique_ptr<VideoThreadWatch> thread_watch = start_thread_watch(std::move(adaptation), sinks, access, statistics);
  guint watchdog_id = add_input_watchdog(tracking, settings.input_timeout_s, main_loop.get(), outcome, supervisor,
                                         top.pipeline.get());
  const char *channel = std::getenv("NERKO_PROMETHEUS_CHANNEL");
  serve_operator(access, ChannelStatus::Parts{sinks, statistics, tracking.activity, supervisor, access.video,
                                              channel ? channel : ""});
  CleanStop stop(CleanStop::Parts{ref_object(top.rtpbin.get()), sinks, MainLoopRef(g_main_loop_ref(main_loop.get())),
                                  outcome, [&watchdog_id, supervisor] {
                                    g_source_remove(std::exchange(watchdog_id, 0));
                                    if (supervisor)
                                      supervisor->stop_supervising();
                                  }});

  // Until the bus watch, the statistics timer, the input watchdog or a
  // clean stop ends the run.
  g_main_loop_run(main_loop.get());
  if (outcome->end == RunEnd::FatalStop)
    fatal_stop(outcome->fatal_text);
  // The BYEs have been sent: the files show the stream's end.
  if (stop.requested() && outcome->end == RunEnd::EndOfStream)
    on_stats_tick(statistics);
  if (gst_element_set_state(top.pipeline.get(), GST_STATE_NULL) == GST_STATE_CHANGE_FAILURE)
    fatal_stop("Unable to set the pipeline to the `Null` state");

  // The loop no longer runs, so the watch and the timers would never fire
  // again; removing them lets their contexts release the pipeline and the
  // senders now, so every reference taken is given back before we return.
  if (watchdog_id != 0)
    g_source_remove(watchdog_id);
  g_source_remove(timer_id);
  gst_bus_remove_watch(bus.get());
  return outcome->end;
}

}  // namespace nerko
