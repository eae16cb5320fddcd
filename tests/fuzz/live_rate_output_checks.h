// What the live-rate element's fuzz target checks on everything the element
// sends downstream. A probe on the element's source pad sees buffers and
// events in the order the output task pushes them, on the task's own thread.
#pragma once

#include <gst/audio/audio.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <atomic>
#include <cstdint>

#include "fuzz_check.h"
#include "gsttollamar.h"

namespace live_rate_fuzz {

// Upstream buffers carry their sequence number in the offset and are filled
// with its low byte, so a buffer downstream is known to be one of them,
// untouched. The element's own gap buffers have no offset.
inline guint8 fill_byte(guint64 id) { return static_cast<guint8>(id * 37 + 11); }

class OutputChecks {
 public:
  explicit OutputChecks(GstTollamar *element) : element_(element) {
    gst_segment_init(&segment_, GST_FORMAT_TIME);
    gst_pad_add_probe(element->srcpad,
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_DATA_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH),
                      &OutputChecks::probe, this, nullptr);
  }

  // Set by the fuzz target while what upstream sent since the last flush or
  // segment had non-decreasing timestamps.
  std::atomic<bool> upstream_in_order{true};
  std::atomic<uint64_t> buffers_seen{0};
  // Records the timestamp upstream buffer @id is sent with, before it is.
  void sent(guint64 id, GstClockTime pts) {
    if (id < kMaxBuffers)
      upstream_pts_[id] = pts;
  }

  // The element went through READY: a new stream starts.
  void restart() {
    new_timeline();
    have_last_real_ = false;
  }

  // The output grid starts again where the element says; ordering is checked
  // from there on. Called while the output task rests.
  void new_timeline() {
    upstream_in_order = true;
    last_running_time_ = GST_CLOCK_TIME_NONE;
    // With "skip-to-first" the next upstream buffer goes out whatever its
    // time and starts the grid again.
    next_real_starts_grid = true;
  }

  std::atomic<bool> next_real_starts_grid{false};

 private:
  static GstPadProbeReturn probe(GstPad *pad, GstPadProbeInfo *info, gpointer data) {
    auto *self = static_cast<OutputChecks *>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER)
      self->check_buffer(pad, GST_PAD_PROBE_INFO_BUFFER(info));
    else if (GST_PAD_PROBE_INFO_TYPE(info) & (GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM | GST_PAD_PROBE_TYPE_EVENT_FLUSH))
      self->follow_event(GST_PAD_PROBE_INFO_EVENT(info));
    else
      FUZZ_CHECK(false, "the element pushed a buffer list");
    return GST_PAD_PROBE_OK;
  }

  void follow_event(GstEvent *event) {
    switch (GST_EVENT_TYPE(event)) {
      case GST_EVENT_CAPS: {
        GstCaps *caps;
        gst_event_parse_caps(event, &caps);
        have_video_ = gst_video_info_from_caps(&video_, caps);
        have_audio_ = gst_audio_info_from_caps(&audio_, caps);
        // Frames of the old format never fill gaps in the new one.
        have_last_real_ = false;
        break;
      }
      case GST_EVENT_SEGMENT: {
        const GstSegment *segment;
        gst_event_parse_segment(event, &segment);
        gst_segment_copy_into(segment, &segment_);
        last_running_time_ = GST_CLOCK_TIME_NONE;
        break;
      }
      case GST_EVENT_FLUSH_STOP:
        last_running_time_ = GST_CLOCK_TIME_NONE;
        have_last_real_ = false;
        break;
      default:
        break;
    }
  }

  void check_buffer(GstPad *pad, GstBuffer *buf) {
    ++buffers_seen;
    for (GstEventType type : {GST_EVENT_STREAM_START, GST_EVENT_CAPS, GST_EVENT_SEGMENT}) {
      GstEvent *sticky = gst_pad_get_sticky_event(pad, type, 0);
      FUZZ_CHECK(sticky, "a buffer went downstream before any %s event", gst_event_type_get_name(type));
      gst_event_unref(sticky);
    }

    GstMapInfo map;
    FUZZ_CHECK(gst_buffer_map(buf, &map, GST_MAP_READ), "an output buffer cannot be mapped");
    if (GST_BUFFER_OFFSET(buf) != GST_BUFFER_OFFSET_NONE)
      check_real(buf, map);
    else
      check_gap(buf, map);
    gst_buffer_unmap(buf, &map);

    bool gap = GST_BUFFER_OFFSET(buf) == GST_BUFFER_OFFSET_NONE;
    if (!gap && next_real_starts_grid.exchange(false))
      last_running_time_ = GST_CLOCK_TIME_NONE;
    GstClockTime running_time = gst_segment_to_running_time(&segment_, GST_FORMAT_TIME, GST_BUFFER_PTS(buf));
    if (GST_CLOCK_TIME_IS_VALID(running_time)) {
      // In a segment that plays backwards upstream's rising timestamps are
      // falling running times, whatever restarted the checks since.
      if (GST_CLOCK_TIME_IS_VALID(last_running_time_) && upstream_in_order && segment_.rate > 0) {
        // An upstream buffer after gap buffers goes out when it reaches the
        // next due slot, so only its end is sure to lie past them; it may
        // start up to its own length before.
        GstClockTime compared = !gap && last_was_gap_ ? end_running_time(buf, running_time) : running_time;
        FUZZ_CHECK(compared >= last_running_time_,
                   "output running time went back from %" GST_TIME_FORMAT " to %" GST_TIME_FORMAT,
                   GST_TIME_ARGS(last_running_time_), GST_TIME_ARGS(compared));
      }
      last_running_time_ = running_time;
      last_was_gap_ = gap;
    }
  }

  // The end of an upstream buffer as the element reckons it: the duration,
  // or for video without one a frame of the caps rate, for audio the samples.
  GstClockTime end_running_time(GstBuffer *buf, GstClockTime running_time) {
    if (gst_tollamar_is_video(element_)) {
      if (GST_BUFFER_DURATION_IS_VALID(buf))
        return running_time + GST_BUFFER_DURATION(buf);
      if (have_video_ && GST_VIDEO_INFO_FPS_N(&video_) > 0)
        return running_time + gst_util_uint64_scale(GST_SECOND, GST_VIDEO_INFO_FPS_D(&video_),
                                                    GST_VIDEO_INFO_FPS_N(&video_));
      return running_time;
    }
    guint64 bytes_per_second = have_audio_ ? (guint64)GST_AUDIO_INFO_RATE(&audio_) * GST_AUDIO_INFO_BPF(&audio_) : 0;
    if (bytes_per_second == 0)
      return running_time;
    return running_time + gst_util_uint64_scale(gst_buffer_get_size(buf), GST_SECOND, bytes_per_second);
  }

  void check_real(GstBuffer *buf, const GstMapInfo &map) {
    guint64 id = GST_BUFFER_OFFSET(buf);
    // Audio that overlaps what went out loses its first samples, and its
    // offset moves on by as many; the fill byte still names the buffer.
    if (!gst_tollamar_is_video(element_) && map.size > 0) {
      guint64 offset = id;
      for (id = 0; id < kMaxBuffers && fill_byte(id) != map.data[0]; ++id) {
      }
      FUZZ_CHECK(id < kMaxBuffers && offset >= id, "upstream buffer at offset %" G_GUINT64_FORMAT " changed",
                 offset);
    }
    // A buffer outside the segment has no running time; the element places
    // it, and ordering holds again only from the next flush or segment.
    if (id >= kMaxBuffers || GST_BUFFER_PTS(buf) != upstream_pts_[id])
      upstream_in_order = false;
    FUZZ_CHECK(last_real_id_ == UINT64_MAX || id > last_real_id_,
               "upstream buffer %" G_GUINT64_FORMAT " went out after %" G_GUINT64_FORMAT, id, last_real_id_);
    last_real_id_ = id;
    for (gsize i = 0; i < map.size; ++i)
      FUZZ_CHECK(map.data[i] == fill_byte(id), "upstream buffer %" G_GUINT64_FORMAT " changed", id);
    have_last_real_ = true;
    last_real_fill_ = fill_byte(id);
    last_real_size_ = map.size;
  }

  void check_gap(GstBuffer *buf, const GstMapInfo &map) {
    FUZZ_CHECK(GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_GAP), "a generated buffer is not flagged GAP");
    FUZZ_CHECK(GST_BUFFER_PTS_IS_VALID(buf), "a gap buffer without timestamp");
    FUZZ_CHECK(GST_BUFFER_DURATION_IS_VALID(buf), "a gap buffer without duration");
    GstClockTime duration = GST_BUFFER_DURATION(buf);

    if (gst_tollamar_is_video(element_)) {
      FUZZ_CHECK(have_video_, "a video gap buffer without video caps downstream");
      // Gap frames last until the next one starts: a slot of the caps rate
      // (25/1 when it has none) stretched by the distortion (at most 2), or
      // a share of the span a catch-up fills, which ends on a real frame.
      guint64 n = GST_VIDEO_INFO_FPS_N(&video_) > 0 ? GST_VIDEO_INFO_FPS_N(&video_) : 25;
      guint64 d = GST_VIDEO_INFO_FPS_N(&video_) > 0 ? GST_VIDEO_INFO_FPS_D(&video_) : 1;
      GstClockTime high = 2 * gst_util_uint64_scale_ceil(GST_SECOND, d, n) + 1;
      FUZZ_CHECK(duration > 0 && duration <= high,
                 "video gap of %" GST_TIME_FORMAT " at %u/%u", GST_TIME_ARGS(duration), (guint)n, (guint)d);
      FUZZ_CHECK(map.size == GST_VIDEO_INFO_SIZE(&video_) || (have_last_real_ && map.size == last_real_size_),
                 "video gap of %" G_GSIZE_FORMAT " bytes", map.size);
      gint fill_mode = 0;
      g_object_get(element_, "fill-mode", &fill_mode, nullptr);
      if (fill_mode == GST_LIVE_VIDEO_RATE_FILL_MODE_LAST_FRAME && have_last_real_) {
        FUZZ_CHECK(map.size == last_real_size_, "the repeated frame has another size");
        for (gsize i = 0; i < map.size; ++i)
          FUZZ_CHECK(map.data[i] == last_real_fill_, "the repeated frame is not the last frame");
      }
    } else {
      FUZZ_CHECK(have_audio_, "an audio gap buffer without audio caps downstream");
      gint rate = GST_AUDIO_INFO_RATE(&audio_);
      gint bpf = GST_AUDIO_INFO_BPF(&audio_);
      FUZZ_CHECK(map.size % bpf == 0, "silence of %" G_GSIZE_FORMAT " bytes at %d bytes per frame", map.size, bpf);
      guint64 samples = map.size / bpf;
      // Both ends lie on whole samples: the duration is the samples' length,
      // each end rounded down to the nanosecond.
      GstClockTime exact = gst_util_uint64_scale(samples, GST_SECOND, rate);
      FUZZ_CHECK(duration + 1 >= exact && duration <= exact + 1,
                 "%" G_GUINT64_FORMAT " samples of silence last %" GST_TIME_FORMAT, samples,
                 GST_TIME_ARGS(duration));
      for (gsize i = 0; i < map.size && GST_AUDIO_INFO_FORMAT(&audio_) == GST_AUDIO_FORMAT_S16LE; ++i)
        FUZZ_CHECK(map.data[i] == 0, "silence is not silent");
    }
  }

  static constexpr guint64 kMaxBuffers = 256;
  std::atomic<GstClockTime> upstream_pts_[kMaxBuffers] = {};
  GstTollamar *element_;
  GstSegment segment_;
  GstVideoInfo video_;
  GstAudioInfo audio_;
  bool have_video_ = false;
  bool have_audio_ = false;
  GstClockTime last_running_time_ = GST_CLOCK_TIME_NONE;
  bool last_was_gap_ = false;
  guint64 last_real_id_ = UINT64_MAX;
  bool have_last_real_ = false;
  guint8 last_real_fill_ = 0;
  gsize last_real_size_ = 0;
};

}  // namespace live_rate_fuzz
