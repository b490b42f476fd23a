// The classification every codec switches on: scalar types, value kinds,
// presence disciplines and the wire type derived from them.
#pragma once

#include <cstdint>

#include "common/ref.h"
#include "common/status.h"
#include "common/wire.h"
#include "descriptor/runtime_names.h"

namespace velum {

// Numbered as the field types of descriptor.proto.
enum class ScalarType : uint8_t {
  kDouble = 1,
  kFloat = 2,
  kInt64 = 3,
  kUint64 = 4,
  kInt32 = 5,
  kFixed64 = 6,
  kFixed32 = 7,
  kBool = 8,
  kString = 9,
  kBytes = 12,
  kUint32 = 13,
  kSfixed32 = 15,
  kSfixed64 = 16,
  kSint32 = 17,
  kSint64 = 18,
};

enum class ValueKind : uint8_t { kScalar = 0, kMessage = 1, kEnum = 2, kList = 3, kMap = 4 };
enum class ElementTag : uint8_t { kScalar = 0, kMessage = 1, kEnum = 2 };
enum class Presence : uint8_t { kExplicit = 1, kImplicit = 2, kRequired = 3 };

struct MessageHandle;
struct EnumTable;

// A singular value's type: the payload of a scalar, enum or message field, a
// list element or a map value. `handle` / `table` are strong references.
struct ElementKind {
  ElementTag tag = ElementTag::kScalar;
  ScalarType scalar = ScalarType::kInt32;
  bool delimited = false;             // message elements only
  MessageHandle* handle = nullptr;    // kMessage
  EnumTable* table = nullptr;         // kEnum

  ElementKind() = default;
  ElementKind(ElementKind&& other) noexcept;
  ElementKind& operator=(ElementKind&& other) noexcept;
  ~ElementKind();
};

struct FieldKind {
  ValueKind kind = ValueKind::kScalar;
  ElementKind value;           // singular payload, list element or map value
  ScalarType map_key = ScalarType::kInt32;
  bool packed = false;         // lists only
  Ref oneof_name;              // local_name of the oneof, singular fields only
};

// Calls `fn.template operator()<T>()` with the ScalarType constant for `type`,
// so that a loop over many values dispatches on the type once. `type` is
// always an enumerator: codes are checked when a schema is read.
template <typename Fn>
inline decltype(auto) WithScalarType(ScalarType type, Fn&& fn) {
  switch (type) {
    case ScalarType::kDouble: return fn.template operator()<ScalarType::kDouble>();
    case ScalarType::kFloat: return fn.template operator()<ScalarType::kFloat>();
    case ScalarType::kInt64: return fn.template operator()<ScalarType::kInt64>();
    case ScalarType::kUint64: return fn.template operator()<ScalarType::kUint64>();
    case ScalarType::kInt32: return fn.template operator()<ScalarType::kInt32>();
    case ScalarType::kFixed64: return fn.template operator()<ScalarType::kFixed64>();
    case ScalarType::kFixed32: return fn.template operator()<ScalarType::kFixed32>();
    case ScalarType::kBool: return fn.template operator()<ScalarType::kBool>();
    case ScalarType::kString: return fn.template operator()<ScalarType::kString>();
    case ScalarType::kBytes: return fn.template operator()<ScalarType::kBytes>();
    case ScalarType::kUint32: return fn.template operator()<ScalarType::kUint32>();
    case ScalarType::kSfixed32: return fn.template operator()<ScalarType::kSfixed32>();
    case ScalarType::kSfixed64: return fn.template operator()<ScalarType::kSfixed64>();
    case ScalarType::kSint32: return fn.template operator()<ScalarType::kSint32>();
    case ScalarType::kSint64: break;
  }
  return fn.template operator()<ScalarType::kSint64>();
}

WireType ScalarWireType(ScalarType type) noexcept;
bool IsPackable(const ElementKind& element) noexcept;
WireType ElementWireType(const ElementKind& element) noexcept;
WireType FieldWireType(const FieldKind& kind) noexcept;

// New reference to the zero value of a scalar type (False is the singleton).
Ref ScalarZeroValue(ScalarType type) noexcept;

// Converts a ScalarType member (or any int) to a code of the table above.
Result<ScalarType> ToScalarType(PyObject* value);
Result<Presence> ToPresence(PyObject* value);

// Classifies the `value` descriptor of a field. May create message handles and
// enum tables (and cache them on the referenced classes).
Result<FieldKind> ClassifyFieldValue(const RuntimeNames& names, PyObject* value_desc);

// Classifies a field from what a field table keeps of it (field_table.h), with
// no value descriptor: `target` is a singular field's ScalarType member,
// DescEnum or DescMessage, a list's element, or a map's value descriptor.
Result<FieldKind> ClassifyTarget(const RuntimeNames& names, ValueKind shape, PyObject* target, ScalarType scalar,
                                 bool packed, bool delimited, Ref oneof_name);

}  // namespace velum
