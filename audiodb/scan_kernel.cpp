#include "audiodb/scan_staging.h"

#include <initializer_list>

namespace kivo::scan {

namespace {

bool supported(Path path) {
#if defined(__x86_64__)
  switch (path) {
    case Path::portable:
      return true;
    case Path::avx2:
      return avx2_scan != nullptr && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    case Path::avx512:
      return avx512_scan != nullptr && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
             __builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("avx512ifma") &&
             __builtin_cpu_supports("popcnt");
  }
  return false;
#else
  return path == Path::portable;
#endif
}

}  // namespace

// Only the vector kernels call this, on processors with a population count instruction.
#if defined(__x86_64__)
__attribute__((target("popcnt")))
#endif
void prepare_positions(const uint64_t *query, int n, uint32_t limit, Positions &pos) {
  const int half = n / 2;
  uint64_t q = 0;
  for (int p = 0; p < n; ++p) {
    const int i = p < half ? 2 * p + 1 : 2 * (p - half);
    pos.word[p] = query[i];
    q += static_cast<uint64_t>(__builtin_popcountll(query[i]));
    pos.bound[p] = 16 * static_cast<int64_t>(limit) + 14 - static_cast<int64_t>(q);
  }
  pos.query_bits = q;
}

const Kernel *kernel_for(Path path) {
  static const Kernel portable{Path::portable, 1, nullptr};
  static const Kernel avx2{Path::avx2, 4, avx2_scan};
  static const Kernel avx512{Path::avx512, 8, avx512_scan};
  if (!supported(path)) return nullptr;
  switch (path) {
    case Path::portable:
      return &portable;
    case Path::avx2:
      return &avx2;
    case Path::avx512:
      return &avx512;
  }
  return nullptr;
}

const Kernel *best_kernel() {
  static const Kernel *const best = [] {
    for (Path path : {Path::avx512, Path::avx2}) {
      if (const Kernel *kernel = kernel_for(path)) return kernel;
    }
    return kernel_for(Path::portable);
  }();
  return best;
}

}  // namespace kivo::scan
