/* Precondition checks of the plain-function core. A broken precondition is a programming
 * error: the report names the function, the source file's module and the condition, then the
 * process aborts, in every build type. */
#ifndef KIVO_PLATFORM_ASSERT_H
#define KIVO_PLATFORM_ASSERT_H

#include "kivo/export.h"

KIVO_EXTERN_C_BEGIN

/* Writes "Assertion failed: (condition), function function, file module." to stderr and aborts. */
[[noreturn]] void kivo_assert_fail(const char *function, const char *module, const char *condition);

KIVO_EXTERN_C_END

/* KIVO_ASSERT(module, condition): module is the source file's name, as in "audio_db". */
#define KIVO_ASSERT(module, condition) \
  ((condition) ? (void)0 : kivo_assert_fail(__func__, module, #condition))

#endif
