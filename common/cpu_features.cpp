#include "common/cpu_features.h"

namespace qv {

bool CpuHasAvx2() {
#if defined(QUELVAR_AVX2_KERNELS) && (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
#else
  return false;
#endif
}

}  // namespace qv
