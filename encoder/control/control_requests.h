// The bodies of the control endpoints, read with json-glib. A body that is
// not what the endpoint takes gives a one-line reason for the 400 answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace nerko {

// The lowest and highest video target accepted live, in bits per second.
inline constexpr int64_t kLowestVideoBitrate = 10000;
inline constexpr int64_t kHighestVideoBitrate = 100000000;

// Why a body was refused, for the 400 answer.
struct BadRequest {
  std::string reason;
};

// {"input": "primary" | "backup" | "slate" | "auto"}: the name.
std::variant<std::string, BadRequest> read_input_request(std::string_view body);
// {"bits_per_second": N} within the two bounds above.
std::variant<int32_t, BadRequest> read_bitrate_request(std::string_view body);
// An empty body or any JSON object.
std::optional<BadRequest> read_keyframe_request(std::string_view body);

}  // namespace nerko
