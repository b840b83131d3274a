#include "common/alloc_failure.h"

#include <cstddef>

namespace {
long allocationsLeft = -1;  // negative: never fail
bool failed = false;

bool allocationAllowed() {
  if (allocationsLeft < 0) return true;
  if (allocationsLeft == 0) {
    failed = true;
    return false;
  }
  --allocationsLeft;
  return true;
}
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);
void* __wrap_malloc(size_t size) { return allocationAllowed() ? __real_malloc(size) : nullptr; }
void* __wrap_calloc(size_t count, size_t size) { return allocationAllowed() ? __real_calloc(count, size) : nullptr; }
void* __wrap_realloc(void* p, size_t size) { return allocationAllowed() ? __real_realloc(p, size) : nullptr; }
}

namespace kivo::test {

void failAllocationsAfter(long count) {
  allocationsLeft = count;
  failed = false;
}

bool allocationFailed() { return failed; }

}  // namespace kivo::test
