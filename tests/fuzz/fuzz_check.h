// Property checks for the fuzz targets. A broken property aborts, so that
// libFuzzer keeps the input as a crash and the replaying test fails on it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                         \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__,       \
                   __LINE__, #condition);                                  \
      std::fprintf(stderr, __VA_ARGS__);                                   \
      std::fputc('\n', stderr);                                            \
      std::fflush(stderr);                                                 \
      std::abort();                                                        \
    }                                                                      \
  } while (0)
