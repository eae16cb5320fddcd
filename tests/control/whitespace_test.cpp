// White_Space removal from the INPUT and OUTPUT arguments.
#include <glib.h>
#include <gtest/gtest.h>

#include <string>

#include "encoder/control/whitespace.h"

namespace nerko {
namespace {

std::string utf8(char32_t c) {
  char buffer[6];
  return std::string(buffer, g_unichar_to_utf8(c, buffer));
}

// The 25 code points with the Unicode White_Space property.
constexpr char32_t kWhiteSpace[] = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680,
    0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
    0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

TEST(WhiteSpace, EveryWhiteSpaceCodePointIsRemovedInsideAndAround) {
  for (char32_t c : kWhiteSpace) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(c));
    const std::string ws = utf8(c);
    EXPECT_EQ(remove_whitespace(ws + "udp://239.1.2.3:5000" + ws), "udp://239.1.2.3:5000");
    EXPECT_EQ(remove_whitespace("file:///srv/a" + ws + "b.mp4"), "file:///srv/ab.mp4");
    EXPECT_EQ(remove_whitespace(ws + ws + ws), "");
  }
}

TEST(WhiteSpace, AllKindsMixedAreRemovedAtOnce) {
  std::string text = "x";
  for (char32_t c : kWhiteSpace)
    text += utf8(c) + "y";
  EXPECT_EQ(remove_whitespace(text), "x" + std::string(25, 'y'));
}

TEST(WhiteSpace, OtherCharactersAreKeptIncludingZeroWidthSpace) {
  // Zero-width space, word joiner, BOM and the Mongolian vowel separator are
  // not White_Space (the last one was, in older Unicode versions).
  for (char32_t c : {0x200B, 0x2060, 0xFEFF, 0x180E, 0x00AD, 0x001F, 0x0084, 0x0086}) {
    SCOPED_TRACE(testing::Message() << "U+" << std::hex << static_cast<unsigned>(c));
    const std::string text = "a" + utf8(c) + "b";
    EXPECT_EQ(remove_whitespace(text), text);
  }
  EXPECT_EQ(remove_whitespace("rtp://h\xC3\xA9te:5000/\xE2\x82\xAC"), "rtp://h\xC3\xA9te:5000/\xE2\x82\xAC");
  EXPECT_EQ(remove_whitespace(""), "");
}

TEST(WhiteSpace, ExactlyTheWhiteSpacePropertyOverAllCodePoints) {
  // GLib's space test covers the separators and the ASCII controls but not
  // vertical tab and NEL; together they are the White_Space property.
  int count = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    bool expected = g_unichar_isspace(c) || c == 0x000B || c == 0x0085;
    ASSERT_EQ(is_white_space(c), expected) << "U+" << std::hex << static_cast<unsigned>(c);
    count += expected;
  }
  EXPECT_EQ(count, 25);
}

}  // namespace
}  // namespace nerko
