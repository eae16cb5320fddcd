// Files that readers poll while the encoder rewrites them (the Prometheus
// text file, the session description): a reader sees the old text or the new
// one, never a part.
#pragma once

#include <string>
#include <string_view>

#include "encoder/control/encoder_error.h"

namespace nerko {

// Writes `text` into a hidden temporary file beside `path` (".<name>.<pid>.tmp",
// which a collector reading only *.prom or *.sdp ignores), readable by other
// users, and renames it over `path`. On failure the temporary file is removed
// and the error's message is the system's reason ("No such file or directory").
Status write_file_atomically(const std::string &path, std::string_view text);

}  // namespace nerko
