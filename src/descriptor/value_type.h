// The native object (message handle or enum table) cached on a generated class
// as `_ext_value_type`, so that every field referring to the class shares it.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/runtime_names.h"

namespace velum {

struct ValueTypeLookup {
  Ref cls;     // the descriptor's `type`, a type object
  Ref cached;  // its `_ext_value_type`, or null when it has none yet
};

// Reads `desc.type` and its cached object, which must pass `is_kind` (else a
// TypeError naming `kind`, the Python type name of the cached object).
Result<ValueTypeLookup> LookupValueType(const RuntimeNames& names, PyObject* desc, RawSlot type_slot,
                                        bool (*is_kind)(PyObject*), const char* kind);

Status StoreValueType(const RuntimeNames& names, PyObject* cls, PyObject* value);

}  // namespace velum
