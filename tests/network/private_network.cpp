#include "private_network.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace nerko::network_test {
namespace {

// Carries the namespace the test started in to the run inside the new one.
constexpr const char *kOuterNamespaceVariable = "NERKO_TEST_OUTER_NETNS";

std::string network_namespace_id() {
  struct stat info {};
  if (stat("/proc/self/ns/net", &info) != 0)
    return "";
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string shell_quoted(const std::string &text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

struct CommandResult {
  int exit_status = -1;
  std::string output;  // standard output and error together
};

CommandResult run_shell(const std::string &command) {
  CommandResult result;
  FILE *pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe)
    return result;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.output.append(buffer.data(), n);
  int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status))
    result.exit_status = WEXITSTATUS(status);
  return result;
}

std::string own_executable() {
  std::vector<char> path(4096);
  ssize_t n = readlink("/proc/self/exe", path.data(), path.size() - 1);
  return n > 0 ? std::string(path.data(), n) : std::string();
}

}  // namespace

bool inside_private_network() {
  const char *outer = std::getenv(kOuterNamespaceVariable);
  return outer && *outer && network_namespace_id() != outer;
}

void rerun_in_private_network() {
  CommandResult probe = run_shell("unshare -rn true");
  if (probe.exit_status != 0)
    GTEST_SKIP() << "network namespaces are not permitted here (`unshare -rn true` failed: "
                 << probe.output << "); this test sends only inside one of its own";

  const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string full_name = std::string(test->test_suite_name()) + "." + test->name();
  // The inner run writes no report file of its own over the outer one's.
  CommandResult inner = run_shell(
      "env -u GTEST_OUTPUT " + std::string(kOuterNamespaceVariable) + "=" +
      shell_quoted(network_namespace_id()) + " unshare -rn " + shell_quoted(own_executable()) +
      " --gtest_color=no --gtest_filter=" + shell_quoted(full_name));

  if (inner.output.find("[  SKIPPED ] " + full_name) != std::string::npos)
    GTEST_SKIP() << "skipped inside the private network:\n" << inner.output;
  EXPECT_EQ(inner.exit_status, 0) << inner.output;
  EXPECT_NE(inner.output.find("[       OK ] " + full_name), std::string::npos)
      << "the test did not pass inside the private network:\n" << inner.output;
}

void bring_up_loopback_only() {
  ASSERT_TRUE(inside_private_network()) << "refusing to change the machine's own network";
  struct if_nameindex *interfaces = if_nameindex();
  ASSERT_NE(interfaces, nullptr);
  std::vector<std::string> names;
  for (struct if_nameindex *i = interfaces; i->if_index != 0; ++i)
    names.emplace_back(i->if_name);
  if_freenameindex(interfaces);
  ASSERT_EQ(names, std::vector<std::string>{"lo"}) << "the private network must have no way out";
  run_ip("link set lo up");
}

void run_ip(const std::string &arguments) {
  ASSERT_TRUE(inside_private_network()) << "refusing to change the machine's own network";
  CommandResult result = run_shell("ip " + arguments);
  ASSERT_EQ(result.exit_status, 0) << "ip " << arguments << ": " << result.output;
}

int64_t snmp_counter(const std::string &group, const std::string &name) {
  // Two lines per group: the field names, then the values, both after "Group:".
  std::ifstream snmp("/proc/net/snmp");
  std::string names_line, values_line;
  const std::string prefix = group + ":";
  while (std::getline(snmp, names_line)) {
    if (names_line.rfind(prefix + " ", 0) != 0 || !std::getline(snmp, values_line))
      continue;
    std::istringstream names(names_line.substr(prefix.size()));
    std::istringstream values(values_line.substr(prefix.size()));
    std::string field;
    int64_t value = 0;
    while (names >> field && values >> value)
      if (field == name)
        return value;
    return -1;
  }
  return -1;
}

}  // namespace nerko::network_test
