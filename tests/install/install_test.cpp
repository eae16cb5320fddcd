// `cmake --install` of the build tree into a temporary prefix: the program
// and its operator name, the plug-in in GStreamer's directory layout (and
// loadable from there), the service unit and the files it relies on.
#include <glib.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace nerko::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Ran {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `argv` (looked up in PATH) with `env` added to this environment.
Ran run(const std::vector<std::string> &argv, const std::vector<std::pair<std::string, std::string>> &env = {}) {
  std::vector<char *> args;
  for (const auto &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  gchar **envp = g_get_environ();
  for (const auto &[name, value] : env)
    envp = g_environ_setenv(envp, name.c_str(), value.c_str(), TRUE);
  Ran ran;
  gchar *out = nullptr, *err = nullptr;
  gint wait_status = 0;
  GError *error = nullptr;
  if (g_spawn_sync(nullptr, args.data(), envp, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &wait_status,
                   &error)) {
    ran.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    ran.out = out ? out : "";
    ran.err = err ? err : "";
  } else {
    ran.err = error->message;
    g_error_free(error);
  }
  g_free(out);
  g_free(err);
  g_strfreev(envp);
  return ran;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// Whether gst-inspect-1.0 printed "  <field>   <value>" (any run of spaces).
bool has_field(const std::string &out, const std::string &field, const std::string &value) {
  for (const std::string &line : lines_of(out)) {
    const std::string head = "  " + field + " ";
    if (line.rfind(head, 0) != 0 || line.size() < head.size() + value.size())
      continue;
    size_t value_at = line.size() - value.size();
    if (line.compare(value_at, std::string::npos, value) == 0 &&
        line.find_first_not_of(' ', head.size()) == value_at)
      return true;
  }
  return false;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
    text.pop_back();
  return text;
}

// GStreamer's plug-in directory relative to /usr, where the install puts the
// plug-in under any prefix.
fs::path plugin_dir_in_prefix() {
  Ran ran = run({"pkg-config", "--variable=pluginsdir", "gstreamer-1.0"});
  std::string dir = trimmed(ran.out);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(dir.rfind("/usr/", 0), 0u) << dir;
  return dir.substr(std::string("/usr/").size());
}

class InstallTest : public ::testing::Test {
 protected:
  // One install per test program into its own prefix. Concurrent installs
  // from one build tree would race on its install manifest, hence the lock.
  static void SetUpTestSuite() {
    const char *build = std::getenv("NERKO_BINARY_DIR");
    ASSERT_TRUE(build) << "NERKO_BINARY_DIR is not set";
    prefix_ = fs::temp_directory_path() / ("nerko-install-" + std::to_string(getpid()));
    fs::remove_all(prefix_);
    int lock = open((fs::path(build) / "install-test.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(lock, 0);
    flock(lock, LOCK_EX);
    installed_ = run({"cmake", "--install", build, "--prefix", prefix_.string()});
    flock(lock, LOCK_UN);
    close(lock);
  }
  static void TearDownTestSuite() { fs::remove_all(prefix_); }

  void SetUp() override { ASSERT_EQ(installed_.status, 0) << installed_.out << installed_.err; }

  static fs::path prefix_;
  static Ran installed_;
};

fs::path InstallTest::prefix_;
Ran InstallTest::installed_;

TEST_F(InstallTest, ProgramUnderBothNamesPluginAndExampleAreInThePrefix) {
  fs::path zolvane = prefix_ / "bin" / "zolvane";
  ASSERT_TRUE(fs::is_regular_file(zolvane));
  EXPECT_EQ(access(zolvane.c_str(), X_OK), 0);
  fs::path link = prefix_ / "bin" / "nerko-encoder";
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "zolvane");  // relative, so the prefix can move

  // The installed program runs under its operator name.
  Ran usage = run({link.string()});
  EXPECT_EQ(usage.err, "Error! Nerko Multicast Encoder 3.2.3\nUsage: nerko-encoder -i INPUT OUTPUT STATS.txt\n");

  EXPECT_TRUE(fs::is_regular_file(prefix_ / plugin_dir_in_prefix() / "libgsttollamar.so"));
  // The receiver comes along, so a viewer host can check a stream.
  fs::path receiver = prefix_ / "bin" / "nerko-receive";
  ASSERT_TRUE(fs::is_regular_file(receiver));
  EXPECT_EQ(access(receiver.c_str(), X_OK), 0);

  std::string example = read_file(prefix_ / "share/doc/nerko-encoder/channel.env.example");
  for (const char *line : {"\nINPUT=", "\nOUTPUT=", "\nSTATS=", "\n#NERKO_TARGET_VIDEO_BITRATE=3000000\n",
                           "\n#NERKO_CQ_LEVEL=63\n", "\n#NERKO_SHARPNESS=0\n", "\n#NERKO_DROPFRAME_THRESHOLD=0\n",
                           "\n#NERKO_UNDERSHOOT=95\n", "\n#NERKO_RESIZE_ALLOWED=true\n", "\n#NERKO_END_USAGE=cbr\n",
                           "\n#NERKO_BOOST=false\n", "\n#NERKO_BUFFER_INITIAL_SIZE=4000\n",
                           "\n#NERKO_BUFFER_OPTIMAL_SIZE=5000\n", "\n#NERKO_BUFFER_SIZE=6000\n",
                           "\nNERKO_VIDEO_THREADS=1\n",
                           "\n#NERKO_TARGET_AUDIO_BITRATE=96000\n", "\n#NERKO_VIDEO_FEC_PERCENT=100\n",
                           "\n#NERKO_AUDIO_FEC_PERCENT=100\n", "\n#NERKO_PROMETHEUS_FILE=",
                           "\n#NERKO_PROMETHEUS_CHANNEL="})
    EXPECT_NE(example.find(line), std::string::npos) << line;

  // The user the unit runs as, made by systemd-sysusers.
  std::string users = read_file(prefix_ / "lib/sysusers.d/nerko-encoder.conf");
  EXPECT_NE(users.find("\nu nerko-encoder - \"nerko-encoder live encoder\" /var/lib/nerko-encoder\n"),
            std::string::npos)
      << users;
}

TEST_F(InstallTest, UnitRunsTheChannelFromItsEnvFileAndRestartsOnFailure) {
  fs::path unit = prefix_ / "lib/systemd/system/nerko-encoder@.service";
  std::string text = read_file(unit);
  ASSERT_FALSE(text.empty());
  // Whole lines, each exactly once.
  for (const std::string &line : std::vector<std::string>{
           "EnvironmentFile=/etc/nerko-encoder/%i.env",
        "ExecStart=" + (prefix_ / "bin/nerko-encoder").string() + " -i ${INPUT} ${OUTPUT} ${STATS}",
           "Restart=on-failure", "RestartSec=5s", "User=nerko-encoder", "StateDirectory=nerko-encoder",
           "Environment=NERKO_PROMETHEUS_CHANNEL=%i", "WantedBy=multi-user.target"}) {
    auto lines = lines_of(text);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line << "\n" << text;
  }
  // The settings file is read before ExecStart expands its variables: the
  // channel label default comes first so the env file can override it.
  EXPECT_LT(text.find("Environment=NERKO_PROMETHEUS_CHANNEL"), text.find("EnvironmentFile="));
  EXPECT_EQ(text.find("@NERKO"), std::string::npos);  // no placeholder left

  gchar *analyze = g_find_program_in_path("systemd-analyze");
  if (!analyze)
    return;  // nothing more to check where systemd is not installed
  g_free(analyze);
  // systemd checks a template through an instance of it, found in the unit's directory.
  fs::path units = prefix_ / "verify";
  fs::create_directories(units);
  fs::copy_file(unit, units / "nerko-encoder@.service");
  Ran verify = run({"systemd-analyze", "verify", "--man=no", (units / "nerko-encoder@news.service").string()},
                   {{"SYSTEMD_UNIT_PATH", units.string() + ":"}});
  EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.err.find(units.string()), std::string::npos) << verify.err;
  // Hardened: an exposure of 3.5 or lower (the threshold is in tenths).
  Ran security = run({"systemd-analyze", "security", "--offline=true", "--threshold=35", "--no-pager",
                      (units / "nerko-encoder@news.service").string()},
                     {{"SYSTEMD_UNIT_PATH", units.string() + ":"}});
  EXPECT_EQ(security.status, 0) << security.out << security.err;
  EXPECT_NE(security.out.find("Overall exposure level for nerko-encoder@news.service: "), std::string::npos)
      << security.out << security.err;
}

TEST_F(InstallTest, InstalledPluginLoadsFromItsDirectory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an uninstrumented gst-inspect-1.0 cannot load an instrumented plug-in";
#endif
  fs::path plugins = prefix_ / plugin_dir_in_prefix();
  // Only the installed directory, so a copy installed elsewhere on the
  // machine cannot answer in its place.
  Ran inspect = run({"gst-inspect-1.0", "livevideorate"},
                    {{"GST_PLUGIN_PATH", plugins.string()},
                     {"GST_PLUGIN_PATH_1_0", plugins.string()},
                     {"GST_PLUGIN_SYSTEM_PATH", ""},
                     {"GST_PLUGIN_SYSTEM_PATH_1_0", ""},
                     {"GST_REGISTRY", (prefix_ / "registry.bin").string()}});
  ASSERT_EQ(inspect.status, 0) << inspect.out << inspect.err;
  EXPECT_TRUE(has_field(inspect.out, "Long-name", "Live video rate")) << inspect.out;
  EXPECT_TRUE(has_field(inspect.out, "Filename", (plugins / "libgsttollamar.so").string())) << inspect.out;
}

}  // namespace
}  // namespace nerko::test
