// How evenly livevideorate and liveaudiorate pace a live stream that loses
// buffers and stalls, in real time on the system clock.
//
// Each pipeline is a live test source, an identity whose pad probe drops 20 %
// of the buffers at random (fixed seed) and, like a valve, drops everything
// during stalls of 0.5, 1, 2, 5 and 10 s (3 s of play before each), then the
// element and a fakesink whose handoff records when every buffer arrives,
// its PTS, duration, size and GAP flag:
//
//   videotestsrc is-live=true ! 320x240 I420 30/1 ! identity ! livevideorate ! fakesink
//   the same, with the probe moving every PTS by N(0, 8 ms), as a source that
//     timestamps on arrival does ("video-jitter")
//   audiotestsrc is-live=true samplesperbuffer=S ! 48 kHz S16LE stereo ! identity
//     ! liveaudiorate fill-framerate=25/1 ! fakesink
//   with S = 480, 960, 1024 and 1920 (10, 20, 21.3 and 40 ms buffers)
//
// All pipelines run side by side, first with the sink not syncing (arrivals
// are the element's own push times), then syncing (arrivals are presentation
// times). For each it reports the PTS timeline (video: slots missing or
// duplicated, for jittered video only where gap frames meet real ones; both: holes and overlaps between one buffer's end and the next
// one's start, beyond 1 ms for video and one sample for audio; audio: samples
// sent against the span they cover), p50/p99/max deviation of the arrival
// intervals from the earlier buffer's duration, and per stall the longest silence at the
// sink and the largest burst after it.
//
//   liverate_pacing [--seed N] [--stalls S,S,...] [--dump DIR]
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

const GstClockTime kPlayBetween = 3 * GST_SECOND;  // before each stall and after the last
const double kDropRatio = 0.2;
const double kJitter = 8e6;  // ns, standard deviation

struct Arrival {
  GstClockTime at;  // system clock time of the handoff
  GstClockTime pts;
  GstClockTime duration;
  gsize size;
  bool gap;
};

// Stalls as running times: [start, end) each.
std::vector<std::pair<GstClockTime, GstClockTime>> g_stalls;

struct Run {
  std::string name;
  std::string launch;
  GstClockTime slot;
  int bytes_per_sample = 0;  // audio: per frame of all channels; 0 for video
  bool jitter = false;
  GstClock *clock = nullptr;
  GstElement *pipeline = nullptr;
  // Written by the application thread once PLAYING, read by the probe.
  std::atomic<GstClockTime> base_time{GST_CLOCK_TIME_NONE};
  std::mt19937 random;
  std::uniform_real_distribution<double> uniform{0.0, 1.0};
  std::normal_distribution<double> normal{0.0, kJitter};
  guint dropped = 0;
  guint passed = 0;
  std::vector<Arrival> arrivals;
};

// Upstream misbehaving: random losses, and stalls during which a valve drops
// everything, as a camera or a network source does.
GstPadProbeReturn chaos_probe(GstPad *, GstPadProbeInfo *info, gpointer data) {
  auto *run = static_cast<Run *>(data);
  GstClockTime base_time = run->base_time.load();
  if (GST_CLOCK_TIME_IS_VALID(base_time)) {
    GstClockTime now = gst_clock_get_time(run->clock) - base_time;
    for (const auto &stall : g_stalls)
      if (now >= stall.first && now < stall.second) {
        run->dropped++;
        return GST_PAD_PROBE_DROP;
      }
  }
  if (run->uniform(run->random) < kDropRatio) {
    run->dropped++;
    return GST_PAD_PROBE_DROP;
  }
  if (run->jitter) {
    GstBuffer *buf = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    double moved = static_cast<double>(GST_BUFFER_PTS(buf)) + run->normal(run->random);
    GST_BUFFER_PTS(buf) = moved > 0 ? static_cast<GstClockTime>(moved) : 0;
    GST_PAD_PROBE_INFO_DATA(info) = buf;
  }
  run->passed++;
  return GST_PAD_PROBE_OK;
}

void on_handoff(GstElement *, GstBuffer *buffer, GstPad *, gpointer data) {
  auto *run = static_cast<Run *>(data);
  run->arrivals.push_back({gst_clock_get_time(run->clock), GST_BUFFER_PTS(buffer),
                           GST_BUFFER_DURATION(buffer), gst_buffer_get_size(buffer),
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
  run.arrivals.reserve(16384);
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
// the pipeline's base time, duration, size and the GAP flag.
void dump(const Run &run, bool sync, const char *dir) {
  std::string path = std::string(dir) + "/" + run.name + (sync ? "-sync.csv" : "-nosync.csv");
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) return;
  std::fprintf(f, "arrival_ms,pts_ms,duration_ms,bytes,gap\n");
  for (const auto &x : run.arrivals)
    std::fprintf(f, "%.3f,%.3f,%.3f,%zu,%d\n", (static_cast<double>(x.at) - run.base_time) / 1e6,
                 x.pts / 1e6, x.duration / 1e6, x.size, x.gap ? 1 : 0);
  for (const auto &stall : g_stalls)
    std::fprintf(f, "# stall %.3f .. %.3f ms\n", stall.first / 1e6, stall.second / 1e6);
  std::fclose(f);
}

void report(const Run &run, bool sync) {
  const auto &a = run.arrivals;
  const double slot = static_cast<double>(run.slot);
  const bool audio = run.bytes_per_sample > 0;
  // Audio: one sample; video: 1 ms.
  const double tolerance = audio ? 1e9 / 48000 : 1e6;
  guint gaps = 0, missing = 0, duplicated = 0, holes = 0, overlaps = 0;
  double worst_hole = 0, worst_overlap = 0, samples = 0;
  std::vector<double> deviation_ms, steady_ms;
  auto near_stall = [&](GstClockTime at) {
    double t = static_cast<double>(at) - run.base_time;
    for (const auto &stall : g_stalls)
      if (t >= stall.first && t <= stall.second + 2e9) return true;
    return false;
  };
  for (size_t i = 0; i < a.size(); i++) {
    gaps += a[i].gap;
    if (audio) samples += static_cast<double>(a[i].size) / run.bytes_per_sample;
    if (i == 0) continue;
    double step = static_cast<double>(a[i].pts) - static_cast<double>(a[i - 1].pts);
    if (!audio && (!run.jitter || a[i].gap || a[i - 1].gap)) {
      // The PTS timeline in slots (for jittered video where gaps meet it).
      long slots = std::lround(step / slot);
      if (slots <= 0) duplicated++;
      else missing += slots - 1;
    }
    // One buffer's end against the next one's start; between real frames
    // of jittered video that is the input's own jitter, so only steps that
    // involve a gap buffer count there.
    if (!run.jitter || a[i].gap || a[i - 1].gap) {
      double off = step - static_cast<double>(a[i - 1].duration);
      if (off > tolerance) holes++, worst_hole = std::max(worst_hole, off);
      if (-off > tolerance) overlaps++, worst_overlap = std::max(worst_overlap, -off);
    }
    // Arrivals should be as far apart as the earlier buffer lasts.
    double length = GST_CLOCK_TIME_IS_VALID(a[i - 1].duration) ? static_cast<double>(a[i - 1].duration) : slot;
    double d = std::fabs((static_cast<double>(a[i].at) - static_cast<double>(a[i - 1].at)) - length) / 1e6;
    deviation_ms.push_back(d);
    if (!near_stall(a[i].at)) steady_ms.push_back(d);
  }

  std::printf("%-12s sync=%-5s out %5zu (gap %4u) | upstream passed %4u dropped %4u",
              run.name.c_str(), sync ? "true" : "false", a.size(), gaps, run.passed, run.dropped);
  if (!audio) std::printf(" | slots missing %u duplicated %u", missing, duplicated);
  std::printf("\n             holes %u (max %.2f ms) overlaps %u (max %.2f ms)", holes, worst_hole / 1e6,
              overlaps, worst_overlap / 1e6);
  if (audio && !a.empty()) {
    double span = static_cast<double>(a.back().pts + a.back().duration) - static_cast<double>(a.front().pts);
    std::printf(" | samples - span %.1f ms", (samples / 48000.0 - span / 1e9) * 1e3);
  }
  std::printf("\n             arrival interval - buffer duration: p50 %.2f p99 %.2f max %.2f ms; "
              "away from stalls p50 %.2f p99 %.2f max %.2f ms\n",
              percentile(deviation_ms, 50), percentile(deviation_ms, 99),
              percentile(deviation_ms, 100), percentile(steady_ms, 50), percentile(steady_ms, 99),
              percentile(steady_ms, 100));

  // Per stall: the longest silence at the sink from its start to 1 s after
  // it, and the largest run of buffers arriving less than half their
  // duration apart in the 3 s after it.
  std::printf("             stall s: longest silence ms / burst after");
  for (const auto &stall : g_stalls) {
    double from = run.base_time + static_cast<double>(stall.first);
    double to = run.base_time + static_cast<double>(stall.second);
    double silence = 0;
    guint burst = 1, run_length = 1;
    for (size_t i = 1; i < a.size(); i++) {
      double at = static_cast<double>(a[i].at), before = static_cast<double>(a[i - 1].at);
      if (at > from && before < to + 1e9) silence = std::max(silence, at - before);
      if (at > to && at <= to + 3e9) {
        double length = GST_CLOCK_TIME_IS_VALID(a[i - 1].duration) ? static_cast<double>(a[i - 1].duration) : slot;
        run_length = (at - before < length / 2) ? run_length + 1 : 1;
        burst = std::max(burst, run_length);
      }
    }
    std::printf("  %.1f: %.1f/%u", (stall.second - stall.first) / 1e9, silence / 1e6, burst);
  }
  std::printf("\n");
}

std::string video_launch(bool sync) {
  return std::string("videotestsrc is-live=true pattern=black "
                     "! video/x-raw,format=I420,width=320,height=240,framerate=30/1 "
                     "! identity name=chaos ! livevideorate "
                     "! fakesink name=sink signal-handoffs=true sync=") + (sync ? "true" : "false");
}

std::string audio_launch(bool sync, int samples_per_buffer) {
  return "audiotestsrc is-live=true samplesperbuffer=" + std::to_string(samples_per_buffer) +
         " wave=sine volume=0.1 "
         "! audio/x-raw,format=S16LE,rate=48000,channels=2,layout=interleaved "
         "! identity name=chaos ! liveaudiorate fill-framerate=25/1 "
         "! fakesink name=sink signal-handoffs=true sync=" + (sync ? "true" : "false");
}

}  // namespace

int main(int argc, char **argv) {
  unsigned seed = 20261207;
  const char *dump_dir = nullptr;
  std::string stalls = "0.5,1,2,5,10";
  bool usage = false;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) seed = std::strtoul(argv[++i], nullptr, 10);
    else if (std::strcmp(argv[i], "--stalls") == 0 && i + 1 < argc) stalls = argv[++i];
    else if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) dump_dir = argv[++i];
    else usage = true;
  }
  GstClockTime t = kPlayBetween;
  for (size_t pos = 0; !usage && pos < stalls.size();) {
    size_t comma = stalls.find(',', pos);
    double length = std::atof(stalls.substr(pos, comma - pos).c_str());
    if (length <= 0) usage = true;
    GstClockTime end = t + static_cast<GstClockTime>(length * 1e9);
    g_stalls.emplace_back(t, end);
    t = end + kPlayBetween;
    pos = comma == std::string::npos ? stalls.size() : comma + 1;
  }
  if (usage || g_stalls.empty()) {
    std::fprintf(stderr, "usage: %s [--seed N] [--stalls S,S,... (seconds)] [--dump DIR]\n", argv[0]);
    return 2;
  }
  gst_init(nullptr, nullptr);
  gst_plugin_tollamar_register();
  std::printf("%.1f s per pipeline, %.0f %% random drops (seed %u), stalls of %s s with %.0f s of play "
              "before each\n\n",
              t / 1e9, kDropRatio * 100, seed, stalls.c_str(), kPlayBetween / 1e9);

  bool ok = true;
  for (bool sync : {false, true}) {
    std::vector<Run> runs(6);
    runs[0].name = "video";
    runs[0].launch = video_launch(sync);
    runs[1].name = "video-jitter";
    runs[1].launch = video_launch(sync);
    runs[1].jitter = true;
    for (int i = 0; i < 2; i++) runs[i].slot = gst_util_uint64_scale_int(GST_SECOND, 1, 30);
    const int sizes[] = {480, 960, 1024, 1920};
    for (int i = 0; i < 4; i++) {
      Run &run = runs[2 + i];
      run.name = "audio-" + std::to_string(sizes[i]);
      run.launch = audio_launch(sync, sizes[i]);
      run.slot = GST_SECOND / 25;
      run.bytes_per_sample = 4;
    }
    for (size_t i = 0; i < runs.size(); i++)
      if (!start(runs[i], seed + static_cast<unsigned>(i))) return 1;
    g_usleep(t / GST_USECOND);
    for (Run &run : runs) ok = stop(run) && ok;
    for (Run &run : runs) {
      report(run, sync);
      if (dump_dir) dump(run, sync, dump_dir);
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  // Lets the leaks tracer (GST_TRACERS=leaks) report anything left behind.
  gst_deinit();
  return ok ? 0 : 1;
}
