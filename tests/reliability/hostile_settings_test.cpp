// The program run with settings and destinations an operator can get wrong.
// A value that does not parse is a fatal stop (status 2) whose one line names
// the variable or the destination; a value that parses but that an element
// refuses ends the run with the posted error line and status 1.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "reliability_support.h"

namespace nerko::reliability {
namespace {

using testing_support::EnvChanges;
using testing_support::Outcome;

// A one-second clip with a video and an audio stream, so both branches are
// built and every setting is read.
class ProgramWithClip : public testing::Test {
 protected:
  void SetUp() override { make_audio_video_clip(clip_, 1); }

  Outcome run(const EnvChanges &env, const std::string &output = "udp://127.0.0.1:5000") {
    return run_program(file_uri(clip_), dir_ / "stats.txt", env, output);
  }

  // The run stopped with `diagnostic` as its last line on standard error and
  // status 2, without a pipeline error line.
  void expect_fatal_stop(const Outcome &outcome, const std::string &diagnostic, const std::string &what) {
    ASSERT_TRUE(ended_by_itself(outcome)) << what << ": killed by signal " << outcome.signal;
    EXPECT_EQ(outcome.exit_status, 2) << what << "\n" << outcome.err;
    EXPECT_EQ(last_line(outcome.err), diagnostic + "\n") << what << "\n" << outcome.err;
    EXPECT_EQ(outcome.err.find("Error!"), std::string::npos) << what << "\n" << outcome.err;
    EXPECT_TRUE(starts_with(outcome.out, "FEC Settings VIDEO: ")) << what << "\n" << outcome.out;
  }

  // The run ended on the posted `error_line` (the only one, the last line)
  // with status 1.
  void expect_posted_error(const Outcome &outcome, const std::string &error_line, const std::string &what) {
    ASSERT_TRUE(ended_by_itself(outcome)) << what << ": killed by signal " << outcome.signal;
    EXPECT_EQ(outcome.exit_status, 1) << what << "\n" << outcome.err;
    EXPECT_EQ(count_lines_starting_with(outcome.err, "Error! "), 1) << what << "\n" << outcome.err;
    EXPECT_EQ(last_line(outcome.err), error_line) << what << "\n" << outcome.err;
  }

  TempDir dir_;
  fs::path clip_ = dir_ / "clip.mkv";
};

std::string signed_diagnostic(const std::string &name, const std::string &value) {
  return name + " must be a signed 32-bit decimal integer, got \"" + value + "\"";
}

using ReliabilityHostileSetting = ProgramWithClip;

TEST_F(ReliabilityHostileSetting, MalformedSignedVideoSettingStopsNamingTheVariable) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"NERKO_TARGET_VIDEO_BITRATE", "3e6"},  {"NERKO_CQ_LEVEL", " 10"},
      {"NERKO_SHARPNESS", "+-1"},             {"NERKO_DROPFRAME_THRESHOLD", "0x10"},
      {"NERKO_UNDERSHOOT", "95%"},            {"NERKO_BUFFER_INITIAL_SIZE", ""},
      {"NERKO_BUFFER_OPTIMAL_SIZE", "2147483648"}, {"NERKO_BUFFER_SIZE", "-2147483649"},
  };
  for (const auto &[name, value] : cases)
    expect_fatal_stop(run({{name, value}}), signed_diagnostic(name, value), name);
}

TEST_F(ReliabilityHostileSetting, MalformedAudioBitrateStopsNamingTheVariable) {
  expect_fatal_stop(run({{"NERKO_TARGET_AUDIO_BITRATE", "96k"}}),
                    signed_diagnostic("NERKO_TARGET_AUDIO_BITRATE", "96k"), "audio bitrate");
}

TEST_F(ReliabilityHostileSetting, MalformedInputSettingStopsNamingTheVariable) {
  expect_fatal_stop(run({{"NERKO_INPUT_TIMEOUT", "-1"}}),
                    "NERKO_INPUT_TIMEOUT must be an unsigned 32-bit decimal integer, got \"-1\"", "timeout");
  expect_fatal_stop(run({{"NERKO_KEEP_ALIVE", "yes"}}),
                    "NERKO_KEEP_ALIVE must be \"true\" or \"false\", got \"yes\"", "keep-alive");
  expect_fatal_stop(run({{"NERKO_KEEP_ALIVE", "true"}, {"NERKO_VIDEO_FILL", "grey"}}),
                    "NERKO_VIDEO_FILL must be \"black\", \"last\" or \"slate\", got \"grey\"", "video fill");
  expect_fatal_stop(run({{"NERKO_LATENCY_MS", "50ms"}}),
                    "NERKO_LATENCY_MS must be an unsigned 32-bit decimal integer, got \"50ms\"", "latency");
  expect_fatal_stop(run({{"NERKO_LATENCY_MS", ""}}),
                    "NERKO_LATENCY_MS must be an unsigned 32-bit decimal integer, got \"\"", "empty latency");
}

TEST_F(ReliabilityHostileSetting, BooleanOtherThanTrueOrFalseStopsNamingTheVariable) {
  expect_fatal_stop(run({{"NERKO_RESIZE_ALLOWED", "TRUE"}}),
                    "NERKO_RESIZE_ALLOWED must be \"true\" or \"false\", got \"TRUE\"", "resize");
  expect_fatal_stop(run({{"NERKO_BOOST", "1"}}), "NERKO_BOOST must be \"true\" or \"false\", got \"1\"",
                    "boost");
  expect_fatal_stop(run({{"NERKO_HOLD_VIDEO_THREADS", "yes"}}),
                    "NERKO_HOLD_VIDEO_THREADS must be \"true\" or \"false\", got \"yes\"", "hold threads");
}

TEST_F(ReliabilityHostileSetting, MalformedUnsignedFecPercentStopsBeforeThePipelineExists) {
  for (const auto &[name, value] : std::vector<std::pair<std::string, std::string>>{
           {"NERKO_VIDEO_FEC_PERCENT", "4294967296"}, {"NERKO_AUDIO_FEC_PERCENT", "1.5"}}) {
    Outcome outcome = run({{name, value}});
    ASSERT_TRUE(ended_by_itself(outcome)) << name;
    EXPECT_EQ(outcome.exit_status, 2) << name;
    EXPECT_EQ(outcome.out, "") << name;
    EXPECT_EQ(outcome.err, name + " must be an unsigned 32-bit decimal integer, got \"" + value + "\"\n");
  }
}

TEST_F(ReliabilityHostileSetting, TextSettingThatIsNotUnicodeStopsShowingTheBytes) {
  expect_fatal_stop(run({{"NERKO_END_USAGE", "c\xFFq"}}),
                    "NERKO_END_USAGE must be valid Unicode, got \"c\\xFFq\"", "end usage");
}

using ReliabilityRefusedSetting = ProgramWithClip;

std::string refused_property_line(const std::string &property, const std::string &type) {
  return "Error! Failed to link decodebin srcpad: Some(\"examples/src/bin/zolvane(476): zolvane (): "
         "/GstPipeline:pipeline0/GstURIDecodeBin:uridecodebin0:\\nproperty '" +
         property + "' of type '" + type +
         "' can't be set from given value, it is invalid or out of range\")\n";
}

TEST_F(ReliabilityRefusedSetting, VideoValuesTheEncoderRefusesEndTheRunWithStatusOne) {
  expect_posted_error(run({{"NERKO_TARGET_VIDEO_BITRATE", "-1"}}),
                      refused_property_line("target-bitrate", "GstVP8Enc"), "bitrate");
  expect_posted_error(run({{"NERKO_END_USAGE", "cq"}, {"NERKO_CQ_LEVEL", "64"}}),
                      refused_property_line("cq-level", "GstVP8Enc"), "cq level");
  expect_posted_error(run({{"NERKO_BUFFER_SIZE", "-1"}}), refused_property_line("buffer-size", "GstVP8Enc"),
                      "buffer size");
  expect_posted_error(run({{"NERKO_VIDEO_THREADS", "4294967295"}}), refused_property_line("threads", "GstVP8Enc"),
                      "threads");
}

TEST_F(ReliabilityRefusedSetting, AudioValuesTheEncoderRefusesEndTheRunWithStatusOne) {
  expect_posted_error(run({{"NERKO_TARGET_AUDIO_BITRATE", "1"}}),
                      refused_property_line("bitrate", "GstOpusEnc"), "audio bitrate");
  // The half-configured branch stays in the pipeline; its references still go.
  Outcome traced = run(with_leak_tracer({{"NERKO_TARGET_AUDIO_BITRATE", "1"}}));
  EXPECT_EQ(traced.exit_status, 1);
  EXPECT_EQ(first_line_starting_with(traced.err, "Error! "), refused_property_line("bitrate", "GstOpusEnc"));
  expect_no_leaks(traced);
  expect_posted_error(run({{"NERKO_AUDIO_FEC_PERCENT", "101"}}),
                      refused_property_line("packet-loss-percentage", "GstOpusEnc"), "audio fec 101");
  // Past 2147483647 the percentage reaches the signed property as a negative number.
  expect_posted_error(run({{"NERKO_AUDIO_FEC_PERCENT", "4294967295"}}),
                      refused_property_line("packet-loss-percentage", "GstOpusEnc"), "audio fec max");
}

TEST_F(ReliabilityRefusedSetting, VideoFecPercentTheFecEncoderRefusesEndsTheRunWithStatusOne) {
  expect_posted_error(run({{"NERKO_VIDEO_FEC_PERCENT", "101"}}),
                      "Error! Failed to make FEC encoder: Some(\"examples/src/bin/zolvane(446): zolvane (): "
                      "/GstPipeline:pipeline0/GstRtpBin:rtpbin0:\\nproperty 'percentage' of type "
                      "'GstRtpUlpFecEnc' can't be set from given value, it is invalid or out of range\")\n",
                      "video fec");
}

TEST_F(ReliabilityRefusedSetting, EndUsageTheEncoderDoesNotKnowIsIgnoredAndTheRunEndsNormally) {
  Outcome outcome = run({{"NERKO_END_USAGE", "bogus"}});
  ASSERT_TRUE(ended_by_itself(outcome));
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find(", end_usage=bogus\n"), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.err.find("Error!"), std::string::npos) << outcome.err;
}

using ReliabilityHostileDestination = ProgramWithClip;

TEST_F(ReliabilityHostileDestination, MalformedDestinationStopsNamingIt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"127.0.0.1:5000", "no port part"},
      {"udp//127.0.0.1", "no host part"},
      {"udp://127.0.0.1", "no port part"},
      {"udp://127.0.0.1:", "port \"\" is not a signed 32-bit decimal integer"},
      {"udp://127.0.0.1:50x0", "port \"50x0\" is not a signed 32-bit decimal integer"},
      {"udp://127.0.0.1:99999999999", "port \"99999999999\" is not a signed 32-bit decimal integer"},
      // Every one of the four ports must be a UDP port.
      {"udp://127.0.0.1:0", "ports 0 to 3 are not all within 1 to 65535"},
      {"udp://127.0.0.1:65533", "ports 65533 to 65536 are not all within 1 to 65535"},
      {"udp://[::1:5000", "the IPv6 host has no closing \"]\""},
  };
  for (const auto &[output, reason] : cases)
    expect_fatal_stop(run({}, output),
                      "Malformed destination \"" + output + "\" (expected scheme://host:port): " + reason,
                      output);
}

}  // namespace
}  // namespace nerko::reliability
