// The member names of Struct objects read from JSON text during one call.
// Documents of one kind repeat their keys: each distinct short ASCII key
// becomes one str, hashed once and shared by every dict it names, instead of
// a new str per member. The table is made at the first key, so calls without
// a Struct pay nothing.
//
// They mostly repeat them in the same order too: the table remembers which key
// followed which (and which came first in the object a key named), so that
// the reader can match the key it expects next in place, without scanning or
// hashing it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/ref.h"
#include "common/status.h"
#include "json_parse/source_values.h"

namespace velum::wkt {

class StructKeys {
 public:
  StructKeys() noexcept = default;
  StructKeys(StructKeys&& other) noexcept;
  StructKeys& operator=(StructKeys&& other) noexcept;
  StructKeys(const StructKeys&) = delete;
  StructKeys& operator=(const StructKeys&) = delete;
  ~StructKeys();

  // Where a key is kept: a slot of the table, or kNoSlot. kLost stands for
  // a key that is not kept, after which nothing is expected or recorded.
  static constexpr uint16_t kNoSlot = 0xffff;
  static constexpr uint16_t kLost = 0xfffe;

  // The key as a str: a tree's own key object, one made earlier in the call
  // for the same text, or a new one. `*slot` is where it is kept.
  Result<Ref> Get(const json::MemberName& name, uint16_t* slot = nullptr);

  // The key expected after the key at `previous` in an object, or first in
  // an object named by the key at `parent` when `previous` is kNoSlot: its
  // text (empty when none is known) and slot. Only keys that need no escape
  // are expected, so that the text can be matched as it is.
  std::string_view Expected(uint16_t parent, uint16_t previous, uint16_t* slot) const noexcept {
    *slot = kNoSlot;
    if (slots_ == nullptr || previous == kLost || parent == kLost) return {};
    const uint16_t expected = previous != kNoSlot ? next_[previous] : first_[parent == kNoSlot ? kSlots : parent];
    if (expected == kNoSlot || slots_[expected] == nullptr || !plain_[expected]) return {};
    *slot = expected;
    PyObject* key = slots_[expected];
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key)), static_cast<size_t>(PyUnicode_GET_LENGTH(key))};
  }
  // The key kept at `slot` (one Expected named), borrowed.
  PyObject* At(uint16_t slot) const noexcept { return slots_[slot]; }
  // Records that the key at `slot` came after `previous` (or first in the
  // object `parent` named).
  void Follows(uint16_t parent, uint16_t previous, uint16_t slot) noexcept;

  // The slot of the key whose value is being read, for the objects in it.
  uint16_t current() const noexcept { return current_; }
  void set_current(uint16_t slot) noexcept { current_ = slot; }

 private:
  static constexpr size_t kSlots = 256;      // a power of two
  static constexpr size_t kLongestKey = 48;  // longer keys are rarely repeated
  void Release() noexcept;

  // Made together: kSlots strong references or nulls, then the key that
  // followed each slot's key and the first key of the object it named
  // (kNoSlot when unknown; the entry at kSlots is for the outermost object),
  // then the plain flags.
  PyObject** slots_ = nullptr;
  uint16_t* next_ = nullptr;
  uint16_t* first_ = nullptr;
  // Whether each slot's key needs no escape in JSON text (set with the key).
  bool* plain_ = nullptr;
  uint16_t current_ = kNoSlot;
};

}  // namespace velum::wkt
