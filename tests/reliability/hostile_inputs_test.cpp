// The program fed inputs an unattended encoder meets sooner or later: files
// that are missing, broken, not media at all, or media with nothing to
// encode. Each run must end by itself with a clear line and the right
// status: a set-up refusal is a fatal stop (status 2) that first shows the
// element's own reason; a decoder error ends with its "Error! ..." line and
// status 1; whatever can be streamed is streamed to end of stream (status 0).
#include <gtest/gtest.h>

#include "reliability_support.h"

namespace nerko::reliability {
namespace {

using testing_support::EnvChanges;
using testing_support::Outcome;

const std::string kRefusedToPlay = "Unable to set the pipeline to the `Playing` state\n";
const std::string kFinalSettings =
    "Final settings for encoder: target_video_bitrate=3000000, cq_level=ignored, sharpness=0, "
    "dropframe_threshold=0, buffers=4000/5000/6000, undershoot=95, resize_allowed=true, end_usage=cbr\n";
const std::string kAudioLine = "Target audio bitrate 96000\n";

class ReliabilityHostileInput : public testing::Test {
 protected:
  Outcome run(const std::string &input, const EnvChanges &env = {}) {
    return run_program(input, dir_ / "stats.txt", env);
  }

  // Refused while starting: only the FEC line on standard output, and on
  // standard error exactly the element's error line, then the fatal stop.
  static void expect_refused_start(const Outcome &outcome, const std::string &reason_start,
                                   const std::string &debug_end) {
    ASSERT_TRUE(ended_by_itself(outcome)) << "killed by signal " << outcome.signal << "\n" << outcome.err;
    EXPECT_EQ(outcome.exit_status, 2);
    EXPECT_EQ(outcome.out, kDefaultFecLine);
    EXPECT_TRUE(starts_with(outcome.err, reason_start)) << outcome.err;
    EXPECT_TRUE(ends_with(outcome.err, debug_end + "\")\n" + kRefusedToPlay)) << outcome.err;
    EXPECT_EQ(count_lines_starting_with(outcome.err, ""), 2) << outcome.err;
  }

  // The decoder posted an error: one "Error! ..." line, the last one, status 1.
  static void expect_decoder_error(const Outcome &outcome, const std::string &line_start,
                                   const std::string &line_end) {
    ASSERT_TRUE(ended_by_itself(outcome)) << "killed by signal " << outcome.signal << "\n" << outcome.err;
    EXPECT_EQ(outcome.exit_status, 1);
    EXPECT_TRUE(starts_with(outcome.out, kDefaultFecLine)) << outcome.out;
    EXPECT_EQ(count_lines_starting_with(outcome.err, "Error! "), 1) << outcome.err;
    const std::string line = first_line_starting_with(outcome.err, "Error! ");
    EXPECT_TRUE(starts_with(line, line_start)) << outcome.err;
    EXPECT_TRUE(ends_with(line, line_end)) << outcome.err;
  }

  // Without a tracer nothing follows the error line.
  static void expect_error_line_last(const Outcome &outcome) {
    EXPECT_EQ(last_line(outcome.err), first_line_starting_with(outcome.err, "Error! ")) << outcome.err;
  }

  // Streamed to its end: status 0 and no error line.
  static void expect_streamed_to_the_end(const Outcome &outcome) {
    ASSERT_TRUE(ended_by_itself(outcome)) << "killed by signal " << outcome.signal << "\n" << outcome.err;
    EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
    EXPECT_TRUE(starts_with(outcome.out, kDefaultFecLine)) << outcome.out;
    EXPECT_NE(outcome.out.find(kBanner), std::string::npos) << outcome.out;
    EXPECT_EQ(outcome.err.find("Error!"), std::string::npos) << outcome.err;
  }

  TempDir dir_;
};

TEST_F(ReliabilityHostileInput, MissingFileShowsWhichFileThenStopsWithStatusTwo) {
  const fs::path missing = dir_ / "no-such-clip.mkv";
  expect_refused_start(run(file_uri(missing)), "Error! Resource not found.: Some(\"",
                       "\\nNo such file \\\"" + missing.string() + "\\\"");
}

TEST_F(ReliabilityHostileInput, UnknownSchemeNamesTheSchemeThenStopsWithStatusTwo) {
  expect_refused_start(run("nerkonowhere://host/clip.mkv"),
                       "Error! No URI handler implemented for \"nerkonowhere\".: Some(\"",
                       "/GstPipeline:pipeline0/GstURIDecodeBin:uridecodebin0");
}

TEST_F(ReliabilityHostileInput, DirectoryAsInputNamesItThenStopsWithStatusTwo) {
  expect_refused_start(run(file_uri(dir_.path())),
                       "Error! \"" + dir_.path().string() + "\" is a directory.: Some(\"",
                       "/GstPipeline:pipeline0/GstURIDecodeBin:uridecodebin0/GstFileSrc:source");
}

TEST_F(ReliabilityHostileInput, RandomBytesEndWithTheTypeFindErrorAndStatusOne) {
  const fs::path noise = dir_ / "noise.mkv";
  make_random_file(noise, 64 * 1024);
  Outcome outcome = run(file_uri(noise));
  expect_decoder_error(outcome, "Error! Could not determine type of stream.: Some(\"",
                       "/GstTypeFindElement:typefind\")\n");
  expect_error_line_last(outcome);
}

TEST_F(ReliabilityHostileInput, EmptyFileEndsWithTheNoDataErrorAndStatusOne) {
  const fs::path empty = dir_ / "empty.mkv";
  make_random_file(empty, 0);
  Outcome outcome = run(file_uri(empty));
  expect_decoder_error(outcome, "Error! Stream contains no data.: Some(\"",
                       "/GstTypeFindElement:typefind:\\nCan't typefind empty stream\")\n");
  expect_error_line_last(outcome);
}

TEST_F(ReliabilityHostileInput, TruncatedClipStreamsWhatItHasAndEndsWithStatusZero) {
  const fs::path whole = dir_ / "whole.mkv";
  const fs::path truncated = dir_ / "truncated.mkv";
  make_audio_video_clip(whole, 2);
  make_truncated_copy(whole, truncated, fs::file_size(whole) / 2);
  Outcome outcome = run(file_uri(truncated));
  expect_streamed_to_the_end(outcome);
  EXPECT_NE(outcome.out.find(kFinalSettings), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find(kAudioLine), std::string::npos) << outcome.out;
}

TEST_F(ReliabilityHostileInput, VideoOnlyInputBuildsOnlyTheVideoBranchAndEndsWithStatusZero) {
  const fs::path clip = dir_ / "video.ogg";
  make_video_only_clip(clip);
  Outcome outcome = run(file_uri(clip));
  expect_streamed_to_the_end(outcome);
  EXPECT_EQ(count_lines_starting_with(outcome.out, "Final settings for encoder: "), 1) << outcome.out;
  EXPECT_NE(outcome.out.find(kFinalSettings), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.out.find("Target audio bitrate"), std::string::npos) << outcome.out;
}

TEST_F(ReliabilityHostileInput, AudioOnlyInputBuildsOnlyTheAudioBranchAndEndsWithStatusZero) {
  const fs::path clip = dir_ / "audio.ogg";
  make_audio_only_clip(clip);
  Outcome outcome = run(file_uri(clip));
  expect_streamed_to_the_end(outcome);
  EXPECT_EQ(count_lines_starting_with(outcome.out, "Target audio bitrate "), 1) << outcome.out;
  EXPECT_NE(outcome.out.find(kAudioLine), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.out.find("Final settings"), std::string::npos) << outcome.out;
}

TEST_F(ReliabilityHostileInput, StillImageIsOneVideoFrameStreamedToTheEnd) {
  const fs::path image = dir_ / "still.png";
  make_png_image(image);
  Outcome outcome = run(file_uri(image));
  expect_streamed_to_the_end(outcome);
  EXPECT_NE(outcome.out.find(kFinalSettings), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.out.find("Target audio bitrate"), std::string::npos) << outcome.out;
}

// Nothing ever reached end of stream here: the run used to go on forever.
TEST_F(ReliabilityHostileInput, SubtitleOnlyInputEndsWithTheNoStreamErrorAndStatusOne) {
  const fs::path subtitles = dir_ / "subtitles.mkv";
  make_subtitle_only_file(subtitles);
  Outcome outcome = run(file_uri(subtitles), with_leak_tracer());
  expect_decoder_error(outcome,
                       "Error! The input has no audio or video stream: Some(\"encoder/graph/no_more_pads.cpp(",
                       "): on_no_more_pads (): /GstPipeline:pipeline0/GstURIDecodeBin:uridecodebin0:"
                       "\\nDecoded streams: text/x-raw\")\n");
  EXPECT_EQ(outcome.out.find("Final settings"), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.out.find("Target audio bitrate"), std::string::npos) << outcome.out;
  expect_no_leaks(outcome);
}

TEST_F(ReliabilityHostileInput, SubtitleNextToVideoIsLeftAloneAndTheVideoStreamsToTheEnd) {
  const fs::path clip = dir_ / "video-and-subtitles.mkv";
  make_video_with_subtitle_clip(clip);
  Outcome outcome = run(file_uri(clip));
  expect_streamed_to_the_end(outcome);
  EXPECT_NE(outcome.out.find(kFinalSettings), std::string::npos) << outcome.out;
}

// The second stream of a kind asks rtpbin again for its session's pad, which
// rtpbin refuses: a clear error, and the half-built branch releases everything.
// Broadcast files often carry several audio tracks: the first of a kind is
// sent, the others are decoded and thrown away, and the run goes on.
TEST_F(ReliabilityHostileInput, SecondStreamOfAKindIsIgnoredWithOneLineAndTheRunEndsNormally) {
  for (bool video : {true, false}) {
    const fs::path clip = dir_ / (video ? "two-videos.mkv" : "two-audios.mkv");
    make_two_stream_clip(clip, video);
    Outcome outcome = run(file_uri(clip), with_leak_tracer());
    expect_streamed_to_the_end(outcome);
    const std::string line = std::string("Ignoring a second ") + (video ? "video" : "audio") +
                             " stream (only the first is sent)";
    EXPECT_EQ(count_lines_starting_with(outcome.err, line), 1) << outcome.err;
    expect_no_leaks(outcome);
  }
}

}  // namespace
}  // namespace nerko::reliability
