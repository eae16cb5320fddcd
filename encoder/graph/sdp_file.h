// Keeps the session description file (NERKO_SDP_FILE) in step with the
// branches the encoder has built.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "encoder/graph/destination.h"
#include "encoder/control/encoder_error.h"

namespace nerko {

class SessionDescriptionFile {
 public:
  SessionDescriptionFile(std::string path, uint32_t video_fec_percent, uint32_t audio_fec_percent);

  const std::string &path() const { return path_; }

  // Rewrites the file to describe the streams that now exist. Called by the
  // branch builder with the sender record locked, so rewrites never
  // interleave. A failure is one warning line on `err`; the stream goes on.
  void describe(const Destination &destination, bool video, bool audio, std::FILE *err = stderr);

 private:
  std::string path_;
  bool video_fec_;
  bool audio_fec_;
  uint64_t session_id_;
  uint64_t version_ = 0;  // guarded by the sender record's mutex
};

// The file named by NERKO_SDP_FILE, or none when it is unset or empty; a value
// that is not valid Unicode is a fatal-stop error.
Result<std::shared_ptr<SessionDescriptionFile>> session_description_file(uint32_t video_fec_percent,
                                                                          uint32_t audio_fec_percent);

}  // namespace nerko
