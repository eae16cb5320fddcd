// How evenly livevideorate and liveaudiorate pace a live stream that loses
// buffers, in real time on the system clock.
//
// Each pipeline is a live test source, an identity whose pad probe drops 20 %
// of the buffers at random (fixed seed) and, once, holds the streaming thread
// for 2 s, then the element and a fakesink whose handoff records when every
// buffer arrives, its PTS and its GAP flag:
//
//   videotestsrc is-live=true ! 320x240 I420 30/1 ! identity ! livevideorate ! fakesink
//   audiotestsrc is-live=true samplesperbuffer=1920 ! 48 kHz S16LE stereo ! identity
//     ! liveaudiorate fill-framerate=25/1 ! fakesink
//
// The video and audio pipelines run side by side, first with the sink not
// syncing (arrivals are the element's own push times), then syncing (arrivals
// are presentation times). For each it reports output slots missing or
// duplicated in the PTS timeline, p50/p99/max deviation of the arrival
// intervals from the nominal slot, and the largest burst after the stall
// against the slots the stall left silent at the sink.
//
//   liverate_pacing [--seconds N] [--seed N] [--dump DIR]
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gsttollamar.h"

namespace {

const GstClockTime kStallAfter = 5 * GST_SECOND;  // running time of the stall
const GstClockTime kStallLength = 2 * GST_SECOND;
const double kDropRatio = 0.2;

struct Arrival {
  GstClockTime at;  // system clock time of the handoff
  GstClockTime pts;
  bool gap;
};

struct Run {
  std::string name;
  std::string launch;
  GstClockTime slot;
  GstClock *clock = nullptr;
  GstElement *pipeline = nullptr;
  // Written by the application thread once PLAYING, read by the probe.
  std::atomic<GstClockTime> base_time{GST_CLOCK_TIME_NONE};
  std::mt19937 random;
  std::uniform_real_distribution<double> uniform{0.0, 1.0};
  bool stalled = false;
  GstClockTime stall_start = GST_CLOCK_TIME_NONE;
  GstClockTime stall_end = GST_CLOCK_TIME_NONE;
  guint dropped = 0;
  guint passed = 0;
  std::vector<Arrival> arrivals;
};

// Upstream misbehaving: random losses and one long stall of the streaming
// thread, as a camera or a network source does.
GstPadProbeReturn chaos_probe(GstPad *, GstPadProbeInfo *, gpointer data) {
  auto *run = static_cast<Run *>(data);
  GstClockTime now = gst_clock_get_time(run->clock);
  GstClockTime base_time = run->base_time.load();
  if (!run->stalled && GST_CLOCK_TIME_IS_VALID(base_time) && now - base_time >= kStallAfter) {
    run->stalled = true;
    run->stall_start = now;
    g_usleep(kStallLength / GST_USECOND);
    run->stall_end = gst_clock_get_time(run->clock);
  }
  if (run->uniform(run->random) < kDropRatio) {
    run->dropped++;
    return GST_PAD_PROBE_DROP;
  }
  run->passed++;
  return GST_PAD_PROBE_OK;
}

void on_handoff(GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
  auto *run = static_cast<Run *>(data);
  run->arrivals.push_back({gst_clock_get_time(run->clock), GST_BUFFER_PTS(buffer),
                           GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_GAP) != 0});
}

bool start(Run &run, unsigned seed) {
  GError *error = nullptr;
  run.pipeline = gst_parse_launch(run.launch.c_str(), &error);
  if (!run.pipeline) {
    std::fprintf(stderr, "%s: %s\n", run.name.c_str(), error ? error->message : "no pipeline");
    g_clear_error(&error);
    return false;
  }
  run.random.seed(seed);
  run.clock = gst_system_clock_obtain();
  run.arrivals.reserve(4096);
  gst_pipeline_use_clock(GST_PIPELINE(run.pipeline), run.clock);
  GstElement *chaos = gst_bin_get_by_name(GST_BIN(run.pipeline), "chaos");
  GstPad *pad = gst_element_get_static_pad(chaos, "src");
  gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, chaos_probe, &run, nullptr);
  gst_object_unref(pad);
  gst_object_unref(chaos);
  GstElement *sink = gst_bin_get_by_name(GST_BIN(run.pipeline), "sink");
  g_signal_connect(sink, "handoff", G_CALLBACK(on_handoff), &run);
  gst_object_unref(sink);
  if (gst_element_set_state(run.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    std::fprintf(stderr, "%s: cannot play\n", run.name.c_str());
    return false;
  }
  gst_element_get_state(run.pipeline, nullptr, nullptr, 5 * GST_SECOND);
  run.base_time = gst_element_get_base_time(run.pipeline);
  return true;
}

// Errors posted while running; true when there were none.
bool stop(Run &run) {
  bool ok = true;
  GstBus *bus = gst_element_get_bus(run.pipeline);
  while (GstMessage *msg = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR)) {
    GError *error = nullptr;
    gst_message_parse_error(msg, &error, nullptr);
    std::fprintf(stderr, "%s: error: %s\n", run.name.c_str(), error->message);
    g_error_free(error);
    gst_message_unref(msg);
    ok = false;
  }
  gst_object_unref(bus);
  gst_element_set_state(run.pipeline, GST_STATE_NULL);
  gst_object_unref(run.pipeline);
  gst_object_unref(run.clock);
  return ok;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(std::ceil(p / 100.0 * v.size())) - 1;
  return v[std::min(i, v.size() - 1)];
}

// One line per output buffer, for a closer look: arrival and PTS relative to
// the pipeline's base time, and the GAP flag.
void dump(const Run &run, bool sync, const char *dir) {
  std::string path = std::string(dir) + "/" + run.name + (sync ? "-sync.csv" : "-nosync.csv");
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) return;
  std::fprintf(f, "arrival_ms,pts_ms,gap\n");
  for (const auto &x : run.arrivals)
    std::fprintf(f, "%.3f,%.3f,%d\n", (static_cast<double>(x.at) - run.base_time) / 1e6,
                 x.pts / 1e6, x.gap ? 1 : 0);
  std::fprintf(f, "# stall %.3f .. %.3f ms\n", (static_cast<double>(run.stall_start) - run.base_time) / 1e6,
               (static_cast<double>(run.stall_end) - run.base_time) / 1e6);
  std::fclose(f);
}

void report(const Run &run, bool sync) {
  const auto &a = run.arrivals;
  const double slot = static_cast<double>(run.slot);
  guint gaps = 0, missing = 0, duplicated = 0, shifted = 0;
  std::vector<double> deviation_ms, steady_ms;
  for (size_t i = 0; i < a.size(); i++) {
    gaps += a[i].gap;
    if (i == 0) continue;
    // The PTS timeline: every step should be exactly one slot.
    double step = static_cast<double>(a[i].pts) - static_cast<double>(a[i - 1].pts);
    long slots = std::lround(step / slot);
    if (slots <= 0) duplicated++;
    else missing += slots - 1;
    if (std::fabs(step - slots * slot) > GST_MSECOND) shifted++;
    double d = std::fabs((static_cast<double>(a[i].at) - static_cast<double>(a[i - 1].at)) - slot) / 1e6;
    deviation_ms.push_back(d);
    bool near_stall = a[i].at >= run.stall_start && a[i].at <= run.stall_end + 2 * GST_SECOND;
    if (!near_stall) steady_ms.push_back(d);
  }

  // Around the stall: slots left silent at the sink while upstream was held,
  // and the largest run of buffers arriving less than half a slot apart once
  // it ended.
  guint silent = 0, burst = 1, run_length = 1;
  for (size_t i = 1; i < a.size(); i++) {
    GstClockTime at = a[i].at;
    if (at > run.stall_start && at <= run.stall_end + GST_SECOND) {
      long slots = std::lround((static_cast<double>(at) - static_cast<double>(a[i - 1].at)) / slot);
      if (slots > 1) silent += slots - 1;
    }
    if (at > run.stall_end && at <= run.stall_end + 3 * GST_SECOND) {
      run_length = (at - a[i - 1].at < run.slot / 2) ? run_length + 1 : 1;
      burst = std::max(burst, run_length);
    }
  }

  std::printf("%-5s sink sync=%-5s out %4zu (gap %4u) | upstream passed %4u dropped %4u | "
              "PTS slots missing %u duplicated %u off-grid %u\n",
              run.name.c_str(), sync ? "true" : "false", a.size(), gaps, run.passed, run.dropped,
              missing, duplicated, shifted);
  std::printf("      arrival interval - slot (%.2f ms): p50 %.2f p99 %.2f max %.2f ms; "
              "away from the stall p50 %.2f p99 %.2f max %.2f ms\n",
              slot / 1e6, percentile(deviation_ms, 50), percentile(deviation_ms, 99),
              percentile(deviation_ms, 100), percentile(steady_ms, 50), percentile(steady_ms, 99),
              percentile(steady_ms, 100));
  std::printf("      stall %.0f ms: slots silent at the sink %u, largest burst after it %u\n",
              (static_cast<double>(run.stall_end) - static_cast<double>(run.stall_start)) / 1e6,
              silent, burst);
  double p99 = percentile(deviation_ms, 99);
  std::printf("      targets: no slot missing or duplicated %s, p99 <= 2 ms %s, burst <= missed slots %s\n",
              missing + duplicated == 0 ? "met" : "MISSED", p99 <= 2.0 ? "met" : "MISSED",
              burst <= std::max(silent, 1u) ? "met" : "MISSED");
}

std::string video_launch(bool sync) {
  return std::string("videotestsrc is-live=true pattern=black "
                     "! video/x-raw,format=I420,width=320,height=240,framerate=30/1 "
                     "! identity name=chaos ! livevideorate "
                     "! fakesink name=sink signal-handoffs=true sync=") + (sync ? "true" : "false");
}

std::string audio_launch(bool sync) {
  return std::string("audiotestsrc is-live=true samplesperbuffer=1920 wave=sine volume=0.1 "
                     "! audio/x-raw,format=S16LE,rate=48000,channels=2,layout=interleaved "
                     "! identity name=chaos ! liveaudiorate fill-framerate=25/1 "
                     "! fakesink name=sink signal-handoffs=true sync=") + (sync ? "true" : "false");
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = 15;
  unsigned seed = 20261207;
  const char *dump_dir = nullptr;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) seed = std::strtoul(argv[++i], nullptr, 10);
    else if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) dump_dir = argv[++i];
    else seconds = 0;
  }
  if (seconds < 10) {
    std::fprintf(stderr, "usage: %s [--seconds N (at least 10)] [--seed N] [--dump DIR]\n", argv[0]);
    return 2;
  }
  gst_init(nullptr, nullptr);
  gst_plugin_tollamar_register();
  std::printf("%d s per pipeline, %.0f %% random drops (seed %u), one %.0f s stall at %.0f s\n\n",
              seconds, kDropRatio * 100, seed, kStallLength / 1e9, kStallAfter / 1e9);

  bool ok = true;
  for (bool sync : {false, true}) {
    Run video, audio;
    video.name = "video";
    video.launch = video_launch(sync);
    video.slot = gst_util_uint64_scale_int(GST_SECOND, 1, 30);
    audio.name = "audio";
    audio.launch = audio_launch(sync);
    audio.slot = GST_SECOND / 25;
    if (!start(video, seed) || !start(audio, seed + 1)) return 1;
    g_usleep(static_cast<gulong>(seconds) * G_USEC_PER_SEC);
    ok = stop(video) && ok;
    ok = stop(audio) && ok;
    report(video, sync);
    report(audio, sync);
    if (dump_dir) {
      dump(video, sync, dump_dir);
      dump(audio, sync, dump_dir);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  // Lets the leaks tracer (GST_TRACERS=leaks) report anything left behind.
  gst_deinit();
  return ok ? 0 : 1;
}
