// The default test of implicit-presence fields, shared by the encoder (which
// skips defaults) and merge (which must not overwrite with them), so that
// merging a message and merging its encoding agree.
#pragma once

#include "common/ref.h"
#include "descriptor/marshaler.h"

namespace velum {

// Ints of one internal digit, the common case, are read inline.
inline bool CompactValue(PyObject* value, long long* out) noexcept {
  auto* number = reinterpret_cast<PyLongObject*>(value);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  *out = static_cast<long long>(PyUnstable_Long_CompactValue(number));
  return true;
}

// 1 when an implicit-presence field holding `value` is written, 0 when it
// holds its default, -1 with a Python exception set.
int HoldsNonDefault(const FieldSpec& f, PyObject* value);

}  // namespace velum
