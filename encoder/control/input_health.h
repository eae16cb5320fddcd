// What the Prometheus file tells of the input when the stream outlives it.
#pragma once

#include <cstdint>

namespace nerko {

struct InputHealth {
  bool up = false;  // a decoded buffer arrived within the last second
  uint64_t restarts = 0;
  uint64_t filled_video = 0;
  uint64_t filled_audio = 0;
};

}  // namespace nerko
