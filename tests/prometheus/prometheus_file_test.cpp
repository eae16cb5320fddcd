// The Prometheus text of one statistics tick, its atomic file, and how the
// tick reports a file it cannot write.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "encoder/control/atomic_file.h"
#include "encoder/control/build_revision.h"
#include "encoder/control/prometheus_file.h"
#include "encoder/control/prometheus_settings.h"
#include "encoder/control/prometheus_text.h"
#include "encoder/control/statistics.h"
#include "exposition_parser.h"
#include "support/captured_file.h"

namespace nerko::test {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

using testing_support::CapturedFile;

const std::string kRevision = "0123456789abcdef0123456789abcdef01234567";

TEST(StatisticsPrometheusTextTest, OneTickWithoutChannel) {
  EXPECT_EQ(prometheus_text(SenderCounts{1000, 200, 500, 100}, false, kRevision, ""),
            "# HELP nerko_encoder_bytes_served_total Bytes sent by each UDP sender of the encoder.\n"
            "# TYPE nerko_encoder_bytes_served_total counter\n"
            "nerko_encoder_bytes_served_total{session=\"video\",kind=\"rtp\"} 1000\n"
            "nerko_encoder_bytes_served_total{session=\"video\",kind=\"rtcp\"} 200\n"
            "nerko_encoder_bytes_served_total{session=\"audio\",kind=\"rtp\"} 500\n"
            "nerko_encoder_bytes_served_total{session=\"audio\",kind=\"rtcp\"} 100\n"
            "# HELP nerko_encoder_ready 1 once the audio stream was seen to flow and READY FOR PLAYBACK was "
            "printed.\n"
            "# TYPE nerko_encoder_ready gauge\n"
            "nerko_encoder_ready 0\n"
            "# HELP nerko_encoder_build_info Source revision the encoder was built from.\n"
            "# TYPE nerko_encoder_build_info gauge\n"
            "nerko_encoder_build_info{revision=\"0123456789abcdef0123456789abcdef01234567\"} 1\n");
}

TEST(StatisticsPrometheusTextTest, ParsesAsThreeFamiliesWithTheCountsReadyAndRevision) {
  auto families =
      parse_exposition(prometheus_text(SenderCounts{18446744073709551615u, 0, 7, 3}, true, kRevision, ""));
  ASSERT_EQ(families.size(), 3u);
  EXPECT_EQ(families[0].name, "nerko_encoder_bytes_served_total");
  EXPECT_EQ(families[0].type, "counter");
  ASSERT_EQ(families[0].samples.size(), 4u);
  const std::pair<const char *, const char *> senders[] = {
      {"video", "rtp"}, {"video", "rtcp"}, {"audio", "rtp"}, {"audio", "rtcp"}};
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(families[0].samples[i].labels,
              (std::map<std::string, std::string>{{"session", senders[i].first}, {"kind", senders[i].second}}));
  EXPECT_EQ(families[0].samples[0].value, 18446744073709551615.0);
  EXPECT_EQ(families[0].samples[2].value, 7);
  EXPECT_EQ(families[0].samples[3].value, 3);
  EXPECT_EQ(families[1].name, "nerko_encoder_ready");
  EXPECT_EQ(families[1].type, "gauge");
  ASSERT_EQ(families[1].samples.size(), 1u);
  EXPECT_EQ(families[1].samples[0].value, 1);
  EXPECT_EQ(families[2].name, "nerko_encoder_build_info");
  ASSERT_EQ(families[2].samples.size(), 1u);
  EXPECT_EQ(families[2].samples[0].labels, (std::map<std::string, std::string>{{"revision", kRevision}}));
  EXPECT_EQ(families[2].samples[0].value, 1);
}

TEST(StatisticsPrometheusTextTest, ChannelLabelIsOnEverySampleAndEscaped) {
  const std::string channel = "news \"1\"\\hd\nx";
  const std::vector<AlarmSample> alarms = {{"primary", "video_black", true}, {"backup", "audio_silent", false}};
  std::string text = prometheus_text(SenderCounts{1, 2, 3, 4}, false, kRevision, channel, {}, nullptr, &alarms);
  EXPECT_NE(text.find("nerko_encoder_ready{channel=\"news \\\"1\\\"\\\\hd\\nx\"} 0\n"), std::string::npos) << text;
  EXPECT_NE(text.find(",input=\"primary\",alarm=\"video_black\"} 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find(",input=\"backup\",alarm=\"audio_silent\"} 0\n"), std::string::npos) << text;
  auto families = parse_exposition(text);
  size_t samples = 0;
  for (const auto &family : families)
    for (const auto &sample : family.samples) {
      EXPECT_EQ(sample.labels.at("channel"), channel) << sample.name;
      ++samples;
    }
  EXPECT_EQ(samples, 8u);
}

TEST(StatisticsPrometheusTextTest, LabelValuesThatAreNotUtf8AreMadeValid) {
  EXPECT_EQ(prometheus_label_value("a\xff" "b"), "a\xef\xbf\xbd" "b");
  EXPECT_NO_THROW(parse_exposition(prometheus_text(SenderCounts{}, false, kRevision, "ch\xc3")));
}

class StatisticsPrometheusFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("nerko-prom-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  // Names of everything in `dir`.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
      names.insert(entry.path().filename().string());
    return names;
  }

  fs::path dir;
};

TEST_F(StatisticsPrometheusFileTest, WritesAndReplacesTheFileLeavingNothingElse) {
  fs::path path = dir / "encoder.prom";
  EXPECT_FALSE(write_file_atomically(path.string(), "first 1\n"));
  EXPECT_EQ(read_file(path), "first 1\n");
  std::ofstream(path, std::ios::app) << std::string(10000, '#') << "\n";
  EXPECT_FALSE(write_file_atomically(path.string(), "second 2\n"));
  EXPECT_EQ(read_file(path), "second 2\n");
  EXPECT_EQ(entries(), (std::set<std::string>{"encoder.prom"}));
}

TEST_F(StatisticsPrometheusFileTest, FileIsReadableByOtherUsers) {
  mode_t old_mask = umask(022);
  fs::path path = dir / "encoder.prom";
  EXPECT_FALSE(write_file_atomically(path.string(), "a 1\n"));
  umask(old_mask);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST_F(StatisticsPrometheusFileTest, MissingDirectoryIsReportedAndCreatesNothing) {
  fs::path path = dir / "missing" / "encoder.prom";
  EXPECT_EQ(write_file_atomically(path.string(), "a 1\n").value().message(), "No such file or directory");
  EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST_F(StatisticsPrometheusFileTest, DirectoryInTheWayIsReportedAndTheTemporaryFileRemoved) {
  fs::create_directory(dir / "encoder.prom");
  EXPECT_EQ(write_file_atomically((dir / "encoder.prom").string(), "a 1\n").value().message(), "Is a directory");
  EXPECT_EQ(entries(), (std::set<std::string>{"encoder.prom"}));
}

TEST_F(StatisticsPrometheusFileTest, LinkOrLeftoverAtTheTemporaryNameIsReplacedNotFollowed) {
  fs::path victim = dir / "victim.txt";
  std::ofstream(victim) << "keep\n";
  fs::create_symlink(victim, dir / (".encoder.prom." + std::to_string(getpid()) + ".tmp"));
  EXPECT_FALSE(write_file_atomically((dir / "encoder.prom").string(), "a 1\n"));
  EXPECT_EQ(read_file(victim), "keep\n");
  EXPECT_EQ(read_file(dir / "encoder.prom"), "a 1\n");
  EXPECT_EQ(entries(), (std::set<std::string>{"encoder.prom", "victim.txt"}));
}

TEST_F(StatisticsPrometheusFileTest, ReaderNeverSeesAPartialFile) {
  // A reader polling while the file is rewritten sees one whole version or
  // the other, never an empty or a cut file.
  fs::path path = dir / "encoder.prom";
  const std::string a = prometheus_text(SenderCounts{1, 2, 3, 4}, false, kRevision, "a");
  const std::string b = prometheus_text(SenderCounts{100000, 20000, 30000, 4000}, true, kRevision, "b");
  ASSERT_FALSE(write_file_atomically(path.string(), a));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done.load()) {
      std::string seen = read_file(path);
      if (seen != a && seen != b)
        torn.fetch_add(1);
      reads.fetch_add(1);
    }
  });
  for (int i = 0; i < 500; ++i)
    ASSERT_FALSE(write_file_atomically(path.string(), i % 2 ? a : b));
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
}

// The tick as the timer runs it, with the Prometheus file asked for.
class StatisticsPrometheusTickTest : public StatisticsPrometheusFileTest {
 protected:
  void SetUp() override {
    StatisticsPrometheusFileTest::SetUp();
    context.sinks = std::make_shared<StreamSinks>();
    context.stats_path = (dir / "stats.txt").string();
    context.prometheus = PrometheusExport{(dir / "encoder.prom").string(), "", false};
  }

  // One tick; returns its console output.
  std::string tick(uint64_t audio_rtp) {
    CapturedFile out;
    report_tick(context, SenderCounts{10, 1, audio_rtp, 2}, out.get(), err.get());
    return out.text();
  }

  StatsTimerContext context;
  CapturedFile err;
};

TEST_F(StatisticsPrometheusTickTest, EveryTickRewritesTheFileBesideTheStatisticsFile) {
  std::string console = tick(500);
  EXPECT_EQ(console, statistics_line(SenderCounts{10, 1, 500, 2}) + "\n");
  EXPECT_EQ(read_file(dir / "encoder.prom"), prometheus_text(SenderCounts{10, 1, 500, 2}, false, build_revision, ""));
  EXPECT_EQ(read_file(dir / "stats.txt"), statistics_line(SenderCounts{10, 1, 500, 2}));
  // The tick that prints the ready message already exports it.
  EXPECT_NE(tick(700).find("READY FOR PLAYBACK"), std::string::npos);
  EXPECT_EQ(read_file(dir / "encoder.prom"), prometheus_text(SenderCounts{10, 1, 700, 2}, true, build_revision, ""));
  EXPECT_EQ(err.text(), "");
}

TEST_F(StatisticsPrometheusTickTest, FailureWarnsOnceWhileItLastsAndTheTickGoesOn) {
  fs::path missing = dir / "textfile";
  context.prometheus->path = (missing / "encoder.prom").string();
  const std::string warning =
      "Warning, failed to write Prometheus file " + context.prometheus->path + ": No such file or directory\n";
  EXPECT_EQ(tick(500), statistics_line(SenderCounts{10, 1, 500, 2}) + "\n");
  EXPECT_EQ(err.text(), warning);
  EXPECT_EQ(tick(700), statistics_line(SenderCounts{10, 1, 700, 2}) + "\n\x1b[32mREADY FOR PLAYBACK\x1b[0m\n\n");
  tick(900);
  EXPECT_EQ(err.text(), warning);
  EXPECT_EQ(read_file(dir / "stats.txt"), statistics_line(SenderCounts{10, 1, 900, 2}));

  // Once it works again the file is there; a new failure is told again.
  fs::create_directory(missing);
  tick(1000);
  EXPECT_EQ(read_file(missing / "encoder.prom"), prometheus_text(SenderCounts{10, 1, 1000, 2}, true, build_revision, ""));
  fs::remove_all(missing);
  tick(1100);
  tick(1200);
  EXPECT_EQ(err.text(), warning + warning);
}

TEST_F(StatisticsPrometheusTickTest, BehindRealTimeWarnsAtEveryTickWhileItLastsAndFillsTheGauge) {
  CapturedFile out;
  const std::string video_warning = "Warning, video is 1.5 s behind real time\n";
  report_tick(context, SenderCounts{10, 1, 500, 2}, out.get(), err.get(), SendLag{1'500'000'000, 999'000'000});
  EXPECT_EQ(err.text(), video_warning);
  report_tick(context, SenderCounts{10, 1, 700, 2}, out.get(), err.get(),
              SendLag{2'340'000'000, 1'100'000'000});
  const std::string warned = video_warning + "Warning, video is 2.3 s behind real time\n"
                                             "Warning, audio is 1.1 s behind real time\n";
  EXPECT_EQ(err.text(), warned);
  // One second is not more than one second; a sender a moment early is not behind.
  report_tick(context, SenderCounts{10, 1, 900, 2}, out.get(), err.get(), SendLag{GST_SECOND, -5'000'000});
  EXPECT_EQ(err.text(), warned);
  EXPECT_EQ(out.text().find("behind"), std::string::npos);

  auto families = parse_exposition(read_file(dir / "encoder.prom"));
  ASSERT_EQ(families.size(), 4u);
  EXPECT_EQ(families[3].name, "nerko_encoder_behind_seconds");
  EXPECT_EQ(families[3].type, "gauge");
  ASSERT_EQ(families[3].samples.size(), 2u);
  EXPECT_EQ(families[3].samples[0].labels, (std::map<std::string, std::string>{{"kind", "video"}}));
  EXPECT_EQ(families[3].samples[0].value, 1.0);
  EXPECT_EQ(families[3].samples[1].labels, (std::map<std::string, std::string>{{"kind", "audio"}}));
  EXPECT_EQ(families[3].samples[1].value, 0.0);
  // Where no lag could be told, no sample: only the three families of before.
  tick(1000);
  EXPECT_EQ(parse_exposition(read_file(dir / "encoder.prom")).size(), 3u);
}

TEST_F(StatisticsPrometheusTickTest, NoFileUnlessAskedFor) {
  context.prometheus.reset();
  tick(500);
  EXPECT_EQ(entries(), (std::set<std::string>{"stats.txt"}));
}

// Sets one variable for a scope and restores it.
class ScopedVariable {
 public:
  ScopedVariable(const char *name, const char *value) : name_(name) {
    const char *old = std::getenv(name);
    if (old)
      old_ = old;
    had_ = old != nullptr;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedVariable() {
    if (had_)
      setenv(name_, old_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char *name_;
  std::string old_;
  bool had_ = false;
};

TEST(StatisticsPrometheusSettingsTest, FileVariableTurnsTheExportOnAndChannelNamesIt) {
  {
    ScopedVariable file("NERKO_PROMETHEUS_FILE", nullptr);
    ScopedVariable channel("NERKO_PROMETHEUS_CHANNEL", "news");
    EXPECT_EQ(read_prometheus_export(), std::nullopt);
  }
  {
    ScopedVariable file("NERKO_PROMETHEUS_FILE", "");
    EXPECT_EQ(read_prometheus_export(), std::nullopt);
  }
  {
    ScopedVariable file("NERKO_PROMETHEUS_FILE", "/var/lib/nerko-encoder/news.prom");
    ScopedVariable channel("NERKO_PROMETHEUS_CHANNEL", nullptr);
    auto target = read_prometheus_export();
    ASSERT_TRUE(target);
    EXPECT_EQ(target->path, "/var/lib/nerko-encoder/news.prom");
    EXPECT_EQ(target->channel, "");
    EXPECT_FALSE(target->failing);
  }
  {
    ScopedVariable file("NERKO_PROMETHEUS_FILE", "x.prom");
    ScopedVariable channel("NERKO_PROMETHEUS_CHANNEL", "news");
    EXPECT_EQ(read_prometheus_export()->channel, "news");
  }
}

}  // namespace
}  // namespace nerko::test
