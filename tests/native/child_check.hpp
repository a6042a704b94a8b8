// CHILD_CHECK: inside a forked or death-test child, where a failed gtest assertion would not
// reach the parent, report the first failed check and leave with status 1.
#pragma once

#include <unistd.h>

#include <cstdio>

#define CHILD_CHECK(condition)                                                           \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "child check failed at line %d: %s\n", __LINE__, #condition); \
      std::fflush(stderr);                                                               \
      _exit(1);                                                                          \
    }                                                                                    \
  } while (false)
