// White_Space removal on arbitrary valid UTF-8 (the command line is checked
// for valid Unicode before anything is removed). The result must hold no
// White_Space code point, be valid UTF-8, and be exactly the input without
// them, which a second decoder written here works out independently.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encoder/control/whitespace.h"
#include "fuzz_check.h"

namespace {

// Unicode's White_Space list: GLib's space test (tab, line feed, form feed,
// carriage return and the Zs, Zl, Zp categories) misses only these two.
bool oracle_white_space(gunichar c) {
  return g_unichar_isspace(c) || c == 0x000B || c == 0x0085;
}

std::string oracle_remove(std::string_view text) {
  std::string kept;
  const char *p = text.data();
  const char *end = p + text.size();
  while (p < end) {
    gunichar c = g_utf8_get_char_validated(p, end - p);
    const char *next = g_utf8_next_char(p);
    if (!oracle_white_space(c))
      kept.append(p, next);
    p = next;
  }
  return kept;
}

bool is_subsequence(std::string_view part, std::string_view whole) {
  size_t i = 0;
  for (char c : whole)
    if (i < part.size() && part[i] == c)
      ++i;
  return i == part.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  // Outside the contract: arguments that are not valid Unicode are refused
  // before removal (and a process argument holds no NUL).
  if (!g_utf8_validate_len(input.data(), input.size(), nullptr))
    return -1;

  for (const char *p = input.data(); p < input.data() + input.size(); p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    FUZZ_CHECK(nerko::is_white_space(c) == oracle_white_space(c), "U+%04X classified wrongly", c);
  }

  std::string output = nerko::remove_whitespace(input);

  FUZZ_CHECK(g_utf8_validate_len(output.data(), output.size(), nullptr),
             "output is not valid UTF-8");
  for (const char *p = output.data(); p < output.data() + output.size(); p = g_utf8_next_char(p))
    FUZZ_CHECK(!nerko::is_white_space(g_utf8_get_char(p)) && !oracle_white_space(g_utf8_get_char(p)),
               "U+%04X left in the output", g_utf8_get_char(p));
  FUZZ_CHECK(is_subsequence(output, input), "output is not a subsequence of the input");
  FUZZ_CHECK(output == oracle_remove(input), "output differs from the independent removal");
  // Removing again changes nothing.
  FUZZ_CHECK(nerko::remove_whitespace(output) == output, "removal is not idempotent");
  return 0;
}
