// Core unit: no Python.
// The optional instruction sets this process may use, found once at load
// time. Routines with a faster form for them keep their baseline one too,
// for other machines; VELUM_BASELINE_ISA=1 in the environment keeps this
// process on the baseline forms (tests compare the two).
#pragma once

// Whether this build holds the AVX-512 forms (GCC on x86-64), and the target
// attribute of the routines that hold them: the instruction sets
// HasAvx512() checks for, so a form may use any of them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VELUM_AVX512_FORMS 1
#define VELUM_AVX512_TARGET gnu::target("avx512f,avx512bw,avx512vl,avx512ifma,avx512vbmi")
#else
#define VELUM_AVX512_FORMS 0
#endif

namespace velum::cpu {

// AVX-512 F, BW, VL, IFMA and VBMI, all usable (the OS saves their state).
bool HasAvx512() noexcept;

// For tests: whether the AVX-512 forms are taken from now on (never when
// the CPU lacks them). Not for use while another thread writes JSON.
void AllowAvx512(bool allowed) noexcept;

namespace detail {
extern bool avx512;
}  // namespace detail

// The flag the dispatching routines test, one load per call.
[[gnu::always_inline]] inline bool UseAvx512() noexcept { return detail::avx512; }

}  // namespace velum::cpu
