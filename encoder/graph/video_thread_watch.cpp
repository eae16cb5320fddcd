#include "encoder/graph/video_thread_watch.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <numeric>

#include "encoder/control/send_lag.h"
#include "encoder/graph/settings.h"

namespace nerko {
namespace {

constexpr guint kTickMs = 250;

// Seconds all cores spent busy since boot, from the kernel's first line of
// /proc/stat (user nice system idle iowait irq softirq steal ...).
std::optional<double> host_busy_seconds() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  unsigned long long fields[8] = {};
  if (!(stat >> cpu) || cpu != "cpu")
    return std::nullopt;
  for (unsigned long long &field : fields)
    if (!(stat >> field))
      return std::nullopt;
  const unsigned long long all = std::accumulate(std::begin(fields), std::end(fields), 0ULL);
  return static_cast<double>(all - fields[3] - fields[4]) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double own_busy_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

VideoThreadWatch::VideoThreadWatch(ThreadAdaptation adaptation, SharedStreamSinks sinks,
                                   std::shared_ptr<VideoEncoderTap> video, std::FILE *console)
    : adaptation_(std::move(adaptation)), sinks_(std::move(sinks)), video_(std::move(video)), console_(console) {}

VideoThreadWatch::~VideoThreadWatch() {
  if (timer_id_ != 0)
    g_source_remove(timer_id_);
}

void VideoThreadWatch::start() { timer_id_ = g_timeout_add(kTickMs, on_tick, this); }

gboolean VideoThreadWatch::on_tick(gpointer data) {
  static_cast<VideoThreadWatch *>(data)->tick();
  return G_SOURCE_CONTINUE;
}

std::optional<double> VideoThreadWatch::other_cores() {
  const std::optional<double> host = host_busy_seconds();
  const double own = own_busy_seconds();
  const double now = static_cast<double>(g_get_monotonic_time()) / 1e6;
  std::optional<double> others;
  if (host && host_busy_ && read_at_ && now > *read_at_)
    others = std::max(0.0, (*host - *host_busy_ - (own - *own_busy_)) / (now - *read_at_));
  host_busy_ = host;
  own_busy_ = own;
  read_at_ = now;
  return others;
}

void VideoThreadWatch::tick() {
  PaceReading reading;
  reading.now = static_cast<GstClockTime>(g_get_monotonic_time()) * GST_USECOND;
  reading.other_cores = other_cores();
  const std::optional<uint32_t> waiting = video_->frames_waiting();
  if (!waiting)
    return;
  reading.frames_waiting = *waiting;
  {
    std::lock_guard<std::mutex> lock(sinks_->mutex);
    reading.lag = sender_lag(sinks_->video_rtp.get());
  }
  const std::optional<ThreadChange> change = adaptation_.observe(reading);
  if (change && video_->set_threads(change->to)) {
    std::fputs(thread_change_line(*change).c_str(), console_);
    std::fflush(console_);
  }
}

Result<std::optional<ThreadAdaptation>> read_thread_adaptation() {
  Result<bool> hold = read_bool_setting("NERKO_HOLD_VIDEO_THREADS", false);
  if (!hold)
    return hold.error();
  Result<VideoSettings> video = read_video_settings();
  if (hold.value() || !video)
    return std::optional<ThreadAdaptation>();
  ThreadAdaptation adaptation(video.value().encoder_threads(), g_get_num_processors());
  if (!adaptation.can_adapt())
    return std::optional<ThreadAdaptation>();
  return std::optional<ThreadAdaptation>(std::move(adaptation));
}

}  // namespace nerko
