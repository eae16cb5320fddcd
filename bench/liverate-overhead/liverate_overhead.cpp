// CPU cost per buffer of livevideorate and liveaudiorate against queue, the
// element with the same hand-off from the upstream thread to a task of its
// own. Each element sits in the same GstHarness with a GstTestClock that moves
// to every buffer's timestamp, so buffers arrive at 25, 60 or 1000 per second
// of clock time and the figure is the element's own logic plus the hand-off,
// never a real wait. Rounds alternate the elements; the medians are compared.
//
// It also checks, by memory identity and not by timing, that video gap
// buffers share the memory of the frame they repeat.
//
//   liverate_overhead [--buffers N] [--rounds N] [--verbose]
#include <gst/check/gstharness.h>
#include <gst/check/gsttestclock.h>
#include <gst/gst.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "gsttollamar.h"

namespace {

enum class Media { Video, Audio };

struct Case {
  Media media;
  const char *element;
  int rate;  // buffers per second of clock time
};

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

double wall_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string caps_for(Media media, int rate) {
  if (media == Media::Video)
    return "video/x-raw, format=(string)I420, width=(int)1280, height=(int)720, "
           "framerate=(fraction)" + std::to_string(rate) + "/1";
  return "audio/x-raw, format=(string)S16LE, rate=(int)48000, channels=(int)2, "
         "layout=(string)interleaved";
}

gsize buffer_size(Media media, int rate) {
  if (media == Media::Video) return 1280 * 720 * 3 / 2;
  return 48000 / rate * 4;  // S16LE stereo: 4 bytes per frame
}

// A harness around @factory on a test clock at 0, playing, with caps sent.
GstHarness *start_harness(const Case &c) {
  GstHarness *h = gst_harness_new(c.element);
  gst_element_set_state(h->element, GST_STATE_READY);
  gst_harness_use_testclock(h);
  if (c.media == Media::Audio && std::strcmp(c.element, "liveaudiorate") == 0)
    g_object_set(h->element, "fill-framerate", c.rate, 1, nullptr);
  gst_element_set_state(h->element, GST_STATE_PLAYING);
  gst_harness_set_src_caps_str(h, caps_for(c.media, c.rate).c_str());
  return h;
}

void stop_harness(GstHarness *h) {
  gst_element_set_state(h->element, GST_STATE_NULL);
  gst_harness_teardown(h);
}

// The pushed buffers all share one block of memory, so the harness side costs
// the same for every element and no pixel or sample is touched.
struct Feeder {
  GstMemory *memory;
  GstClockTime slot;
  guint64 index = 0;

  Feeder(gsize size, int rate)
      : memory(gst_allocator_alloc(nullptr, size, nullptr)),
        slot(gst_util_uint64_scale_int(GST_SECOND, 1, rate)) {}
  ~Feeder() { gst_memory_unref(memory); }

  GstBuffer *next() {
    GstBuffer *buf = gst_buffer_new();
    gst_buffer_append_memory(buf, gst_memory_ref(memory));
    GST_BUFFER_PTS(buf) = index * slot;
    GST_BUFFER_DURATION(buf) = slot;
    index++;
    return buf;
  }
};

// Pushes one buffer at its own time on the test clock and pulls what comes
// out; false if the element did not hand back exactly that buffer.
bool one_buffer(GstHarness *h, GstTestClock *clock, Feeder &feeder) {
  GstBuffer *in = feeder.next();
  GstClockTime pts = GST_BUFFER_PTS(in);
  if (pts > gst_clock_get_time(GST_CLOCK(clock))) gst_test_clock_set_time(clock, pts);
  if (gst_harness_push(h, in) != GST_FLOW_OK) return false;
  GstBuffer *out = gst_harness_pull(h);
  if (!out) return false;
  bool same = GST_BUFFER_PTS(out) == pts && !GST_BUFFER_FLAG_IS_SET(out, GST_BUFFER_FLAG_GAP);
  gst_buffer_unref(out);
  return same;
}

struct Figure {
  double cpu_ns_per_buffer;
  double wall_ns_per_buffer;
};

// One round: a fresh harness, a warm-up, then @n timed buffers.
bool run_round(const Case &c, int n, Figure *figure) {
  GstHarness *h = start_harness(c);
  GstTestClock *clock = gst_harness_get_testclock(h);
  Feeder feeder(buffer_size(c.media, c.rate), c.rate);
  bool ok = true;
  for (int i = 0; i < 200 && ok; i++) ok = one_buffer(h, clock, feeder);
  double cpu0 = process_cpu_seconds(), wall0 = wall_seconds();
  for (int i = 0; i < n && ok; i++) ok = one_buffer(h, clock, feeder);
  double cpu1 = process_cpu_seconds(), wall1 = wall_seconds();
  gst_object_unref(clock);
  stop_harness(h);
  figure->cpu_ns_per_buffer = (cpu1 - cpu0) * 1e9 / n;
  figure->wall_ns_per_buffer = (wall1 - wall0) * 1e9 / n;
  if (!ok) std::fprintf(stderr, "%s at %d/s did not pass every buffer through\n", c.element, c.rate);
  return ok;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// Gap frames must be buffer copies sharing the memory of the frame they
// repeat: the last real frame in last-frame mode, the one cached black
// frame in black mode.
bool check_gap_memory(const char *fill_mode) {
  GstHarness *h = gst_harness_new("livevideorate");
  gst_element_set_state(h->element, GST_STATE_READY);
  gst_harness_use_testclock(h);
  gst_util_set_object_arg(G_OBJECT(h->element), "fill-mode", fill_mode);
  gst_element_set_state(h->element, GST_STATE_PLAYING);
  gst_harness_set_src_caps_str(h, caps_for(Media::Video, 25).c_str());
  Feeder feeder(buffer_size(Media::Video, 25), 25);

  gst_harness_push(h, feeder.next());
  GstBuffer *real = gst_harness_pull(h);
  GstBuffer *gaps[3] = {};
  bool ok = real != nullptr;
  for (auto &gap : gaps) {
    if (!ok) break;
    ok = gst_harness_crank_single_clock_wait(h) && (gap = gst_harness_pull(h)) &&
         GST_BUFFER_FLAG_IS_SET(gap, GST_BUFFER_FLAG_GAP);
  }
  bool last_frame = std::strcmp(fill_mode, "last-frame") == 0;
  if (ok) {
    GstMemory *source = last_frame ? gst_buffer_peek_memory(real, 0)
                                   : gst_buffer_peek_memory(gaps[0], 0);
    for (auto *gap : gaps) {
      ok = ok && gst_buffer_n_memory(gap) == 1 && gst_buffer_peek_memory(gap, 0) == source &&
           gap != real;
    }
    if (!last_frame) ok = ok && source != gst_buffer_peek_memory(real, 0);
  }
  std::printf("gap buffers, fill-mode %-10s: %s (%s)\n", fill_mode, ok ? "PASS" : "FAIL",
              last_frame ? "3 gaps share the memory of the last real frame"
                         : "3 gaps share one cached black frame, not the real frame's memory");
  for (auto *gap : gaps)
    if (gap) gst_buffer_unref(gap);
  if (real) gst_buffer_unref(real);
  stop_harness(h);
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  int n = 20000, rounds = 5;
  bool verbose = false;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--buffers") == 0 && i + 1 < argc) n = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--verbose") == 0) verbose = true;
    else n = 0;
  }
  if (n <= 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: %s [--buffers N] [--rounds N] [--verbose]\n", argv[0]);
    return 2;
  }
  gst_init(nullptr, nullptr);
  gst_plugin_tollamar_register();

  std::printf("%d rounds of %d buffers per element and rate, alternating; "
              "CPU = user + system of the whole process per buffer\n\n", rounds, n);
  std::printf("%-6s %-14s %12s %12s %12s %12s %8s %s\n", "rate/s", "element",
              "cpu ns/buf", "queue", "wall ns/buf", "queue", "ratio", "target");
  bool all_ok = true;
  for (Media media : {Media::Video, Media::Audio}) {
    const char *ours = media == Media::Video ? "livevideorate" : "liveaudiorate";
    for (int rate : {25, 60, 1000}) {
      Case element{media, ours, rate}, queue{media, "queue", rate};
      std::vector<double> e_cpu, q_cpu, e_wall, q_wall;
      for (int r = 0; r < rounds; r++) {
        Figure fe{}, fq{};
        // Alternate which goes first so a drift in machine load evens out.
        bool ok = (r % 2 == 0) ? run_round(element, n, &fe) && run_round(queue, n, &fq)
                               : run_round(queue, n, &fq) && run_round(element, n, &fe);
        all_ok = all_ok && ok;
        e_cpu.push_back(fe.cpu_ns_per_buffer);
        q_cpu.push_back(fq.cpu_ns_per_buffer);
        e_wall.push_back(fe.wall_ns_per_buffer);
        q_wall.push_back(fq.wall_ns_per_buffer);
      }
      if (verbose)
        for (int r = 0; r < rounds; r++)
          std::fprintf(stderr, "  round %d: %s cpu %.0f wall %.0f, queue cpu %.0f wall %.0f\n", r, ours, e_cpu[r], e_wall[r], q_cpu[r], q_wall[r]);
      double ratio = median(e_cpu) / median(q_cpu);
      std::printf("%-6d %-14s %12.0f %12.0f %12.0f %12.0f %8.3f <= 1.5 %s\n", rate, ours,
                  median(e_cpu), median(q_cpu), median(e_wall), median(q_wall), ratio,
                  ratio <= 1.5 ? "met" : "MISSED");
      std::fflush(stdout);
    }
  }
  std::printf("\n");
  all_ok = check_gap_memory("last-frame") && all_ok;
  all_ok = check_gap_memory("black") && all_ok;
  // Lets the leaks tracer (GST_TRACERS=leaks) report anything left behind.
  gst_deinit();
  return all_ok ? 0 : 1;
}
