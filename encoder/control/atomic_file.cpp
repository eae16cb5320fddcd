#include "encoder/control/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace nerko {
namespace {

// Every byte of `text`, however the kernel splits the writes.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

Status system_error(int error) { return EncoderError::library(std::strerror(error)); }

}  // namespace

Status write_file_atomically(const std::string &path, std::string_view text) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  // rename is atomic only within one file system: the temporary file lives in
  // the target's own directory.
  const fs::path temporary = target.parent_path() / ("." + target.filename().string() + "." +
                                                     std::to_string(::getpid()) + ".tmp");
  // A leftover of an earlier run with our process id, or a link someone put
  // there, is removed rather than written through. Readable by readers that
  // usually run as other users (the node exporter, players).
  ::unlink(temporary.c_str());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0)
    return system_error(errno);
  // The mode asked of open() is narrowed by the umask.
  bool written = ::fchmod(fd, 0644) == 0 && write_all(fd, text);
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

}  // namespace nerko
