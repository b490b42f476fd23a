// Core unit: no Python.
// The JSON output as code units of the narrowest width that holds every
// character written so far: one byte (ASCII, then Latin-1), two (the BMP) or
// four. A wider character widens what is already there, once per width, so
// the finished text is copied into the result `str` as it stands, without
// being decoded. Text arrives as ASCII (punctuation, numbers, Base64, escapes)
// or as the units of source strings (see json_escape.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "json_sink/code_units.h"
#include "json_sink/text_buffer.h"

namespace velum::json_sink {

class UnitBuffer {
 public:
  UnitBuffer() noexcept = default;
  // Starts in the owner's `first_block` (see TextBuffer).
  UnitBuffer(char* first_block, size_t capacity) noexcept : bytes_(first_block, capacity) {}

  bool ok() const noexcept { return bytes_.ok(); }
  void Fail() noexcept { bytes_.Fail(); }
  // log2 of the bytes per unit: 0, 1 or 2.
  unsigned shift() const noexcept { return shift_; }
  // The bound of the characters written: 0x7f, 0xff, 0xffff or 0x10ffff.
  uint32_t max_char() const noexcept { return max_char_; }
  // Characters written.
  size_t length() const noexcept { return bytes_.size() >> shift_; }
  const char* data() const noexcept { return bytes_.data(); }
  size_t size() const noexcept { return bytes_.size(); }
  void ShrinkToFit() noexcept { bytes_.ShrinkToFit(); }

  // Makes way for characters up to `max_char`, widening the units written so
  // far when they are too narrow. False (and the buffer failed) when memory
  // ran out.
  [[gnu::always_inline]] bool Admit(uint32_t max_char) noexcept {
    if (max_char <= max_char_) [[likely]]
      return true;
    return Widen(max_char);
  }

  // Room for `n` ASCII bytes: write up to n there, then CommitAscii with the
  // same pointer and the count written. Null when memory ran out.
  [[gnu::always_inline]] char* ReserveAscii(size_t n) noexcept {
    char* p = bytes_.Reserve(n << shift_);
    // Wider units: the bytes go to the end of the room and are widened
    // forwards, which never overtakes a byte not yet read.
    return p == nullptr ? nullptr : p + ((n << shift_) - n);
  }
  [[gnu::always_inline]] void CommitAscii(const char* ascii, size_t m) noexcept {
    if (shift_ != 0) [[unlikely]]
      WidenAscii(ascii, m, bytes_.data() + bytes_.size());
    bytes_.Commit(m << shift_);
  }
  [[gnu::always_inline]] void Append(const char* ascii, size_t n) noexcept {
    if (shift_ == 0) [[likely]] {
      bytes_.Append(ascii, n);
      return;
    }
    char* p = bytes_.Reserve(n << shift_);
    if (p == nullptr) [[unlikely]]
      return;
    WidenAscii(ascii, n, p);
    bytes_.Commit(n << shift_);
  }
  [[gnu::always_inline]] void Push(char c) noexcept {
    if (shift_ == 0) [[likely]] {
      bytes_.Push(c);
      return;
    }
    Append(&c, 1);
  }

  // Room for `n` units of the current width; write them, then CommitUnits.
  [[gnu::always_inline]] char* ReserveUnits(size_t n) noexcept { return bytes_.Reserve(n << shift_); }
  void CommitUnits(size_t n) noexcept { bytes_.Commit(n << shift_); }

 private:
  bool Widen(uint32_t max_char) noexcept;
  void WidenAscii(const char* ascii, size_t n, char* out) const noexcept {
    if (shift_ == 1) {
      WidenUnits<uint8_t, uint16_t>(ascii, n, out);
    } else {
      WidenUnits<uint8_t, uint32_t>(ascii, n, out);
    }
  }

  TextBuffer bytes_;
  unsigned shift_ = 0;
  uint32_t max_char_ = 0x7f;
};

}  // namespace velum::json_sink
