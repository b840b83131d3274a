#include "audiodb/scan_kernel.h"

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
             __builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("popcnt");
  }
  return false;
#else
  return path == Path::portable;
#endif
}

}  // namespace

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
