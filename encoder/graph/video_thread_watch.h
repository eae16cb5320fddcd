// Four times a second, on the main loop: how far the video sent lags real time,
// how many frames wait for the encoder and how busy the rest of the host is,
// for the thread adaptation; a change it decides reaches the encoder through
// the tap and the console as one line on standard error.
#pragma once

#include <glib.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

#include "encoder/control/encoder_error.h"
#include "encoder/control/stream_sinks.h"
#include "encoder/graph/thread_adaptation.h"
#include "encoder/graph/video_encoder_tap.h"

namespace nerko {

class VideoThreadWatch {
 public:
  VideoThreadWatch(ThreadAdaptation adaptation, SharedStreamSinks sinks, std::shared_ptr<VideoEncoderTap> video,
                   std::FILE *console);
  ~VideoThreadWatch();
  VideoThreadWatch(const VideoThreadWatch &) = delete;
  VideoThreadWatch &operator=(const VideoThreadWatch &) = delete;

  void start();
  // The threads the encoder works with now.
  uint32_t threads() const { return adaptation_.threads(); }

 private:
  static gboolean on_tick(gpointer data);
  void tick();
  std::optional<double> other_cores();

  ThreadAdaptation adaptation_;
  SharedStreamSinks sinks_;
  std::shared_ptr<VideoEncoderTap> video_;
  std::FILE *console_;
  guint timer_id_ = 0;
  // Where the last reading left the host's busy time and our own, in seconds.
  std::optional<double> host_busy_, own_busy_, read_at_;
};

// NERKO_HOLD_VIDEO_THREADS, NERKO_VIDEO_THREADS and the host's cores: the
// adaptation of a channel that may give up threads, nullopt for one held at
// its count or with nothing to give up. A malformed hold is a FatalStop error;
// a malformed thread count is left to the video branch, which reports it.
Result<std::optional<ThreadAdaptation>> read_thread_adaptation();

}  // namespace nerko
