// Whether a field is written, and with which value: the one decision shared by
// the binary encoder, the JSON writer and the runtime's has_field and repr.
#pragma once

#include <bit>
#include <cstdint>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "field_ops/scalar_convert.h"

namespace velum {

// Checks every oneof attribute of `msg` before anything is written: None, or
// a Oneof whose `field` names a field of the type.
Status CheckOneofs(const MessageMarshaler& m, PyObject* msg);

// The value of `f` that is written, in `out` (a new reference), or `out` left
// empty when the field is skipped:
// - a oneof member: the Oneof's value when the oneof holds this member;
// - explicit presence or required: scalars and enums when their presence bit
//   is set, messages when not None; a required field not set is ValueError
//   "cannot encode {field} to binary: required field not set";
// - implicit presence: unless `always_emit_implicit`, skipped at its default
//   (empty list or map, +0.0 for floating point — so -0.0 and NaN are
//   written —, a false scalar, the enum's default, None).
Status SelectField(const FieldSpec& f, PyObject* msg, bool always_emit_implicit, Ref& out);

// Whether SelectField writes `f` (a required field not set is simply unset).
Result<bool> IsFieldSet(const FieldSpec& f, PyObject* msg);

// ValueError "cannot encode {field} to binary: required field not set".
Status RequiredNotSet(const FieldSpec& f);

// Whether `holder`, an object read from a oneof attribute, holds the member
// `f` (a Oneof whose `field` is a str equal to f's name).
Result<bool> OneofHolds(PyObject* holder, const FieldSpec& f);

// The default test of an implicit-presence scalar of type `T` for a value of
// the type's exact Python class: 1 when written, 0 at the default, -1 when the
// value is of another class (HoldsNonDefault decides, and may run its code).
template <ScalarType T>
[[gnu::always_inline]] inline int ExactScalarIsSet(PyObject* value) noexcept {
  if constexpr (T == ScalarType::kDouble || T == ScalarType::kFloat) {
    if (!PyFloat_CheckExact(value)) return -1;
    // Only +0.0 is the default: -0.0 and NaN are written.
    return std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(value)) != 0;
  } else if constexpr (T == ScalarType::kString) {
    if (!PyUnicode_CheckExact(value)) return -1;
    return PyUnicode_GET_LENGTH(value) != 0;
  } else if constexpr (T == ScalarType::kBytes) {
    if (!PyBytes_CheckExact(value)) return -1;
    return PyBytes_GET_SIZE(value) != 0;
  } else if constexpr (T == ScalarType::kBool) {
    if (value == Py_True) return 1;
    return value == Py_False ? 0 : -1;
  } else {
    long long number = 0;
    if (!PyLong_CheckExact(value)) return -1;
    return !CompactValue(value, &number) || number != 0;  // zero is always compact
  }
}

}  // namespace velum
