// The NERKO_ setting readers: accepted and refused forms of each type. A
// malformed value is a fatal stop whose line names the variable, the value
// received and what was expected.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "encoder/graph/settings.h"

namespace nerko {
namespace {

// Sets or clears one variable for the duration of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() { unsetenv(name_); }

 private:
  const char *name_;
};

TEST(SettingParsers, SignedAcceptsOptionalSignAndDigitsWithin32Bits) {
  EXPECT_EQ(parse_int32("0"), 0);
  EXPECT_EQ(parse_int32("+5"), 5);
  EXPECT_EQ(parse_int32("-1"), -1);
  EXPECT_EQ(parse_int32("-0"), 0);
  EXPECT_EQ(parse_int32("007"), 7);
  EXPECT_EQ(parse_int32("3000000"), 3000000);
  EXPECT_EQ(parse_int32("2147483647"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(parse_int32("+2147483647"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(parse_int32("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(parse_int32("00000000000000000000000042"), 42);
}

TEST(SettingParsers, SignedRefusesEverythingElse) {
  for (const char *text : {"", "+", "-", " 1", "1 ", "\t1", "1\n", "1.0", "3e6", "0x10", "++1", "+-1",
                           "--1", "1-", "1,000", "2147483648", "-2147483649", "99999999999999999999",
                           "-99999999999999999999", "\xEF\xBC\x91" /* fullwidth 1 */, "1\xC2\xA0"}) {
    EXPECT_EQ(parse_int32(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(SettingParsers, UnsignedAcceptsOnlyPlusAndDigitsWithin32Bits) {
  EXPECT_EQ(parse_uint32("0"), 0u);
  EXPECT_EQ(parse_uint32("+0"), 0u);
  EXPECT_EQ(parse_uint32("100"), 100u);
  EXPECT_EQ(parse_uint32("+7"), 7u);
  EXPECT_EQ(parse_uint32("4294967295"), std::numeric_limits<uint32_t>::max());
  for (const char *text : {"", "+", "-", "-0", "-5", "4294967296", "18446744073709551616", " 5",
                           "5 ", "5%", "1e2", "+ 5", "++5"}) {
    EXPECT_EQ(parse_uint32(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(SettingReaders, UnsetGivesTheDefaultAndSetValuesAreRead) {
  ScopedEnv a("NERKO_SHARPNESS", nullptr);
  EXPECT_EQ(read_int_setting("NERKO_SHARPNESS", 3).value(), 3);
  ScopedEnv b("NERKO_UNDERSHOOT", "-1");
  EXPECT_EQ(read_int_setting("NERKO_UNDERSHOOT", 95).value(), -1);
  ScopedEnv c("NERKO_VIDEO_FEC_PERCENT", "+250");
  EXPECT_EQ(read_video_fec_percent().value(), 250u);  // no check against 100 when reading
  ScopedEnv d("NERKO_AUDIO_FEC_PERCENT", nullptr);
  EXPECT_EQ(read_audio_fec_percent().value(), 100u);
  ScopedEnv e("NERKO_RESIZE_ALLOWED", "false");
  EXPECT_FALSE(read_bool_setting("NERKO_RESIZE_ALLOWED", true).value());
  ScopedEnv f("NERKO_BOOST", "true");
  EXPECT_TRUE(read_bool_setting("NERKO_BOOST", false).value());
  ScopedEnv g("NERKO_TARGET_AUDIO_BITRATE", nullptr);
  EXPECT_EQ(read_target_audio_bitrate().value(), 96000);
}

TEST(SettingReaders, TextIsTakenUnchangedEvenWhenEmpty) {
  {
    ScopedEnv a("NERKO_END_USAGE", "");
    EXPECT_EQ(read_text_setting("NERKO_END_USAGE", "cbr").value(), "");
  }
  {
    ScopedEnv a("NERKO_END_USAGE", " CQ ");
    EXPECT_EQ(read_text_setting("NERKO_END_USAGE", "cbr").value(), " CQ ");
  }
  ScopedEnv a("NERKO_END_USAGE", nullptr);
  EXPECT_EQ(read_text_setting("NERKO_END_USAGE", "cbr").value(), "cbr");
}

// The fatal stop a malformed value makes: an error of that kind with its line.
template <typename T>
std::string fatal_text(const Result<T> &read) {
  if (read || !read.error().is_fatal())
    return "(no fatal stop)";
  return read.error().message();
}

TEST(SettingReaders, MalformedSignedValueIsAFatalStop) {
  for (const char *value : {"", " 3000000", "3e6", "+", "2147483648"}) {
    ScopedEnv env("NERKO_TARGET_VIDEO_BITRATE", value);
    EXPECT_EQ(fatal_text(read_int_setting("NERKO_TARGET_VIDEO_BITRATE", 3000000)),
              std::string("NERKO_TARGET_VIDEO_BITRATE must be a signed 32-bit decimal integer, got \"") + value +
                  "\"");
  }
}

TEST(SettingReaders, MalformedUnsignedValueIsAFatalStop) {
  for (const char *value : {"-5", "-0", "", "4294967296"}) {
    ScopedEnv env("NERKO_VIDEO_FEC_PERCENT", value);
    EXPECT_EQ(fatal_text(read_video_fec_percent()),
              std::string("NERKO_VIDEO_FEC_PERCENT must be an unsigned 32-bit decimal integer, got \"") + value +
                  "\"");
  }
}

TEST(SettingReaders, BooleansAreExactlyTrueOrFalse) {
  for (const char *value : {"True", "TRUE", "1", "yes", "", " true", "false ", "0"}) {
    ScopedEnv env("NERKO_BOOST", value);
    EXPECT_EQ(fatal_text(read_bool_setting("NERKO_BOOST", false)),
              std::string("NERKO_BOOST must be \"true\" or \"false\", got \"") + value + "\"");
  }
}

TEST(SettingReaders, ValueThatIsNotUnicodeIsAFatalStop) {
  {
    ScopedEnv env("NERKO_END_USAGE", "c\xFFq");
    EXPECT_EQ(fatal_text(read_text_setting("NERKO_END_USAGE", "cbr")),
              "NERKO_END_USAGE must be valid Unicode, got \"c\\xFFq\"");
  }
  ScopedEnv env("NERKO_BOOST", "tr\xC3\xA9" "e\xE2\x82");
  EXPECT_EQ(fatal_text(read_bool_setting("NERKO_BOOST", false)),
            "NERKO_BOOST must be valid Unicode, got \"tr\xC3\xA9" "e\\xE2\\x82\"");
  // The video settings stop at the first malformed one, in their order.
  ScopedEnv sharpness("NERKO_SHARPNESS", "x");
  EXPECT_EQ(fatal_text(read_video_settings()), "NERKO_SHARPNESS must be a signed 32-bit decimal integer, got \"x\"");
}

TEST(SettingReaders, VideoSettingsDefaultsAndTheFinalSettingsLine) {
  for (const char *name : {"NERKO_TARGET_VIDEO_BITRATE", "NERKO_CQ_LEVEL", "NERKO_SHARPNESS",
                           "NERKO_DROPFRAME_THRESHOLD", "NERKO_UNDERSHOOT", "NERKO_RESIZE_ALLOWED",
                           "NERKO_END_USAGE", "NERKO_BOOST", "NERKO_BUFFER_INITIAL_SIZE",
                           "NERKO_BUFFER_OPTIMAL_SIZE", "NERKO_BUFFER_SIZE", "NERKO_VIDEO_THREADS"})
    unsetenv(name);
  EXPECT_EQ(final_settings_line(read_video_settings().value()),
            "Final settings for encoder: target_video_bitrate=3000000, cq_level=ignored, sharpness=0, "
            "dropframe_threshold=0, buffers=4000/5000/6000, undershoot=95, resize_allowed=true, "
            "end_usage=cbr\n");
  // Unset, the encoder keeps its 12 threads and nothing more is printed.
  EXPECT_EQ(read_video_settings().value().encoder_threads(), 12u);
  EXPECT_EQ(video_threads_line(read_video_settings().value()), "");
  {
    ScopedEnv threads("NERKO_VIDEO_THREADS", "+1");
    EXPECT_EQ(read_video_settings().value().encoder_threads(), 1u);
    EXPECT_EQ(video_threads_line(read_video_settings().value()), "Video encoder threads 1\n");
  }

  ScopedEnv cq("NERKO_CQ_LEVEL", "10");
  EXPECT_EQ(read_video_settings().value().boost, false);
  {
    // cq_level shows only with end-usage exactly "cq".
    ScopedEnv usage("NERKO_END_USAGE", "CQ");
    EXPECT_NE(final_settings_line(read_video_settings().value()).find(", cq_level=ignored,"), std::string::npos);
  }
  ScopedEnv usage("NERKO_END_USAGE", "cq");
  ScopedEnv bitrate("NERKO_TARGET_VIDEO_BITRATE", "+5");
  ScopedEnv sharpness("NERKO_SHARPNESS", "-2147483648");
  ScopedEnv resize("NERKO_RESIZE_ALLOWED", "false");
  ScopedEnv buffer("NERKO_BUFFER_SIZE", "-1");
  EXPECT_EQ(final_settings_line(read_video_settings().value()),
            "Final settings for encoder: target_video_bitrate=5, cq_level=10, sharpness=-2147483648, "
            "dropframe_threshold=0, buffers=4000/5000/-1, undershoot=95, resize_allowed=false, "
            "end_usage=cq\n");
}

}  // namespace
}  // namespace nerko
