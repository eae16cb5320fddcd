// The input side of livevideorate / liveaudiorate under fuzzed sequences of
// buffers, events, property changes, state changes and clock moves, in a
// GstHarness with a GstTestClock. Upstream behaves as GStreamer requires
// (stream-start, caps and a segment before data, a new segment after a
// flush), the rest is up to the input bytes.
//
// Checked: nothing GStreamer or GLib reports as CRITICAL or WARNING; the
// output task always comes to rest (waiting on the clock, holding, or
// paused) within a bound, so nothing deadlocks; the teardown ends; and on
// everything that goes downstream the checks of live_rate_output_checks.h.
#include <gst/check/gstharness.h>
#include <gst/check/gsttestclock.h>
#include <gst/gst.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_check.h"
#include "gsttollamar.h"
#include "live_rate_output_checks.h"

namespace live_rate_fuzz {
namespace {

// How long the task may keep running without coming to rest: far beyond what
// one operation takes, so only a task that never rests reaches it.
constexpr gint64 kRestLimitUs = 20 * G_USEC_PER_SEC;
constexpr int kMaxOperations = 64;
constexpr GstClockTime kMaxUpstreamTime = 60 * GST_SECOND;

const char *const kVideoCaps[] = {
    "video/x-raw,format=RGBx,width=16,height=8,framerate=25/1",
    "video/x-raw,format=I420,width=15,height=9,framerate=30000/1001",
    "video/x-raw,format=GRAY8,width=4,height=4,framerate=0/1",
    "video/x-raw,format=RGBx,width=8,height=2",
    "video/x-raw,format=NV12,width=6,height=4,framerate=1000/1",
    "video/x-raw,format=YUY2,width=2,height=2,framerate=1/5",
    "video/x-raw,format=v210,width=48,height=2,framerate=24/1",
    "video/x-raw,format=RGB,width=3,height=3,framerate=7/3,interlace-mode=interleaved",
    "video/x-raw,format=NV12_4L4,width=16,height=16,framerate=25/1",
    "video/x-raw,format=RGBx,width=16,height=8,framerate=2997/100",
    "audio/x-raw,format=S16LE,rate=48000,channels=1,layout=interleaved",
};

const char *const kAudioCaps[] = {
    "audio/x-raw,format=S16LE,rate=48000,channels=1,layout=interleaved",
    "audio/x-raw,format=F32LE,rate=44100,channels=2,layout=interleaved,channel-mask=(bitmask)0x3",
    "audio/x-raw,format=U8,rate=1,channels=1,layout=interleaved",
    "audio/x-raw,format=S24LE,rate=96000,channels=3,layout=non-interleaved,channel-mask=(bitmask)0x0",
    "audio/x-raw,format=S32BE,rate=8000,channels=1,layout=interleaved",
    "audio/x-raw,format=F64LE,rate=1000000,channels=1,layout=interleaved",
    "audio/x-raw,format=S16LE,rate=7,channels=2,layout=interleaved,channel-mask=(bitmask)0x3",
    "video/x-raw,format=RGBx,width=16,height=8,framerate=25/1",
};

const GstClockTime kSteps[] = {0,
                               1,
                               GST_MSECOND,
                               20 * GST_MSECOND,
                               GST_SECOND / 30,
                               40 * GST_MSECOND,
                               100 * GST_MSECOND,
                               GST_SECOND,
                               3 * GST_SECOND,
                               999 * GST_USECOND};

const GstClockTime kDurations[] = {GST_CLOCK_TIME_NONE, 0, 1, 20 * GST_MSECOND, 40 * GST_MSECOND,
                                   GST_SECOND / 30, 300 * GST_MSECOND, 5 * GST_SECOND};

const guint64 kMaxLateness[] = {0, 1, 20 * GST_MSECOND, 200 * GST_MSECOND, GST_SECOND, 3600 * GST_SECOND,
                                G_MAXUINT64};

const gint kFillRates[][2] = {{25, 1}, {50, 1}, {0, 1}, {30000, 1001}, {1, 7}, {1000, 1}, {3, 1}};

// Reads the input a byte at a time; zeros once it is used up.
class Bytes {
 public:
  Bytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  template <typename T, size_t N>
  const T &pick(const T (&table)[N]) {
    return table[next() % N];
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t pos_ = 0;
};

// A CRITICAL or WARNING from GLib or GStreamer is a finding. It aborts, so
// that libFuzzer keeps the input (a breakpoint trap would lose it).
GLogWriterOutput abort_on_warnings(GLogLevelFlags level, const GLogField *fields, gsize n_fields, gpointer) {
  GLogWriterOutput written = g_log_writer_standard_streams(level, fields, n_fields, nullptr);
  if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
    std::abort();
  return written;
}

void init_once() {
  static bool done = false;
  if (done)
    return;
  done = true;
  // Only the element under test is needed: no registry scan of the system's
  // plug-ins at every start.
  g_setenv("GST_REGISTRY_DISABLE", "yes", FALSE);
  gst_init(nullptr, nullptr);
  // So that the leaks tracer (GST_TRACERS=leaks) reports at exit.
  std::atexit([] { gst_deinit(); });
  g_log_set_writer_func(abort_on_warnings, nullptr, nullptr);
}

class Session {
 public:
  Session(bool video, Bytes &bytes) : video_(video), bytes_(bytes) {
    GstElement *element = GST_ELEMENT(
        g_object_new(video ? gst_live_video_rate_get_type() : gst_live_audio_rate_get_type(), nullptr));
    gst_object_ref_sink(element);
    h_ = gst_harness_new_with_element(element, "sink", "src");
    gst_object_unref(element);
    self_ = GST_TOLLAMAR(h_->element);
    // GstHarness plays its element at once; play it again on the test clock.
    gst_element_set_state(h_->element, GST_STATE_READY);
    gst_harness_use_testclock(h_);
    clock_ = gst_harness_get_testclock(h_);
    checks_ = new OutputChecks(self_);
    caps_ = gst_caps_from_string(video ? kVideoCaps[0] : kAudioCaps[0]);
    set_property(bytes_.next());
    play();
  }

  ~Session() {
    gst_element_set_state(h_->element, GST_STATE_NULL);
    drain();
    gst_object_unref(clock_);
    gst_harness_teardown(h_);
    gst_caps_unref(caps_);
    delete checks_;
  }

  void run() {
    for (int i = 0; i < kMaxOperations && !bytes_.empty(); ++i) {
      operate(bytes_.next());
      come_to_rest();
    }
    // Whatever the input, the output must go on at the pace of the clock.
    for (int i = 0; i < 3; ++i) {
      crank();
      come_to_rest();
    }
  }

 private:
  void operate(uint8_t op) {
    switch (op % 16) {
      case 0: case 1: case 2: case 3: case 4:
        push_buffer();
        break;
      case 5:
        gst_caps_unref(caps_);
        caps_ = gst_caps_from_string(video_ ? bytes_.pick(kVideoCaps) : bytes_.pick(kAudioCaps));
        send_stream_start();
        send(gst_event_new_caps(caps_));
        sent_caps_ = true;
        break;
      case 6:
        send_stream_start();
        send_caps();
        send_segment();
        break;
      case 7:
        send(gst_event_new_flush_start());
        if (bytes_.next() & 1)
          flush_stop();
        break;
      case 8:
        flush_stop();
        break;
      case 9:
        send_stream_head();
        send(gst_event_new_eos());
        break;
      case 10:
        send_stream_head();
        send(gst_event_new_gap(pts_valid_ ? pts_ : 0, bytes_.pick(kDurations)));
        break;
      case 11: {
        int n = 1 + bytes_.next() % 4;
        for (int i = 0; i < n; ++i) {
          crank();
          come_to_rest();
        }
        break;
      }
      case 12:
        gst_test_clock_advance_time(clock_, 1 + bytes_.pick(kSteps));
        break;
      case 13:
        set_property(bytes_.next());
        break;
      case 14:
        change_state(bytes_.next());
        break;
      case 15:
        downstream(bytes_.next());
        break;
    }
  }

  void push_buffer() {
    send_stream_head();
    uint8_t how = bytes_.next();
    GstClockTime step = bytes_.pick(kSteps);
    switch (how % 8) {
      case 6:  // back in time
        checks_->upstream_in_order = false;
        pts_ = pts_ > step ? pts_ - step : 0;
        break;
      case 7:  // no timestamp: the element places it, so what follows may
               // lie before that place
        pts_valid_ = false;
        checks_->upstream_in_order = false;
        break;
      default:
        pts_ += step;
        pts_valid_ = true;
        break;
    }
    // Upstream time stays within a minute, so that the slots the element
    // must fill stay countable at every frame rate in the tables.
    if (pts_ > kMaxUpstreamTime) {
      pts_ %= kMaxUpstreamTime;
      checks_->upstream_in_order = false;
    }
    gsize size = bytes_.next() * (1 + bytes_.next() % 16);
    GstBuffer *buf = gst_buffer_new_allocate(nullptr, size, nullptr);
    guint64 id = next_id_++;
    gst_buffer_memset(buf, 0, fill_byte(id), size);
    GST_BUFFER_OFFSET(buf) = id;
    GST_BUFFER_PTS(buf) = pts_valid_ ? pts_ : GST_CLOCK_TIME_NONE;
    checks_->sent(id, GST_BUFFER_PTS(buf));
    GST_BUFFER_DURATION(buf) = bytes_.pick(kDurations);
    uint8_t flags = bytes_.next();
    if (flags & 1)
      GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
    if (flags & 2)
      GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_GAP);
    if (flags & 4)
      GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT);
    gst_harness_push(h_, buf);
  }

  // What a well-behaved upstream sends before data, in GStreamer's order.
  void send_stream_start() {
    if (!sent_stream_start_) {
      gchar *id = g_strdup_printf("fuzz/%u", stream_number_++);
      send(gst_event_new_stream_start(id));
      g_free(id);
      sent_stream_start_ = true;
    }
  }

  void send_caps() {
    if (!sent_caps_) {
      send(gst_event_new_caps(caps_));
      sent_caps_ = true;
    }
  }

  void send_stream_head() {
    send_stream_start();
    send_caps();
    if (!sent_segment_) {
      GstSegment segment;
      gst_segment_init(&segment, GST_FORMAT_TIME);
      send(gst_event_new_segment(&segment));
      sent_segment_ = true;
    }
  }

  void send_segment() {
    static const gdouble rates[] = {1.0, 2.0, 0.5, -1.0};
    GstSegment segment;
    uint8_t how = bytes_.next();
    gst_segment_init(&segment, (how & 0x80) ? GST_FORMAT_BYTES : GST_FORMAT_TIME);
    segment.rate = rates[how % 4];
    segment.start = bytes_.pick(kSteps) * (bytes_.next() % 4);
    segment.time = segment.start;
    segment.base = bytes_.pick(kSteps) * (bytes_.next() % 4);
    if (how & 0x40 || segment.rate < 0)
      segment.stop = segment.start + bytes_.pick(kSteps) * (1 + bytes_.next() % 100);
    segment.position = segment.start;
    send(gst_event_new_segment(&segment));
    sent_segment_ = true;
    // Playing backwards, rising timestamps are falling running times.
    checks_->upstream_in_order = segment.rate > 0;
  }

  void flush_stop() {
    send(gst_event_new_flush_stop(bytes_.next() & 1));
    // GStreamer wants a new segment after a flush.
    sent_segment_ = false;
    checks_->upstream_in_order = true;
  }

  void send(GstEvent *event) { gst_harness_push_event(h_, event); }

  void set_property(uint8_t which) {
    switch (which % 4) {
      case 0:
        g_object_set(h_->element, "max-lateness", bytes_.pick(kMaxLateness), nullptr);
        break;
      case 1:
        g_object_set(h_->element, "skip-to-first", (gboolean)(bytes_.next() & 1), nullptr);
        // Turned on while playing, the next buffer starts a new grid.
        checks_->new_timeline();
        break;
      case 2:
        if (video_) {
          g_object_set(h_->element, "fill-mode", (gint)(bytes_.next() & 1), nullptr);
        } else {
          const gint(&rate)[2] = bytes_.pick(kFillRates);
          g_object_set(h_->element, "fill-framerate", rate[0], rate[1], nullptr);
        }
        break;
      case 3:
        break;
    }
  }

  void play() {
    FUZZ_CHECK(gst_element_set_state(h_->element, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE,
               "the element refuses to play");
  }

  void change_state(uint8_t how) {
    switch (how % 3) {
      case 0:  // pause and resume
        FUZZ_CHECK(gst_element_set_state(h_->element, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE,
                   "the element refuses to pause");
        come_to_rest();
        // Playing again anchors the output at the clock, which the fuzzed
        // upstream may have run ahead of.
        checks_->new_timeline();
        play();
        break;
      case 1:  // stop and start again: upstream starts a new stream
        FUZZ_CHECK(gst_element_set_state(h_->element, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE,
                   "the element refuses to stop");
        sent_stream_start_ = sent_caps_ = sent_segment_ = false;
        // Deactivating the pads ended any flush.
        downstream_flushing_ = false;
        checks_->restart();
        play();
        break;
      case 2:  // the latency query of a pipeline going live
        gst_harness_query_latency(h_);
        break;
    }
  }

  // Events and queries from downstream.
  void downstream(uint8_t how) {
    switch (how % 4) {
      case 0:
        gst_harness_push_upstream_event(h_, gst_event_new_flush_start());
        downstream_flushing_ = true;
        break;
      case 1:
        // GStreamer's rules hold downstream too: a flush-stop follows a
        // flush-start. A lone one strips the source pad's segment before
        // the element hears of it, while its task may be pushing.
        if (!downstream_flushing_)
          gst_harness_push_upstream_event(h_, gst_event_new_flush_start());
        gst_harness_push_upstream_event(h_, gst_event_new_flush_stop(TRUE));
        downstream_flushing_ = false;
        sent_segment_ = false;
        checks_->upstream_in_order = true;
        break;
      case 2:
        gst_harness_push_upstream_event(
            h_, gst_event_new_seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_SET, 0,
                                   GST_SEEK_TYPE_NONE, GST_CLOCK_TIME_NONE));
        break;
      case 3: {
        GstQuery *query = gst_query_new_allocation(caps_, TRUE);
        FUZZ_CHECK(!gst_pad_peer_query(h_->srcpad, query), "the element answered an allocation query");
        gst_query_unref(query);
        break;
      }
    }
  }

  // Moves the clock to the task's next deadline, if it waits for one.
  void crank() {
    if (gst_test_clock_peek_next_pending_id(clock_, nullptr))
      gst_test_clock_crank(clock_);
  }

  // The output task is at rest when it waits on the clock with nothing
  // queued, or when it is not meant to run (holding for PLAYING, paused after
  // a flush or an error). Anything else must end within the limit.
  void come_to_rest() {
    gint64 limit = g_get_monotonic_time() + kRestLimitUs;
    for (;;) {
      drain();
      gst_tollamar_lock(self_);
      bool queued = !gst_queue_array_is_empty(self_->queue);
      bool runs = self_->flow_return == GST_FLOW_EOS || (self_->flow_return == GST_FLOW_OK && !self_->waiting);
      gst_tollamar_unlock(self_);
      runs = runs && gst_pad_get_task_state(self_->srcpad) == GST_TASK_STARTED;
      bool waits = gst_test_clock_peek_next_pending_id(clock_, nullptr);
      if ((waits && !queued) || !runs)
        return;
      FUZZ_CHECK(g_get_monotonic_time() < limit, "the output task never comes to rest (queued %d, waits %d)",
                 queued, waits);
      gst_test_clock_timed_wait_for_multiple_pending_ids(clock_, 1, 1, nullptr);
    }
  }

  void drain() {
    while (GstBuffer *buf = gst_harness_try_pull(h_))
      gst_buffer_unref(buf);
    while (GstEvent *event = gst_harness_try_pull_event(h_))
      gst_event_unref(event);
    while (GstEvent *event = gst_harness_try_pull_upstream_event(h_))
      gst_event_unref(event);
  }

  bool video_;
  Bytes &bytes_;
  GstHarness *h_;
  GstTollamar *self_;
  GstTestClock *clock_;
  OutputChecks *checks_;
  GstCaps *caps_;
  GstClockTime pts_ = 0;
  bool pts_valid_ = true;
  guint64 next_id_ = 0;
  guint stream_number_ = 0;
  bool sent_stream_start_ = false;
  bool sent_caps_ = false;
  bool sent_segment_ = false;
  bool downstream_flushing_ = false;
};

}  // namespace
}  // namespace live_rate_fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  live_rate_fuzz::init_once();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  live_rate_fuzz::init_once();
  live_rate_fuzz::Bytes bytes(data, size);
  bool video = bytes.next() & 1;
  live_rate_fuzz::Session session(video, bytes);
  session.run();
  return 0;
}
