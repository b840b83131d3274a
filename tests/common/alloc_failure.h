// Allocation failures for tests linked with kivo_fail_allocations(target): the C allocator
// (malloc, calloc, realloc) is wrapped at link time and fails on demand. Not thread-safe: use from
// single-threaded tests only.
#pragma once

namespace kivo::test {

// Lets count more allocations succeed, then fails every later one; negative: never fail.
void failAllocationsAfter(long count);
// Whether an allocation has failed since the last failAllocationsAfter.
bool allocationFailed();

// Makes every allocation fail while alive.
struct OutOfMemory {
  OutOfMemory() { failAllocationsAfter(0); }
  ~OutOfMemory() { failAllocationsAfter(-1); }
  OutOfMemory(const OutOfMemory&) = delete;
  OutOfMemory& operator=(const OutOfMemory&) = delete;
};

}  // namespace kivo::test
