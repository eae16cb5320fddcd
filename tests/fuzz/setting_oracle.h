// An independent reading of the settings' decimal grammar for the fuzz
// targets: optional sign, one or more ASCII digits, nothing else, within
// [min, max]. Range is decided on the digit text, not by accumulating.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fuzz_oracle {

inline std::optional<int64_t> decimal(std::string_view text, bool allow_minus, int64_t min, int64_t max) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || (allow_minus && text.front() == '-'))) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  size_t nonzero = text.find_first_not_of('0');
  std::string_view digits = nonzero == std::string_view::npos ? std::string_view("0") : text.substr(nonzero);
  // Any 32-bit bound has at most 10 digits; compare texts of equal length.
  std::string limit = std::to_string(negative ? -min : max);
  if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > std::string_view(limit)))
    return std::nullopt;
  int64_t value = std::stoll(std::string(digits));
  return negative ? -value : value;
}

}  // namespace fuzz_oracle
