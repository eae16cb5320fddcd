// Reads back what code under test wrote to a FILE* (standard output or
// error in the program).
#pragma once

#include <cstdio>
#include <string>

namespace nerko::testing_support {

class CapturedFile {
 public:
  CapturedFile() : file_(std::tmpfile()) {}
  ~CapturedFile() { std::fclose(file_); }
  CapturedFile(const CapturedFile &) = delete;
  CapturedFile &operator=(const CapturedFile &) = delete;
  std::FILE *get() const { return file_; }
  std::string text() const {
    std::fflush(file_);
    std::rewind(file_);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0)
      out.append(buffer, n);
    std::fseek(file_, 0, SEEK_END);
    return out;
  }

 private:
  std::FILE *file_;
};

}  // namespace nerko::testing_support
