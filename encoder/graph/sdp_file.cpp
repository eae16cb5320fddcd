#include "encoder/graph/sdp_file.h"

#include <ctime>

#include "encoder/control/atomic_file.h"
#include "encoder/graph/sdp_description.h"
#include "encoder/graph/settings.h"

namespace nerko {

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
  if (Status failure = write_file_atomically(path_, session_description_text(description)))
    std::fprintf(err, "Warning, failed to write session description %s: %s\n", path_.c_str(),
                 failure->message().c_str());
}

Result<std::shared_ptr<SessionDescriptionFile>> session_description_file(uint32_t video_fec_percent,
                                                                          uint32_t audio_fec_percent) {
  Result<std::string> path = read_text_setting("NERKO_SDP_FILE", "");
  if (!path)
    return path.error();
  if (path.value().empty())
    return std::shared_ptr<SessionDescriptionFile>();
  return std::make_shared<SessionDescriptionFile>(path.take(), video_fec_percent, audio_fec_percent);
}

}  // namespace nerko
