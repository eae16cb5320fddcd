// Replays every committed input of one fuzz target as a test of its own: the
// seed corpus and the regressions (inputs that once broke a property). The
// target's own checks abort on a broken property, which fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

class ReplayInput : public ::testing::Test {
 public:
  explicit ReplayInput(std::filesystem::path path) : path_(std::move(path)) {}
  void TestBody() override {
    std::ifstream file(path_, std::ios::binary);
    ASSERT_TRUE(file) << "cannot read " << path_;
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    SCOPED_TRACE(path_.string());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }

 private:
  std::filesystem::path path_;
};

std::string test_name(const std::string &kind, const std::filesystem::path &file) {
  std::string name = kind + "_";
  for (char c : file.filename().string())
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

// Registers one test per file of @dir; returns how many.
size_t register_inputs(const char *suite, const std::string &kind, const std::filesystem::path &dir) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(dir, error))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const auto &file : files)
    ::testing::RegisterTest(suite, test_name(kind, file).c_str(), nullptr, nullptr, __FILE__,
                            __LINE__, [file]() -> ::testing::Test * { return new ReplayInput(file); });
  return files.size();
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (LLVMFuzzerInitialize)
    LLVMFuzzerInitialize(&argc, &argv);
  if (register_inputs(FUZZ_SUITE, "corpus", FUZZ_CORPUS_DIR) == 0) {
    std::fprintf(stderr, "no seed inputs in %s\n", FUZZ_CORPUS_DIR);
    return 1;
  }
  register_inputs(FUZZ_SUITE, "regression", FUZZ_REGRESSIONS_DIR);
  // Inputs named on the command line, for looking into a new finding.
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path file(argv[i]);
    ::testing::RegisterTest(FUZZ_SUITE, test_name("given", file).c_str(), nullptr, nullptr, __FILE__, __LINE__,
                            [file]() -> ::testing::Test * { return new ReplayInput(file); });
  }
  return RUN_ALL_TESTS();
}
