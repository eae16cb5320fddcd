#include "prometheus_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "build_revision.h"
#include "prometheus_text.h"

namespace nerko {
namespace {

std::string system_error(int error) { return std::strerror(error); }

// Every byte of `text`, however the kernel splits the writes.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

std::optional<std::string> write_file_atomically(const std::string &path, std::string_view text) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  // rename is atomic only within one file system: the temporary file lives in
  // the target's own directory.
  const fs::path temporary = target.parent_path() / ("." + target.filename().string() + "." +
                                                     std::to_string(::getpid()) + ".tmp");
  // A leftover of an earlier run with our process id, or a link someone put
  // there, is removed rather than written through. Readable by the exporter,
  // which usually runs as another user.
  ::unlink(temporary.c_str());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0)
    return system_error(errno);
  bool written = write_all(fd, text);
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && ::rename(temporary.c_str(), target.c_str()) == 0)
    return std::nullopt;
  if (written)
    error = errno;
  ::unlink(temporary.c_str());
  return system_error(error);
}

void export_prometheus_tick(PrometheusExport &target, const SenderCounts &counts, bool ready, std::FILE *err,
                            const SendLag &lag, const InputHealth *input) {
  auto failure = write_file_atomically(target.path,
                                       prometheus_text(counts, ready, build_revision, target.channel, lag, input));
  if (failure && !target.failing)
    std::fprintf(err, "Warning, failed to write Prometheus file %s: %s\n", target.path.c_str(), failure->c_str());
  target.failing = failure.has_value();
}

}  // namespace nerko
