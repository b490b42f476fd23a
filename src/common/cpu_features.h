// Core unit: no Python.
// The optional instruction sets this process may use, found once at load
// time. Routines with a faster form for them keep their baseline one too,
// for other machines; VELUM_BASELINE_ISA=1 in the environment keeps this
// process on the baseline forms (tests compare the two).
#pragma once

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
