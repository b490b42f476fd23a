// The member names of Struct objects read from JSON text during one call.
// Documents of one kind repeat their keys: each distinct short ASCII key
// becomes one str, hashed once and shared by every dict it names, instead of
// a new str per member. The table is made at the first key, so calls without
// a Struct pay nothing.
#pragma once

#include <cstddef>
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

  // The key as a str: a tree's own key object, one made earlier in the call
  // for the same text, or a new one.
  Result<Ref> Get(const json::MemberName& name);

 private:
  static constexpr size_t kSlots = 256;      // a power of two
  static constexpr size_t kLongestKey = 48;  // longer keys are rarely repeated
  void Release() noexcept;

  PyObject** slots_ = nullptr;  // kSlots strong references or nulls, once made
};

}  // namespace velum::wkt
