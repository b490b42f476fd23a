// Core unit: no Python.
#include "json_sink/unit_widen.h"

#if VELUM_AVX512_FORMS
#include <immintrin.h>
#endif

namespace velum::json_sink {

#if VELUM_AVX512_FORMS
// The zero-masking forms with every lane selected are the plain widening
// instructions: gcc 12 warns falsely of the plain intrinsics' undefined operand.
constexpr __mmask16 kAll16 = 0xffff;
constexpr __mmask32 kAll32 = 0xffffffff;

// Whole 64-byte stores, then the rest (fewer units than one store holds)
// by masked loads and stores, which touch no byte beyond the run.
[[VELUM_AVX512_TARGET]] void WidenUnitsAvx512(const uint8_t* in, size_t n, uint16_t* out) noexcept {
  size_t i = 0;
  for (; n - i >= 32; i += 32) {
    _mm512_storeu_si512(out + i, _mm512_maskz_cvtepu8_epi16(kAll32, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i))));
  }
  if (i != n) {
    const auto mask = static_cast<__mmask32>((uint64_t{1} << (n - i)) - 1);
    _mm512_mask_storeu_epi16(out + i, mask, _mm512_maskz_cvtepu8_epi16(mask, _mm256_maskz_loadu_epi8(mask, in + i)));
  }
}

[[VELUM_AVX512_TARGET]] void WidenUnitsAvx512(const uint8_t* in, size_t n, uint32_t* out) noexcept {
  size_t i = 0;
  for (; n - i >= 16; i += 16) {
    _mm512_storeu_si512(out + i, _mm512_maskz_cvtepu8_epi32(kAll16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i))));
  }
  if (i != n) {
    const auto mask = static_cast<__mmask16>((1u << (n - i)) - 1);
    _mm512_mask_storeu_epi32(out + i, mask, _mm512_maskz_cvtepu8_epi32(mask, _mm_maskz_loadu_epi8(mask, in + i)));
  }
}

[[VELUM_AVX512_TARGET]] void WidenUnitsAvx512(const uint16_t* in, size_t n, uint32_t* out) noexcept {
  size_t i = 0;
  for (; n - i >= 16; i += 16) {
    _mm512_storeu_si512(out + i, _mm512_maskz_cvtepu16_epi32(kAll16, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i))));
  }
  if (i != n) {
    const auto mask = static_cast<__mmask16>((1u << (n - i)) - 1);
    _mm512_mask_storeu_epi32(out + i, mask, _mm512_maskz_cvtepu16_epi32(mask, _mm256_maskz_loadu_epi16(mask, in + i)));
  }
}
#else
// Never taken where cpu::UseAvx512() is false; kept for the link.
void WidenUnitsAvx512(const uint8_t* in, size_t n, uint16_t* out) noexcept { WidenUnits(in, n, out); }
void WidenUnitsAvx512(const uint8_t* in, size_t n, uint32_t* out) noexcept { WidenUnits(in, n, out); }
void WidenUnitsAvx512(const uint16_t* in, size_t n, uint32_t* out) noexcept { WidenUnits(in, n, out); }
#endif

}  // namespace velum::json_sink
