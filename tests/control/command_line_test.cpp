// Reading "nerko-encoder -i INPUT OUTPUT STATS.txt".
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoder/control/command_line.h"

namespace nerko {
namespace {

const char kUsage[] = "Nerko Multicast Encoder 3.2.3\nUsage: nerko-encoder -i INPUT OUTPUT STATS.txt";

TEST(CommandLine, FewerThanFourArgumentsIsTheUsageError) {
  for (size_t count : {0u, 1u, 2u, 3u, 4u}) {
    std::vector<std::string> arguments{"/usr/bin/zolvane", "-i", "file:///a", "udp://h:1"};
    arguments.resize(count);
    auto line = read_command_line(arguments);
    ASSERT_FALSE(line) << count;
    EXPECT_EQ(line.error().kind(), ErrorKind::UsageError);
    EXPECT_EQ(line.error().message(), kUsage);
  }
}

TEST(CommandLine, InputAndOutputLoseWhiteSpaceStatsPathIsKept) {
  auto line = read_command_line({"zolvane", "anything", " file:///srv/my\tclip.mp4\n",
                                 "\xC2\xA0udp://239.1.2.3 :5000\xE3\x80\x80", "/tmp/my stats.txt"});
  ASSERT_TRUE(line);
  EXPECT_EQ(line.value().input, "file:///srv/myclip.mp4");
  EXPECT_EQ(line.value().output, "udp://239.1.2.3:5000");
  EXPECT_EQ(line.value().stats_path, "/tmp/my stats.txt");
}

TEST(CommandLine, ArgumentOneIsNotInspectedAndExtraArgumentsAreIgnored) {
  for (const char *flag : {"-i", "", "--input", "x y"}) {
    auto line = read_command_line({"zolvane", flag, "file:///a", "udp://h:1", "s.txt", "extra", "more"});
    ASSERT_TRUE(line) << flag;
    EXPECT_EQ(line.value().input, "file:///a");
    EXPECT_EQ(line.value().output, "udp://h:1");
    EXPECT_EQ(line.value().stats_path, "s.txt");
  }
}

TEST(CommandLine, ArgumentsThatAreNotUnicodeAreRefusedByPosition) {
  const char *good[] = {"zolvane", "-i", "file:///caf\xC3\xA9", "udp://h:1", "s.txt"};
  auto collected = collect_arguments(5, good);
  ASSERT_TRUE(collected);
  EXPECT_EQ(collected.value(),
            (std::vector<std::string>{"zolvane", "-i", "file:///caf\xC3\xA9", "udp://h:1", "s.txt"}));

  const char *bad_stats[] = {"zolvane", "-i", "file:///a", "udp://h:1", "s\xFF.txt"};
  auto refused = collect_arguments(5, bad_stats);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::Library);
  EXPECT_EQ(refused.error().message(), "Argument 4 is not valid Unicode");

  // An overlong encoding and a lone surrogate are not Unicode either.
  const char *overlong[] = {"zolvane", "\xC0\xAF"};
  EXPECT_EQ(collect_arguments(2, overlong).error().message(), "Argument 1 is not valid Unicode");
  const char *surrogate[] = {"zolvane", "-i", "\xED\xA0\x80"};
  EXPECT_EQ(collect_arguments(3, surrogate).error().message(), "Argument 2 is not valid Unicode");

  auto none = collect_arguments(0, nullptr);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none.value().empty());
}

}  // namespace
}  // namespace nerko
