// Short ASCII string values made once and shared: the values of a batch of
// documents repeat (methods, kinds, tags, names from a small set), and a
// str is immutable, so a value met again costs neither an allocation nor,
// later, a deallocation. The table is the process's, guarded by the
// interpreter lock; builds without one make every str anew.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/ref.h"

namespace velum::json {

class ShortStrs {
 public:
  // Texts of 2 to kLongest bytes are shared; shorter ones are the
  // interpreter's own shared objects already, longer ones rarely repeat.
  static constexpr size_t kLongest = 16;

  // A new reference to a str of `text` (ASCII, 2 to kLongest bytes), from
  // the table when it holds one; null with an exception set on failure.
  [[gnu::always_inline]] static PyObject* Get(std::string_view text) noexcept {
    const size_t size = text.size();
    const char* p = text.data();
    // Two words that together cover every byte of the text (overlapping
    // when it is shorter than sixteen): with the size they tell it apart.
    uint64_t low;
    uint64_t high = 0;
    if (size >= 8) {
      std::memcpy(&low, p, 8);
      std::memcpy(&high, p + size - 8, 8);
    } else if (size >= 4) {
      uint32_t head;
      uint32_t tail;
      std::memcpy(&head, p, 4);
      std::memcpy(&tail, p + size - 4, 4);
      low = head | uint64_t{tail} << 32;
    } else {
      low = static_cast<uint8_t>(p[0]) | uint64_t{static_cast<uint8_t>(p[size / 2])} << 8 |
            uint64_t{static_cast<uint8_t>(p[size - 1])} << 16;
    }
    const uint64_t mixed = (low ^ (high + size) * 0x9E3779B97F4A7C15u) * 0xBF58476D1CE4E5B9u;
    Entry& entry = entries_[mixed >> (64 - kBits)];
    // An entry never filled has size 0.
    if (entry.low == low && entry.high == high && entry.size == size) [[likely]]
      return Py_NewRef(entry.str);
    return Miss(entry, text, low, high);
  }

 private:
  struct Entry {
    uint64_t low = 0;
    uint64_t high = 0;
    size_t size = 0;
    PyObject* str = nullptr;  // a strong reference, or null
  };
  static constexpr unsigned kBits = 8;

  // Makes the str and keeps it in `entry` in place of what it held.
  [[gnu::noinline]] static PyObject* Miss(Entry& entry, std::string_view text, uint64_t low, uint64_t high) noexcept;

  static Entry entries_[size_t{1} << kBits];
};

}  // namespace velum::json
