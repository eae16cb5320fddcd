// The NERKO_ setting readers on arbitrary values. The parsers must accept
// exactly the documented grammar (compared with an independent reading),
// the readers must return what the parsers do for a set variable and the
// default for an unset one, and the diagnostic text of a value that is not
// valid Unicode must itself be valid UTF-8 showing every stray byte.
// Malformed values end the process, so they are checked through the parsers
// and the diagnostic text, never through the readers.
#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "encoder/graph/settings.h"
#include "fuzz_check.h"
#include "setting_oracle.h"

namespace {

// Length of the complete, valid UTF-8 sequence at text[i] (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0. NUL counts as
// invalid: a diagnostic must not cut the text short.
size_t valid_sequence(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0x100u; };
  auto in = [](unsigned v, unsigned lo, unsigned hi) { return v >= lo && v <= hi; };
  unsigned b0 = byte(i), b1 = byte(i + 1), b2 = byte(i + 2), b3 = byte(i + 3);
  if (in(b0, 0x01, 0x7F)) return 1;
  if (in(b0, 0xC2, 0xDF)) return in(b1, 0x80, 0xBF) ? 2 : 0;
  if (b0 == 0xE0) return in(b1, 0xA0, 0xBF) && in(b2, 0x80, 0xBF) ? 3 : 0;
  if (in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) return in(b1, 0x80, 0xBF) && in(b2, 0x80, 0xBF) ? 3 : 0;
  if (b0 == 0xED) return in(b1, 0x80, 0x9F) && in(b2, 0x80, 0xBF) ? 3 : 0;
  if (b0 == 0xF0) return in(b1, 0x90, 0xBF) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
  if (in(b0, 0xF1, 0xF3)) return in(b1, 0x80, 0xBF) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
  if (b0 == 0xF4) return in(b1, 0x80, 0x8F) && in(b2, 0x80, 0xBF) && in(b3, 0x80, 0xBF) ? 4 : 0;
  return 0;
}

std::string oracle_show(std::string_view text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    size_t n = valid_sequence(text, i);
    if (n == 0) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
      shown += escaped;
      ++i;
    } else {
      shown.append(text.substr(i, n));
      i += n;
    }
  }
  return shown;
}

bool oracle_valid_unicode(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    size_t n = valid_sequence(text, i);
    if (n == 0)
      return false;
    i += n;
  }
  return true;
}

void check_parsers(std::string_view text) {
  std::optional<int64_t> signed_expected = fuzz_oracle::decimal(text, true, INT32_MIN, INT32_MAX);
  std::optional<int32_t> signed_parsed = nerko::parse_int32(text);
  FUZZ_CHECK(signed_parsed.has_value() == signed_expected.has_value(), "signed: accepted %d, expected %d",
             signed_parsed.has_value(), signed_expected.has_value());
  if (signed_parsed)
    FUZZ_CHECK(*signed_parsed == *signed_expected, "signed: %d, expected %lld", *signed_parsed,
               static_cast<long long>(*signed_expected));

  std::optional<int64_t> unsigned_expected = fuzz_oracle::decimal(text, false, 0, UINT32_MAX);
  std::optional<uint32_t> unsigned_parsed = nerko::parse_uint32(text);
  FUZZ_CHECK(unsigned_parsed.has_value() == unsigned_expected.has_value(),
             "unsigned: accepted %d, expected %d", unsigned_parsed.has_value(), unsigned_expected.has_value());
  if (unsigned_parsed)
    FUZZ_CHECK(*unsigned_parsed == *unsigned_expected, "unsigned: %u, expected %lld", *unsigned_parsed,
               static_cast<long long>(*unsigned_expected));

  std::optional<bool> bool_parsed = nerko::parse_bool(text);
  FUZZ_CHECK(bool_parsed.has_value() == (text == "true" || text == "false"), "boolean accepted wrongly");
  if (bool_parsed)
    FUZZ_CHECK(*bool_parsed == (text == "true"), "boolean read wrongly");
}

void check_diagnostic_text(std::string_view text) {
  std::string shown = nerko::show_bytes(text);
  FUZZ_CHECK(g_utf8_validate_len(shown.data(), shown.size(), nullptr), "diagnostic text is not valid UTF-8");
  FUZZ_CHECK(shown == oracle_show(text), "diagnostic text differs from the independent one");
}

// The readers with the value set in the environment, for values they accept.
void check_readers(const std::string &value) {
  setenv("NERKO_SHARPNESS", value.c_str(), 1);
  setenv("NERKO_VIDEO_FEC_PERCENT", value.c_str(), 1);
  setenv("NERKO_BOOST", value.c_str(), 1);
  setenv("NERKO_END_USAGE", value.c_str(), 1);

  // GLib decides what a variable that is not valid Unicode is; the reader
  // refuses it, so only the agreement of the two decoders is checked then.
  bool valid = g_utf8_validate(value.c_str(), -1, nullptr);
  FUZZ_CHECK(valid == oracle_valid_unicode(value), "Unicode validity differs from the independent reading");
  if (valid) {
    FUZZ_CHECK(nerko::read_text_setting("NERKO_END_USAGE", "cbr").value() == value, "text setting changed");
    if (auto v = fuzz_oracle::decimal(value, true, INT32_MIN, INT32_MAX))
      FUZZ_CHECK(nerko::read_int_setting("NERKO_SHARPNESS", 0).value() == *v, "signed setting read wrongly");
    if (auto v = fuzz_oracle::decimal(value, false, 0, UINT32_MAX))
      FUZZ_CHECK(nerko::read_video_fec_percent().value() == *v, "unsigned setting read wrongly");
    if (value == "true" || value == "false")
      FUZZ_CHECK(nerko::read_bool_setting("NERKO_BOOST", value != "true").value() == (value == "true"),
                 "boolean setting read wrongly");
  }

  unsetenv("NERKO_SHARPNESS");
  unsetenv("NERKO_VIDEO_FEC_PERCENT");
  unsetenv("NERKO_BOOST");
  unsetenv("NERKO_END_USAGE");
  FUZZ_CHECK(nerko::read_int_setting("NERKO_SHARPNESS", -7).value() == -7, "unset signed setting");
  FUZZ_CHECK(nerko::read_video_fec_percent().value() == 100, "unset unsigned setting");
  FUZZ_CHECK(nerko::read_bool_setting("NERKO_BOOST", true).value(), "unset boolean setting");
  FUZZ_CHECK(nerko::read_text_setting("NERKO_END_USAGE", "cbr").value() == "cbr", "unset text setting");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  check_parsers(text);
  check_diagnostic_text(text);
  // An environment value ends at its first NUL.
  check_readers(std::string(text.substr(0, text.find('\0'))));
  return 0;
}
