// zolvane's start-up seen from outside: command line, FEC settings line,
// banner, set-up errors, fatal stops and exit statuses.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "encoder/control/build_revision.h"
#include "support/subprocess.h"

namespace nerko {
namespace {

namespace fs = std::filesystem;
using testing_support::EnvChanges;
using testing_support::Outcome;
using testing_support::run_to_end;
using testing_support::RunningProgram;

const std::string kUsageError =
    "Error! Nerko Multicast Encoder 3.2.3\nUsage: nerko-encoder -i INPUT OUTPUT STATS.txt\n";
const std::string kDefaultFecLine = "FEC Settings VIDEO: 100 AUDIO: 100\n";
const std::string kBanner = std::string("Nerko Multicast Encoder 3.2.2 (") + build_revision + ")\n";
// What GStreamer reports for an input it cannot recognise.
const std::string kUnknownTypeError = "Error! Could not determine type of stream.: Some(\"";

// No NERKO_ variable leaks in from the environment running the tests.
EnvChanges clean_env(EnvChanges changes = {}) {
  for (const char *name :
       {"NERKO_VIDEO_FEC_PERCENT", "NERKO_AUDIO_FEC_PERCENT", "NERKO_INPUT_TIMEOUT", "NERKO_KEEP_ALIVE"})
    changes.emplace(name, std::nullopt);
  return changes;
}

class StartUp : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nerko-start-up-XXXXXX";
    dir_ = mkdtemp(pattern);
    // Text that no type finder recognises: the run plays, then the decoder
    // posts an error, whether or not any media branch exists.
    std::ofstream(dir_ / "notes.txt") << "hello, these are not media\n";
    input_ = "file://" + (dir_ / "notes.txt").string();
    stats_ = (dir_ / "my stats.txt").string();
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  Outcome run_with(const std::string &flag, const std::string &input, EnvChanges env = {}) {
    return run_to_end({"zolvane", flag, input, "udp://127.0.0.1:5000", stats_}, clean_env(env));
  }

  static void expect_decoder_error(const Outcome &outcome) {
    EXPECT_EQ(outcome.err.rfind(kUnknownTypeError, 0), 0u) << outcome.err;
    ASSERT_GE(outcome.err.size(), 3u);
    EXPECT_EQ(outcome.err.substr(outcome.err.size() - 3), "\")\n") << outcome.err;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "one line only: " << outcome.err;
    EXPECT_EQ(outcome.exit_status, 1);
  }

  fs::path dir_;
  std::string input_;
  std::string stats_;
};

TEST_F(StartUp, ThreeArgumentsGiveTheUsageErrorAndStatusOne) {
  Outcome outcome = run_to_end({"zolvane", "-i", input_, "udp://127.0.0.1:5000"}, clean_env());
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, kUsageError);
  EXPECT_EQ(outcome.exit_status, 1);
}

TEST_F(StartUp, NoArgumentsAtAllGiveTheUsageError) {
  Outcome outcome = run_to_end({}, clean_env());
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, kUsageError);
  EXPECT_EQ(outcome.exit_status, 1);
}

TEST_F(StartUp, ArgumentThatIsNotUnicodeIsRefusedByPosition) {
  Outcome outcome =
      run_to_end({"zolvane", "-i", input_, "udp://127.0.0.1:5000", "stats\xFF.txt"}, clean_env());
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "Error! Argument 4 is not valid Unicode\n");
  EXPECT_EQ(outcome.exit_status, 1);
}

TEST_F(StartUp, RunsWithDefaultsPrintsFecLineAndBannerAndEndsOnTheBusError) {
  Outcome outcome = run_with("-i", input_);
  EXPECT_EQ(outcome.out, kDefaultFecLine + kBanner);
  expect_decoder_error(outcome);
}

// Standard output into a pipe nobody reads (a pager quit early): the writes
// fail, the run goes on and ends as it would have.
TEST_F(StartUp, AClosedStandardOutputPipeDoesNotEndTheRun) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  const std::string program = testing_support::zolvane_path();
  std::vector<std::string> args{"zolvane", "-i", input_, "udp://127.0.0.1:5000", stats_};
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);  // the decoder's error on this input, as with a reader
}

TEST_F(StartUp, AnyTextInPlaceOfDashIRunsTheSame) {
  for (const char *flag : {"-x", "", "--input", "-i -i"}) {
    Outcome outcome = run_with(flag, input_);
    EXPECT_EQ(outcome.out, kDefaultFecLine + kBanner) << flag;
    expect_decoder_error(outcome);
  }
}

TEST_F(StartUp, ArgumentsAfterTheFifthAreIgnored) {
  Outcome outcome = run_to_end(
      {"zolvane", "-i", input_, "udp://127.0.0.1:5000", stats_, "extra", "--more"}, clean_env());
  EXPECT_EQ(outcome.out, kDefaultFecLine + kBanner);
  expect_decoder_error(outcome);
}

TEST_F(StartUp, WhiteSpaceInTheInputIsRemoved) {
  // No-break space before, a tab and an ideographic space inside, a line feed after.
  std::string spaced = "\xC2\xA0" + input_.substr(0, 10) + "\t" + input_.substr(10, 5) +
                       "\xE3\x80\x80" + input_.substr(15) + "\n";
  Outcome outcome = run_with("-i", spaced);
  EXPECT_EQ(outcome.out, kDefaultFecLine + kBanner);
  expect_decoder_error(outcome);
}

TEST_F(StartUp, FecLineShowsTheSetValues) {
  Outcome outcome = run_with("-i", input_,
                             {{"NERKO_VIDEO_FEC_PERCENT", "+7"}, {"NERKO_AUDIO_FEC_PERCENT", "0"}});
  EXPECT_EQ(outcome.out, "FEC Settings VIDEO: 7 AUDIO: 0\n" + kBanner);
  expect_decoder_error(outcome);

  outcome = run_with("-i", input_, {{"NERKO_VIDEO_FEC_PERCENT", "4294967295"},
                                    {"NERKO_AUDIO_FEC_PERCENT", "250"}});
  EXPECT_EQ(outcome.out, "FEC Settings VIDEO: 4294967295 AUDIO: 250\n" + kBanner);
  expect_decoder_error(outcome);
}

TEST_F(StartUp, MalformedFecPercentIsAFatalStopBeforeAnyOutput) {
  Outcome outcome = run_with("-i", input_, {{"NERKO_VIDEO_FEC_PERCENT", "-5"}});
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err,
            "NERKO_VIDEO_FEC_PERCENT must be an unsigned 32-bit decimal integer, got \"-5\"\n");
  EXPECT_EQ(outcome.exit_status, 2);

  // Set but empty is not unset.
  outcome = run_with("-i", input_, {{"NERKO_AUDIO_FEC_PERCENT", ""}});
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err,
            "NERKO_AUDIO_FEC_PERCENT must be an unsigned 32-bit decimal integer, got \"\"\n");
  EXPECT_EQ(outcome.exit_status, 2);
}

TEST_F(StartUp, PipelineRefusingPlayingIsAFatalStopBeforeTheBanner) {
  // Only white space: the decoder gets an empty URI and cannot start.
  Outcome outcome = run_with("-i", " \t\xC2\xA0");
  EXPECT_EQ(outcome.out, kDefaultFecLine);
  // The decoder's own reason comes first, as one error line.
  const std::string reason = "Error! Invalid URI \"\".: Some(\"";
  const std::string stop = "\")\nUnable to set the pipeline to the `Playing` state\n";
  EXPECT_EQ(outcome.err.rfind(reason, 0), 0u) << outcome.err;
  ASSERT_GE(outcome.err.size(), stop.size());
  EXPECT_EQ(outcome.err.substr(outcome.err.size() - stop.size()), stop) << outcome.err;
  EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - stop.size() + 2) << "two lines: " << outcome.err;
  EXPECT_EQ(outcome.exit_status, 2);
}

TEST_F(StartUp, StandardOutputIsLineBufferedOnAPipe) {
  // A live input that never ends: the lines must arrive while the program
  // still runs, not when it exits.
  RunningProgram program({"zolvane", "-i", "udp://127.0.0.1:0", "udp://127.0.0.1:5000", stats_},
                         clean_env());
  EXPECT_EQ(program.next_out_line(), kDefaultFecLine);
  EXPECT_EQ(program.next_out_line(), kBanner);
  program.kill_and_wait();
}

TEST_F(StartUp, InputWatchdogEndsARunWhoseInputNeverSendsWithStatusOne) {
  // A UDP input nobody sends to: no decoded buffer ever reaches a branch.
  Outcome outcome = run_with("-i", "udp://127.0.0.1:0", {{"NERKO_INPUT_TIMEOUT", "1"}});
  EXPECT_EQ(outcome.exit_status, 1) << outcome.err;
  EXPECT_EQ(outcome.out, kDefaultFecLine + kBanner);
  const std::string line = "Error! No input for 1 s\n";
  ASSERT_GE(outcome.err.size(), line.size()) << outcome.err;
  EXPECT_EQ(outcome.err.substr(outcome.err.size() - line.size()), line) << outcome.err;
}

// GStreamer's leak tracer reports, at exit, every object still referenced.
EnvChanges with_leak_tracer(EnvChanges changes = {}) {
  changes["GST_TRACERS"] = "leaks";
  changes["GST_DEBUG"] = "GST_TRACER:7";
  changes["GST_DEBUG_NO_COLOR"] = "1";
  return clean_env(changes);
}

// The tracer's records of objects still alive; its announcement of the
// record format ("type-name=(string)%s") is not one.
int alive_records(const std::string &err) {
  const std::string record = "object-alive, type-name=(string)";
  int count = 0;
  for (size_t at = err.find(record); at != std::string::npos; at = err.find(record, at + 1))
    count += err.compare(at + record.size(), 1, "%") != 0;
  return count;
}

void expect_no_leaks(const Outcome &outcome) {
  EXPECT_EQ(alive_records(outcome.err), 0) << outcome.err;
  EXPECT_EQ(outcome.err.find("Leaks detected"), std::string::npos);
  // The tracer really ran: it announces its record format.
  EXPECT_NE(outcome.err.find("new format string: object-alive"), std::string::npos);
}

TEST_F(StartUp, RunEndedByTheBusReleasesEveryReference) {
  Outcome outcome = run_to_end({"zolvane", "-i", input_, "udp://127.0.0.1:5000", stats_},
                               with_leak_tracer());
  EXPECT_EQ(outcome.out, kDefaultFecLine + kBanner);
  EXPECT_NE(outcome.err.find(kUnknownTypeError), std::string::npos);
  EXPECT_EQ(outcome.exit_status, 1);
  expect_no_leaks(outcome);
}

TEST_F(StartUp, UsageErrorReleasesEveryReference) {
  Outcome outcome = run_to_end({"zolvane", "-i"}, with_leak_tracer());
  EXPECT_NE(outcome.err.find(kUsageError), std::string::npos);
  EXPECT_EQ(outcome.exit_status, 1);
  expect_no_leaks(outcome);
}

// A one-second clip with raw video and raw audio, made in-process.
void make_short_clip(const fs::path &file) {
  gst_init(nullptr, nullptr);
  std::string description =
      "videotestsrc num-buffers=10 ! video/x-raw,format=I420,width=160,height=120,framerate=10/1 "
      "! mux. audiotestsrc num-buffers=10 samplesperbuffer=4800 "
      "! audio/x-raw,format=S16LE,rate=48000,channels=1 ! mux. "
      "matroskamux name=mux ! filesink location=\"" + file.string() + "\"";
  GError *error = nullptr;
  GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
  ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
  ASSERT_NE(gst_element_set_state(pipeline, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *end = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND,
                                               GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(end), GST_MESSAGE_EOS);
  gst_message_unref(end);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
}

TEST_F(StartUp, EndOfStreamEndsTheRunWithStatusZeroAndReleasesEveryReference) {
  const fs::path clip = dir_ / "short.mkv";
  make_short_clip(clip);
  Outcome outcome = run_to_end({"zolvane", "-i", "file://" + clip.string(), "udp://127.0.0.1:5000", stats_},
                               with_leak_tracer());
  EXPECT_EQ(outcome.exit_status, 0) << outcome.err;
  EXPECT_EQ(outcome.out.rfind(kDefaultFecLine, 0), 0u) << outcome.out;
  // Branch output may come before the banner: the pipeline plays first.
  EXPECT_NE(outcome.out.find(kBanner), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.err.find("Error!"), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("PLAYING\n"), std::string::npos);
  expect_no_leaks(outcome);
}

// Plug-in loading restricted to a directory of our own, with a registry file
// of its own so the shared registry of the other tests stays untouched.
class RestrictedPlugins : public StartUp {
 protected:
  void SetUp() override {
    StartUp::SetUp();
    fs::create_directory(dir_ / "plugins");
  }
  // Makes the plug-in that provides `factory` loadable.
  void allow_plugin_of(const char *factory) {
    gst_init(nullptr, nullptr);
    GstElementFactory *found = gst_element_factory_find(factory);
    ASSERT_NE(found, nullptr) << factory;
    GstPlugin *plugin = gst_plugin_feature_get_plugin(GST_PLUGIN_FEATURE(found));
    ASSERT_NE(plugin, nullptr);
    fs::path file = gst_plugin_get_filename(plugin);
    fs::create_symlink(file, dir_ / "plugins" / file.filename());
    gst_object_unref(plugin);
    gst_object_unref(found);
  }
  // Makes the plug-in named `name` loadable.
  void allow_plugin(const char *name) {
    gst_init(nullptr, nullptr);
    GstPlugin *plugin = gst_registry_find_plugin(gst_registry_get(), name);
    ASSERT_NE(plugin, nullptr) << name;
    fs::path file = gst_plugin_get_filename(plugin);
    fs::create_symlink(file, dir_ / "plugins" / file.filename());
    gst_object_unref(plugin);
  }
  Outcome run_restricted() {
    return run_to_end({"zolvane", "-i", input_, "udp://127.0.0.1:5000", stats_},
                      clean_env({{"GST_PLUGIN_SYSTEM_PATH_1_0", (dir_ / "plugins").string()},
                                 {"GST_PLUGIN_SYSTEM_PATH", (dir_ / "plugins").string()},
                                 {"GST_PLUGIN_PATH_1_0", std::nullopt},
                                 {"GST_PLUGIN_PATH", std::nullopt},
                                 {"GST_REGISTRY_1_0", std::nullopt},
                                 {"GST_REGISTRY", (dir_ / "registry.bin").string()}}));
  }
};

TEST_F(RestrictedPlugins, MissingRtpbinIsASetUpErrorAfterOnlyTheFecLine) {
  allow_plugin_of("uridecodebin");
  Outcome outcome = run_restricted();
  EXPECT_EQ(outcome.out, kDefaultFecLine);
  EXPECT_EQ(outcome.err, "Error! Missing element rtpbin\n");
  EXPECT_EQ(outcome.exit_status, 1);
}

TEST_F(RestrictedPlugins, SetUpErrorReleasesEveryReference) {
  allow_plugin_of("uridecodebin");
  allow_plugin("coretracers");  // the leak tracer itself
  Outcome outcome = run_to_end({"zolvane", "-i", input_, "udp://127.0.0.1:5000", stats_},
                               with_leak_tracer({{"GST_PLUGIN_SYSTEM_PATH_1_0", (dir_ / "plugins").string()},
                                                 {"GST_PLUGIN_PATH_1_0", std::nullopt},
                                                 {"GST_PLUGIN_PATH", std::nullopt},
                                                 {"GST_REGISTRY", (dir_ / "registry.bin").string()}}));
  EXPECT_NE(outcome.err.find("Error! Missing element rtpbin\n"), std::string::npos);
  EXPECT_EQ(outcome.exit_status, 1);
  expect_no_leaks(outcome);
}

TEST_F(RestrictedPlugins, MissingDecoderIsASetUpErrorAfterOnlyTheFecLine) {
  allow_plugin_of("rtpbin");
  Outcome outcome = run_restricted();
  EXPECT_EQ(outcome.out, kDefaultFecLine);
  EXPECT_EQ(outcome.err, "Error! Missing element uridecodebin\n");
  EXPECT_EQ(outcome.exit_status, 1);
}

}  // namespace
}  // namespace nerko
