// One value of a scalar or enum field in its JSON form, written to a sink:
// 64-bit integers as strings, 32-bit ones as numbers, floats as numbers
// (NaN and the infinities as strings), bytes as Base64, enums by name.
// Values are checked here, when written, not when assigned.
#pragma once

#include <cmath>
#include <string_view>

#include "common/py_error.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_kind.h"
#include "field_ops/scalar_convert.h"
#include "json_sink/json_events.h"
#include "json_sink/number_text.h"

namespace velum::json_sink {

namespace scalar_detail {

// The double of a value for a double or float field: a float, or anything
// PyFloat_AsDouble accepts except a bool; else "expected float".
Status FloatValueGeneral(PyObject* value, double* out);
[[gnu::always_inline]] inline Status FloatValue(PyObject* value, double* out) {
  if (PyFloat_CheckExact(value)) [[likely]] {
    *out = PyFloat_AS_DOUBLE(value);
    return Status::Ok();
  }
  return FloatValueGeneral(value, out);
}

// An int of [lo, hi] as `kind` ("int64", "int32", ...): exact small ints
// inline, everything else with the shared checks and their errors.
[[gnu::always_inline]] inline Status SignedValue(PyObject* value, long long lo, long long hi, const char* kind,
                                                 long long* out) {
  int64_t small = 0;
  if (ReadExactInt(value, &small) && small >= lo && small <= hi) [[likely]] {
    *out = small;
    return Status::Ok();
  }
  return ToNamedSigned(value, lo, hi, kind, out);
}
[[gnu::always_inline]] inline Status UnsignedValue(PyObject* value, unsigned long long hi, const char* kind,
                                                   unsigned long long* out) {
  uint64_t small = 0;
  if (ReadExactUint64(value, &small) && small <= hi) [[likely]] {
    *out = small;
    return Status::Ok();
  }
  return ToNamedUnsigned(value, hi, kind, out);
}

}  // namespace scalar_detail

// The type whose JSON form, range checks and error texts `type`'s values
// share: the encodings of one integer range differ only in binary. Callers
// instantiate their per-type code for these nine types, not all fifteen, so
// the writer runs less distinct code.
constexpr ScalarType JsonFormOf(ScalarType type) noexcept {
  switch (type) {
    case ScalarType::kSfixed64:
    case ScalarType::kSint64:
      return ScalarType::kInt64;
    case ScalarType::kFixed64:
      return ScalarType::kUint64;
    case ScalarType::kSfixed32:
    case ScalarType::kSint32:
      return ScalarType::kInt32;
    case ScalarType::kFixed32:
      return ScalarType::kUint32;
    default:
      return type;
  }
}

// One value of scalar type `T`, known when the caller is compiled: the loops
// over repeated fields and the per-type field steps dispatch once, not once
// per value. May run Python code (conversions of foreign number types, str of
// a value for an error message).
template <ScalarType T, JsonSink S>
[[gnu::always_inline]] inline Status WriteScalarOf(S& sink, PyObject* value) {
  if constexpr (T == ScalarType::kDouble || T == ScalarType::kFloat) {
    double number = 0;
    VELUM_TRY(scalar_detail::FloatValue(value, &number));
    if (std::isnan(number)) [[unlikely]]
      return sink.String("NaN");
    if (std::isinf(number)) [[unlikely]]
      return sink.String(number > 0 ? "Infinity" : "-Infinity");
    // As the binary encoder: refused when the nearest float is infinite. A
    // value that rounds to the largest float reads back, so it is written.
    if constexpr (T == ScalarType::kFloat) {
      if (OverflowsFloat32(number)) return OutOfRangeError(value, "float");
    }
    return sink.PythonNumber(value);
  } else if constexpr (T == ScalarType::kInt64 || T == ScalarType::kSfixed64 || T == ScalarType::kSint64) {
    long long number = 0;
    VELUM_TRY(scalar_detail::SignedValue(value, INT64_MIN, INT64_MAX, "int64", &number));
    return sink.QuotedInteger(number);
  } else if constexpr (T == ScalarType::kUint64 || T == ScalarType::kFixed64) {
    unsigned long long number = 0;
    VELUM_TRY(scalar_detail::UnsignedValue(value, UINT64_MAX, "uint64", &number));
    return sink.QuotedUnsigned(number);
  } else if constexpr (T == ScalarType::kInt32 || T == ScalarType::kSfixed32 || T == ScalarType::kSint32) {
    long long number = 0;
    VELUM_TRY(scalar_detail::SignedValue(value, INT32_MIN, INT32_MAX, "int32", &number));
    return sink.Integer(number, PyLong_CheckExact(value) ? value : nullptr);
  } else if constexpr (T == ScalarType::kUint32 || T == ScalarType::kFixed32) {
    unsigned long long number = 0;
    VELUM_TRY(scalar_detail::UnsignedValue(value, UINT32_MAX, "uint32", &number));
    return sink.Integer(static_cast<int64_t>(number), PyLong_CheckExact(value) ? value : nullptr);
  } else if constexpr (T == ScalarType::kBool) {
    if (value == Py_True || value == Py_False) [[likely]]
      return sink.Boolean(value == Py_True);
    bool flag = false;
    VELUM_TRY(ToBool(value, &flag));
    return sink.Boolean(flag);
  } else if constexpr (T == ScalarType::kString) {
    // The text sink encodes the str; the value tree keeps it as it is.
    if (!PyUnicode_Check(value)) return ExpectedTypeError("str", value);
    return sink.PythonString(value);
  } else if constexpr (T == ScalarType::kBytes) {
    if (!PyBytes_Check(value) && !PyByteArray_Check(value)) return ExpectedTypeError("bytes", value);
    return sink.Bytes(value);
  } else {
    return Status(ErrorKind::kRuntime, "unknown scalar type");
  }
}

// Expands X(type) for every scalar type a field can have (groups, messages
// and enums are never scalars here).
#define VELUM_FOR_EACH_SCALAR_TYPE(X) \
  X(ScalarType::kDouble)              \
  X(ScalarType::kFloat)               \
  X(ScalarType::kInt64)               \
  X(ScalarType::kUint64)              \
  X(ScalarType::kInt32)               \
  X(ScalarType::kFixed64)             \
  X(ScalarType::kFixed32)             \
  X(ScalarType::kBool)                \
  X(ScalarType::kString)              \
  X(ScalarType::kBytes)               \
  X(ScalarType::kUint32)              \
  X(ScalarType::kSfixed32)            \
  X(ScalarType::kSfixed64)            \
  X(ScalarType::kSint32)              \
  X(ScalarType::kSint64)

// One value of a scalar field whose type is known only at run time.
template <JsonSink S>
Status WriteScalar(S& sink, ScalarType type, PyObject* value) {
  switch (type) {
#define VELUM_SCALAR_CASE(T) \
  case T:                    \
    return WriteScalarOf<JsonFormOf(T)>(sink, value);
    VELUM_FOR_EACH_SCALAR_TYPE(VELUM_SCALAR_CASE)
#undef VELUM_SCALAR_CASE
    default:
      break;
  }
  return Status(ErrorKind::kRuntime, "unknown scalar type");
}

Status EnumNotInt(const EnumTable& table, PyObject* value);
// "invalid enum value {value} for enum {name}", of an int beyond 32 bits or of a number.
Status InvalidEnumValue(const EnumTable& table, PyObject* value);
Status InvalidEnumValue(const EnumTable& table, int32_t number);

// The rest of WriteEnum, for an int `value` whose number is `number`.
template <JsonSink S>
[[gnu::always_inline]] inline Status WriteEnumNumber(S& sink, const EnumTable& table, int32_t number, PyObject* value,
                                                     bool as_int) {
  const EnumValueEntry* entry = table.Entry(number);
  if (entry == nullptr && !table.open) return InvalidEnumValue(table, number);
  if (table.is_null_value) return sink.Null();
  if (as_int || entry == nullptr) return sink.Integer(number, PyLong_CheckExact(value) ? value : nullptr);
  return sink.PythonString(entry->json_name.get());
}

// An enum by its output name, or by number when `as_int` is set or the
// number names no value of an open enum; NullValue is always null.
template <JsonSink S>
Status WriteEnum(S& sink, const EnumTable& table, PyObject* value, bool as_int) {
  if (!IsIntNotBool(value)) return EnumNotInt(table, value);
  // Enum members are int subclasses: compact ones are read inline too.
  int overflow = 0;
  long long wide = 0;
  if (!CompactValue(value, &wide)) {
    wide = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (wide == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (overflow != 0 || wide < INT32_MIN || wide > INT32_MAX) {
    if (!table.open) return InvalidEnumValue(table, value);
    return sink.PythonNumber(value);
  }
  return WriteEnumNumber(sink, table, static_cast<int32_t>(wide), value, as_int);
}

}  // namespace velum::json_sink
