// FUZZ_CHECK(condition): a property a fuzz target asserts about every input; a broken one aborts
// with the condition, so libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                    \
  do {                                                                                           \
    if (!(condition)) {                                                                          \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);     \
      std::abort();                                                                              \
    }                                                                                            \
  } while (0)
