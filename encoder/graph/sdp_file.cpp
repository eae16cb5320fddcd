#include "sdp_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "sdp_description.h"
#include "settings.h"

namespace nerko {
namespace {

bool write_all(int fd, const std::string &text) {
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool replace_file(const std::string &path, const std::string &text, std::string &reason) {
  std::string pattern = path + ".XXXXXX";
  std::vector<char> temporary(pattern.begin(), pattern.end());
  temporary.push_back('\0');
  int fd = mkstemp(temporary.data());
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; receivers may run as other users.
  bool ok = fchmod(fd, 0644) == 0 && write_all(fd, text);
  int saved_errno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved_errno = errno;
  }
  if (ok && rename(temporary.data(), path.c_str()) != 0) {
    ok = false;
    saved_errno = errno;
  }
  if (!ok) {
    unlink(temporary.data());
    reason = std::strerror(saved_errno);
  }
  return ok;
}

SessionDescriptionFile::SessionDescriptionFile(std::string path, uint32_t video_fec_percent,
                                               uint32_t audio_fec_percent)
    : path_(std::move(path)),
      video_fec_(video_fec_percent != 0),
      audio_fec_(audio_fec_percent != 0),
      // Seconds since the epoch, as origin lines usually carry: a restarted
      // encoder is a new session.
      session_id_(static_cast<uint64_t>(std::time(nullptr))) {}

void SessionDescriptionFile::describe(const Destination &destination, bool video, bool audio,
                                      std::FILE *err) {
  if (destination.host.empty()) {
    std::fprintf(err, "Warning, failed to write session description %s: the destination has no host\n",
                 path_.c_str());
    return;
  }
  SessionDescription description{destination.host, destination.base_port, video, video_fec_, audio,
                                 audio_fec_, session_id_, ++version_};
  std::string reason;
  if (!replace_file(path_, session_description_text(description), reason))
    std::fprintf(err, "Warning, failed to write session description %s: %s\n", path_.c_str(),
                 reason.c_str());
}

std::shared_ptr<SessionDescriptionFile> session_description_file(uint32_t video_fec_percent,
                                                                  uint32_t audio_fec_percent) {
  std::string path = read_text_setting("NERKO_SDP_FILE", "");
  if (path.empty())
    return nullptr;
  return std::make_shared<SessionDescriptionFile>(std::move(path), video_fec_percent, audio_fec_percent);
}

}  // namespace nerko
