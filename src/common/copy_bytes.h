// Core unit: no Python.
// Short copies (tags, member keys, words, most strings and every fixed-width
// value) by overlapping word moves: a call to memcpy costs more than such a
// copy itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velum {

namespace copy_bytes_detail {

struct Block16 {
  unsigned char bytes[16];
};

// Copies [in, in + n) for sizeof(Word) <= n <= 2 * sizeof(Word): its first and
// its last word, which overlap or meet.
template <typename Word>
[[gnu::always_inline]] inline void HeadAndTail(unsigned char* out, const unsigned char* in,
                                               size_t n) noexcept {
  Word head{};
  Word tail{};
  std::memcpy(&head, in, sizeof(Word));
  std::memcpy(&tail, in + n - sizeof(Word), sizeof(Word));
  std::memcpy(out, &head, sizeof(Word));
  std::memcpy(out + n - sizeof(Word), &tail, sizeof(Word));
}

}  // namespace copy_bytes_detail

[[gnu::always_inline]] inline void CopyBytes(void* to, const void* from, size_t n) noexcept {
  using copy_bytes_detail::HeadAndTail;
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  if (n >= 8) {
    if (n <= 16) {
      HeadAndTail<uint64_t>(out, in, n);
    } else if (n <= 32) {
      HeadAndTail<copy_bytes_detail::Block16>(out, in, n);
    } else {
      std::memcpy(out, in, n);
    }
  } else if (n >= 4) {
    HeadAndTail<uint32_t>(out, in, n);
  } else if (n != 0) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  }
}

}  // namespace velum
