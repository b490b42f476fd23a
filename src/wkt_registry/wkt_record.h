// The well-known-type record of a marshaler: which special JSON form the type
// has and the fields that form reads and writes, found and checked once when
// the marshaler is built. Every pointer is borrowed from the marshaler that
// owns the record, so the record lives exactly as long as the tables it names.
// Its own references are str objects only, which hold no cycles.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"

namespace velum {

// Value's members, in the order of its oneof.
enum class ValueMember : uint8_t { kNull, kNumber, kString, kBool, kStruct, kList, kCount };

struct WellKnownRecord {
  WellKnownType kind = WellKnownType::kNone;
  // Timestamp, Duration.
  const FieldSpec* seconds = nullptr;
  const FieldSpec* nanos = nullptr;
  // FieldMask: `paths`; Struct: `fields`; ListValue: `values`; wrapper: `value`.
  const FieldSpec* field = nullptr;
  // Any.
  const FieldSpec* type_url = nullptr;
  const FieldSpec* any_value = nullptr;
  Ref type_key;   // "@type", the member names of the JSON object
  Ref value_key;  // "value"
  // Value: the members of its `kind` oneof, and NullValue's default member.
  const FieldSpec* members[static_cast<size_t>(ValueMember::kCount)] = {};
  // Their names, interned: the Oneofs the reader makes hold these, and so do
  // those made from Python literals and keywords, so the writer finds the
  // member by identity.
  Ref member_names[static_cast<size_t>(ValueMember::kCount)];
  PyObject* null_value = nullptr;

  const FieldSpec& member(ValueMember which) const noexcept { return *members[static_cast<size_t>(which)]; }
  PyObject* member_name(ValueMember which) const noexcept { return member_names[static_cast<size_t>(which)].get(); }
};

namespace wkt {

// The record of `m`; only called for a marshaler whose `well_known` is set.
inline const WellKnownRecord& RecordOf(const MessageMarshaler& m) noexcept { return *m.well_known_record; }

// Hands the record builder to the marshaler builder; called once by the module.
void InstallWellKnownHooks() noexcept;

}  // namespace wkt
}  // namespace velum
