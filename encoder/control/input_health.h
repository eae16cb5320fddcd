// What the Prometheus file tells of the input when the stream outlives it.
#pragma once

#include <cstdint>
#include <optional>

namespace nerko {

// With a backup input: which input is on air and how the backup fares.
struct RedundancyHealth {
  const char *on_air = "primary";  // "primary", "backup" or "fill"
  uint64_t switches = 0;
  bool backup_up = false;
};

struct InputHealth {
  bool up = false;  // a decoded buffer arrived within the last second
  uint64_t restarts = 0;
  uint64_t filled_video = 0;
  uint64_t filled_audio = 0;
  std::optional<RedundancyHealth> redundancy;
};

}  // namespace nerko
