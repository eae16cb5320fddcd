#include "destination.h"

#include <vector>

#include "fatal.h"
#include "settings.h"

namespace nerko {
namespace {

std::vector<std::string_view> split_at_colons(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    if (colon == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, colon - start));
    start = colon + 1;
  }
}

}  // namespace

std::optional<Destination> parse_destination(std::string_view output, std::string &reason) {
  std::vector<std::string_view> parts = split_at_colons(output);
  if (parts.size() < 2) {
    reason = "no host part";
    return std::nullopt;
  }
  std::string host;
  for (char c : parts[1])
    if (c != '/')
      host += c;
  if (parts.size() < 3) {
    reason = "no port part";
    return std::nullopt;
  }
  std::optional<int32_t> port = parse_int32(parts[2]);
  if (!port) {
    reason = "port \"" + std::string(parts[2]) + "\" is not a signed 32-bit decimal integer";
    return std::nullopt;
  }
  return Destination{std::move(host), *port};
}

Destination destination_or_stop(std::string_view output) {
  std::string reason;
  std::optional<Destination> destination = parse_destination(output, reason);
  if (!destination)
    fatal_stop("Malformed destination \"" + std::string(output) + "\" (expected scheme://host:port): " +
               reason);
  return std::move(*destination);
}

int32_t session_port(int32_t base_port, int32_t offset) {
  // Unsigned addition wraps without undefined behaviour; the conversion back is modular.
  return static_cast<int32_t>(static_cast<uint32_t>(base_port) + static_cast<uint32_t>(offset));
}

}  // namespace nerko
