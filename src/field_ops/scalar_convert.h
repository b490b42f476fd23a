// Converting between Python values and native scalars, apart from how either
// codec emits them: the checks and error texts of every scalar kind (the
// binary encoder's table), their building blocks for other tables, the inline
// readers of the exact built-in types, and new Python objects from native
// values.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/ref.h"
#include "common/status.h"
#include "common/utf8_str.h"
#include "common/utf8_text.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_kind.h"

namespace velum {

// ---- inline readers of exact built-in types --------------------------------------

// Ints of one internal digit, the common case, are read inline.
inline bool CompactValue(PyObject* value, long long* out) noexcept {
  auto* number = reinterpret_cast<PyLongObject*>(value);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  *out = static_cast<long long>(PyUnstable_Long_CompactValue(number));
  return true;
}

// An exact int of at most two internal digits (|v| < 2^60 with 30-bit digits)
// read without a call; larger values and subclasses take the general path.
[[gnu::always_inline]] inline bool ReadExactInt(PyObject* value, int64_t* out) noexcept {
  if (!PyLong_CheckExact(value)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(number)) [[likely]] {
    *out = static_cast<int64_t>(PyUnstable_Long_CompactValue(number));
    return true;
  }
#if PyLong_SHIFT == 30
  const uintptr_t tag = number->long_value.lv_tag;
  if ((tag >> _PyLong_NON_SIZE_BITS) != 2) return false;
  const uint64_t magnitude = static_cast<uint64_t>(number->long_value.ob_digit[0]) |
                             (static_cast<uint64_t>(number->long_value.ob_digit[1]) << PyLong_SHIFT);
  *out = (tag & _PyLong_SIGN_MASK) == 2 ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
#else
  return false;
#endif
}

// A non-negative exact int below 2^64 (up to three internal digits), for the
// unsigned 64-bit kinds whose values often use the top bits.
[[gnu::always_inline]] inline bool ReadExactUint64(PyObject* value, uint64_t* out) noexcept {
  int64_t small = 0;
  if (ReadExactInt(value, &small)) {
    *out = static_cast<uint64_t>(small);
    return small >= 0;
  }
#if PyLong_SHIFT == 30
  if (!PyLong_CheckExact(value)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(value);
  const uintptr_t tag = number->long_value.lv_tag;
  const digit* digits = number->long_value.ob_digit;
  // Three digits, positive, the top one holding at most 4 bits.
  if (tag >> _PyLong_NON_SIZE_BITS != 3 || (tag & _PyLong_SIGN_MASK) != 0 || digits[2] >> 4 != 0) return false;
  *out = static_cast<uint64_t>(digits[0]) | (static_cast<uint64_t>(digits[1]) << 30) |
         (static_cast<uint64_t>(digits[2]) << 60);
  return true;
#else
  return false;
#endif
}

// UTF-8 of an exact str: ASCII strings are their own UTF-8; others use the
// interpreter's cached encoding. Null (nothing set) for anything else or when
// the string cannot be encoded; the general path then reports it.
[[gnu::always_inline]] inline const char* ExactStrUtf8(PyObject* value, Py_ssize_t* size) noexcept {
  if (!PyUnicode_CheckExact(value)) return nullptr;
  if (PyUnicode_IS_COMPACT_ASCII(value)) [[likely]] {
    *size = PyUnicode_GET_LENGTH(value);
    return static_cast<const char*>(PyUnicode_DATA(value));
  }
#if !defined(Py_GIL_DISABLED)
  // A compact string's UTF-8 form, once made, is kept on the object.
  if (PyUnicode_IS_COMPACT(value)) {
    const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(value);
    if (compact->utf8 != nullptr) {
      *size = compact->utf8_length;
      return compact->utf8;
    }
  }
#endif
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, size);
  if (utf8 == nullptr) PyErr_Clear();
  return utf8;
}

// ---- Python value to native scalar ---------------------------------------------------

// A native scalar: `i64` for the signed kinds, `u64` for the unsigned ones,
// `f64` for double and float (float already checked to fit 32 bits), `b` for
// bool, and `data`/`size` for string (UTF-8) and bytes, borrowed from the
// value, which the caller keeps alive.
struct ScalarValue {
  union {
    int64_t i64;
    uint64_t u64;
    double f64;
    bool b;
  };
  const char* data = nullptr;
  Py_ssize_t size = 0;
  ScalarValue() noexcept : u64(0) {}
};

// The value of a field of `type` as the binary encoder takes it, with its
// errors: "expected float|int|bool|string|bytes, got {type}", "value {value}
// out of range for float32|int64|uint64|int32|uint32", and for the other
// integer kinds the conversion's own OverflowError.
Status ConvertScalar(ScalarType type, PyObject* value, ScalarValue* out);

// An enum value as the binary encoder takes it: anything PyLong_AsLong
// accepts, within int32 ("out of range integral type conversion attempted"),
// and for a closed enum one of its numbers ("invalid enum value {number} for
// enum '{enum}'").
Result<int32_t> ConvertEnum(const EnumTable& table, PyObject* value);

// Building blocks, for tables with other texts (the JSON writer's):
// TypeError "expected {what}, got {type}" ({type} is str() of the value's type).
Status ExpectedTypeError(const char* what, PyObject* value);
// OverflowError "value {value} out of range for {kind}".
Status OutOfRangeError(PyObject* value, const char* kind);
// An int or subclass, bool excluded.
inline bool IsIntNotBool(PyObject* value) noexcept {
  return PyLong_CheckExact(value) || (PyLong_Check(value) && !PyBool_Check(value));
}
// A float, or anything PyFloat_AsDouble accepts; else "expected float".
Status ToDouble(PyObject* value, double* out);
// Whether a finite double becomes infinite as a 32-bit float.
bool OverflowsFloat32(double value) noexcept;
// An int (not bool) within [lo, hi]; else "expected int" or "value {value}
// out of range for {kind}".
Status ToNamedSigned(PyObject* value, long long lo, long long hi, const char* kind, long long* out);
Status ToNamedUnsigned(PyObject* value, unsigned long long hi, const char* kind, unsigned long long* out);
// Exactly True or False; else "expected bool".
Status ToBool(PyObject* value, bool* out);
// The UTF-8 of a str or subclass; else "expected {what}" (the binary table
// says "string", the JSON one "str"); an unencodable str raises the
// interpreter's error.
Status ToUtf8(PyObject* value, const char* what, const char** data, Py_ssize_t* size);

// (A str from UTF-8: NewStrFromUtf8 in common/utf8_str.h.)

}  // namespace velum
