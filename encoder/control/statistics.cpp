#include "encoder/control/statistics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "encoder/control/build_revision.h"
#include "encoder/control/prometheus_file.h"

namespace nerko {
namespace {

bool audio_started_flowing(uint64_t last_audio_rtp, uint64_t audio_rtp) {
  // The first non-zero count only proves one burst; growth from it proves flow.
  return last_audio_rtp != 0 && last_audio_rtp < audio_rtp;
}

// The file is truncated and then filled by one write(2) of the whole line:
// a reader polling it sees it empty for a moment, never a part of a line.
// Buffered stdio gives no such promise.
Status write_statistics_file(const std::string &path, const std::string &line, std::FILE *err) {
  // Opened without blocking: a named pipe that nobody reads would otherwise
  // hold the main loop in open() forever. It fails with ENXIO instead, a
  // warning like any other unopenable path. The write itself blocks as usual.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    std::fprintf(err, "Warning, failed to open file %s for writing: %s\n", path.c_str(), std::strerror(errno));
    return std::nullopt;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  ssize_t written = write(fd, line.data(), line.size());
  int write_errno = errno;
  if (written < 0 && write_errno == EPIPE) {
    // The pipe's reader left between the open and the write: like a pipe
    // without a reader at open time, this tick is lost, not the run.
    close(fd);
    std::fprintf(err, "Warning, failed to open file %s for writing: %s\n", path.c_str(), std::strerror(EPIPE));
    return std::nullopt;
  }
  if (written >= 0 && static_cast<size_t>(written) != line.size())
    write_errno = ENOSPC;  // a short write to a regular file means the device is full
  bool complete = written >= 0 && static_cast<size_t>(written) == line.size();
  // Some file systems report a failed write only when the file is closed.
  if (close(fd) != 0 && complete) {
    complete = false;
    write_errno = errno;
  }
  if (!complete)
    return EncoderError::fatal(std::string("Failed to write to bytes served file: ") + std::strerror(write_errno));
  return std::nullopt;
}

// Less than this is jitter and queueing an operator need not hear about.
constexpr GstClockTimeDiff kBehindWarning = GST_SECOND;

void warn_if_behind(const char *kind, const std::optional<GstClockTimeDiff> &lag, std::FILE *err) {
  if (!lag || *lag <= kBehindWarning)
    return;
  // A decimal point whatever the locale, like every other number we print.
  char seconds[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(seconds, sizeof seconds, "%.1f", static_cast<double>(*lag) / GST_SECOND);
  std::fprintf(err, "Warning, %s is %s s behind real time\n", kind, seconds);
}

}  // namespace

uint64_t bytes_served(GstElement *sender) {
  if (!sender)
    return 0;
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(sender), "bytes-served");
  if (!pspec || !(pspec->flags & G_PARAM_READABLE) || pspec->value_type != G_TYPE_UINT64)
    return 0;
  guint64 value = 0;
  g_object_get(sender, "bytes-served", &value, nullptr);
  return value;
}

SenderCounts read_sender_counts(const StreamSinks &sinks) {
  return {bytes_served(sinks.video_rtp.get()), bytes_served(sinks.video_rtcp.get()),
          bytes_served(sinks.audio_rtp.get()), bytes_served(sinks.audio_rtcp.get())};
}

std::string statistics_line(const SenderCounts &c) {
  return std::string("nerko-encoder (") + build_revision + "): Video RTP:" + std::to_string(c.video_rtp) +
         ", Video RTCP:" + std::to_string(c.video_rtcp) + ", Audio RTP:" + std::to_string(c.audio_rtp) +
         ", Audio RTCP:" + std::to_string(c.audio_rtcp) + ", Total:" + std::to_string(c.total()) + "\n";
}

Status report_tick(StatsTimerContext &context, const SenderCounts &counts, std::FILE *out, std::FILE *err,
                   const SendLag &lag, const InputHealth *input, const std::vector<AlarmSample> *alarms) {
  std::string line = statistics_line(counts);
  std::fputs(line.c_str(), out);
  std::fputs("\n", out);
  if (!context.ready_printed && audio_started_flowing(context.last_audio_rtp_bytes, counts.audio_rtp)) {
    std::fputs("\x1b[32mREADY FOR PLAYBACK\x1b[0m\n\n", out);
    context.ready_printed = true;
  }
  context.last_audio_rtp_bytes = counts.audio_rtp;
  if (context.write_stats_file)
    if (Status failure = write_statistics_file(context.stats_path, line, err))
      return failure;
  warn_if_behind("video", lag.video, err);
  warn_if_behind("audio", lag.audio, err);
  if (context.prometheus)
    export_prometheus_tick(*context.prometheus, counts, context.ready_printed, err, lag, input, alarms,
                           context.video_threads ? std::optional<uint32_t>(context.video_threads()) : std::nullopt);
  return std::nullopt;
}

gboolean on_stats_tick(gpointer data) {
  auto *context = static_cast<StatsTimerContext *>(data);
  // The run is ending on a fatal stop: nothing more is reported.
  if (context->outcome->end == RunEnd::FatalStop)
    return TRUE;
  // Read before the senders are locked: no other lock is taken under theirs.
  std::optional<InputHealth> input;
  if (context->keep_alive)
    input = context->keep_alive->health();
  std::optional<std::vector<AlarmSample>> alarms;
  if (context->alarms)
    alarms = context->alarms->alarms();
  // Held for the whole tick, file included: a branch being built waits for
  // it, and it never reads a session that is only half recorded.
  std::lock_guard<std::mutex> lock(context->sinks->mutex);
  Status failure = report_tick(*context, read_sender_counts(*context->sinks), stdout, stderr,
                               read_send_lag(*context->sinks), input ? &*input : nullptr, alarms ? &*alarms : nullptr);
  if (failure)
    end_run(*context->outcome, context->main_loop.get(), RunEnd::FatalStop, failure->message());
  return TRUE;
}

}  // namespace nerko
