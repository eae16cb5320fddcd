#include "fatal.h"

#include <unistd.h>

#include <cstdio>

namespace nerko {

void fatal_stop(std::string_view text) {
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  _exit(2);
}

}  // namespace nerko
