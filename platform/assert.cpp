#include "platform/assert.h"

#include <cstdio>
#include <cstdlib>

extern "C" void kivo_assert_fail(const char *function, const char *module, const char *condition) {
  std::fprintf(stderr, "Assertion failed: (%s), function %s, file %s.\n", condition, function, module);
  std::fflush(stderr);
  std::abort();
}
