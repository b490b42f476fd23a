// Core unit: no Python.
#include "common/cpu_features.h"

#include <cstdlib>
#include <cstring>

namespace velum::cpu {

namespace {

bool DetectAvx512() noexcept {
#if VELUM_AVX512_FORMS  // (none to take elsewhere)
  // The runtime's checks include the OS's support of the vector state.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512ifma") &&
         __builtin_cpu_supports("avx512vbmi");
#else
  return false;
#endif
}

bool BaselineForced() noexcept {
  const char* value = std::getenv("VELUM_BASELINE_ISA");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

const bool kAvx512 = DetectAvx512();

}  // namespace

namespace detail {
bool avx512 = kAvx512 && !BaselineForced();
}  // namespace detail

bool HasAvx512() noexcept { return kAvx512; }

void AllowAvx512(bool allowed) noexcept { detail::avx512 = allowed && kAvx512; }

}  // namespace velum::cpu
