#include "encoder/control/whitespace.h"

#include <glib.h>

namespace nerko {

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x0009: case 0x000A: case 0x000B: case 0x000C: case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2000: case 0x2001: case 0x2002: case 0x2003: case 0x2004: case 0x2005:
    case 0x2006: case 0x2007: case 0x2008: case 0x2009: case 0x200A:
    case 0x2028: case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return false;
  }
}

std::string remove_whitespace(std::string_view utf8) {
  std::string kept;
  kept.reserve(utf8.size());
  const char *p = utf8.data();
  const char *end = p + utf8.size();
  while (p < end) {
    const char *next = g_utf8_find_next_char(p, end);
    if (!next)
      next = end;
    gunichar c = g_utf8_get_char(p);
    if (!is_white_space(c))
      kept.append(p, next);
    p = next;
  }
  return kept;
}

}  // namespace nerko
