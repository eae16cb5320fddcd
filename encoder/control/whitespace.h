// Removal of Unicode White_Space from command-line texts, so a URI or a
// destination pasted with stray tabs, line breaks or no-break spaces still works.
#pragma once

#include <string>
#include <string_view>

namespace nerko {

// True for the 25 code points with the Unicode White_Space property.
bool is_white_space(char32_t code_point);

// `utf8` (valid UTF-8) with every White_Space character removed, wherever it
// stands. Other characters, zero-width space included, are kept as they are.
std::string remove_whitespace(std::string_view utf8);

}  // namespace nerko
