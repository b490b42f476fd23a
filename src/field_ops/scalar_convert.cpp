#include "field_ops/scalar_convert.h"

#include <climits>
#include <cmath>

#include "common/py_error.h"

namespace velum {

namespace {

static_assert(sizeof(long) == 8, "the range checks assume a 64-bit C long");

Status IntegralRangeError() {
  return Status(ErrorKind::kOverflow, "out of range integral type conversion attempted");
}

// The int as a C long; a value beyond it fails with the interpreter's message.
inline Status ToLong(PyObject* value, long* out) {
  long long compact = 0;
  if (CompactValue(value, &compact)) [[likely]] {
    *out = static_cast<long>(compact);
    return Status::Ok();
  }
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(value, &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) [[unlikely]] {
    if (overflow != 0) PyLong_AsLong(value);  // sets the interpreter's OverflowError
    return Status::Pending();
  }
  *out = v;
  return Status::Ok();
}

// Kinds that let the conversion's own OverflowError through.
inline Status ToPlainSigned(PyObject* value, long lo, long hi, long* out) {
  if (!IsIntNotBool(value)) return ExpectedTypeError("int", value);
  VELUM_TRY(ToLong(value, out));
  if (*out < lo || *out > hi) return IntegralRangeError();
  return Status::Ok();
}

inline Status ToFixed64(PyObject* value, uint64_t* out) {
  if (!IsIntNotBool(value)) return ExpectedTypeError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0 && v >= 0) {
    *out = static_cast<uint64_t>(v);
    return Status::Ok();
  }
  if (v == -1 && PyErr_Occurred()) return Status::Pending();
  unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Status::Pending();
  *out = u;
  return Status::Ok();
}

Status Signed(PyObject* value, long lo, long hi, ScalarValue* out) {
  long v = 0;
  VELUM_TRY(ToPlainSigned(value, lo, hi, &v));
  out->i64 = v;
  return Status::Ok();
}

}  // namespace

Status ExpectedTypeError(const char* what, PyObject* value) {
  return FormatError(ErrorKind::kType, "expected %s, got %S", what, reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

Status OutOfRangeError(PyObject* value, const char* kind) {
  Ref shown = MessageText(value);
  if (!shown) return Status::Pending();
  return FormatError(ErrorKind::kOverflow, "value %U out of range for %s", shown.get(), kind);
}

Status ToDouble(PyObject* value, double* out) {
  if (PyFloat_CheckExact(value)) [[likely]] {
    *out = PyFloat_AS_DOUBLE(value);
    return Status::Ok();
  }
  double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return ExpectedTypeError("float", value);
  }
  *out = d;
  return Status::Ok();
}

bool OverflowsFloat32(double value) noexcept {
  return std::isinf(static_cast<float>(value)) && std::isfinite(value);
}

Status ToNamedSigned(PyObject* value, long long lo, long long hi, const char* kind, long long* out) {
  if (!IsIntNotBool(value)) return ExpectedTypeError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) {
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (overflow != 0 || v < lo || v > hi) return OutOfRangeError(value, kind);
  *out = v;
  return Status::Ok();
}

Status ToNamedUnsigned(PyObject* value, unsigned long long hi, const char* kind, unsigned long long* out) {
  if (!IsIntNotBool(value)) return ExpectedTypeError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) {
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (overflow == 0) {
    if (v < 0 || static_cast<unsigned long long>(v) > hi) return OutOfRangeError(value, kind);
    *out = static_cast<unsigned long long>(v);
    return Status::Ok();
  }
  if (overflow < 0) return OutOfRangeError(value, kind);
  unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Status::Pending();
    PyErr_Clear();
    return OutOfRangeError(value, kind);
  }
  if (u > hi) return OutOfRangeError(value, kind);
  *out = u;
  return Status::Ok();
}

Status ToBool(PyObject* value, bool* out) {
  if (value == Py_True || value == Py_False) {
    *out = value == Py_True;
    return Status::Ok();
  }
  return ExpectedTypeError("bool", value);
}

Status ToUtf8(PyObject* value, const char* what, const char** data, Py_ssize_t* size) {
  if (!PyUnicode_Check(value)) return ExpectedTypeError(what, value);
  *data = PyUnicode_AsUTF8AndSize(value, size);
  return *data == nullptr ? Status::Pending() : Status::Ok();
}

Status ConvertScalar(ScalarType type, PyObject* value, ScalarValue* out) {
  switch (type) {
    case ScalarType::kDouble:
      return ToDouble(value, &out->f64);
    case ScalarType::kFloat:
      VELUM_TRY(ToDouble(value, &out->f64));
      if (OverflowsFloat32(out->f64)) return OutOfRangeError(value, "float32");
      return Status::Ok();
    case ScalarType::kInt64: {
      long long v = 0;
      VELUM_TRY(ToNamedSigned(value, LLONG_MIN, LLONG_MAX, "int64", &v));
      out->i64 = v;
      return Status::Ok();
    }
    case ScalarType::kInt32: {
      long long v = 0;
      VELUM_TRY(ToNamedSigned(value, INT32_MIN, INT32_MAX, "int32", &v));
      out->i64 = v;
      return Status::Ok();
    }
    case ScalarType::kUint64: {
      unsigned long long v = 0;
      VELUM_TRY(ToNamedUnsigned(value, ULLONG_MAX, "uint64", &v));
      out->u64 = v;
      return Status::Ok();
    }
    case ScalarType::kUint32: {
      unsigned long long v = 0;
      VELUM_TRY(ToNamedUnsigned(value, UINT32_MAX, "uint32", &v));
      out->u64 = v;
      return Status::Ok();
    }
    case ScalarType::kFixed64:
      return ToFixed64(value, &out->u64);
    case ScalarType::kFixed32:
      VELUM_TRY(Signed(value, 0, UINT32_MAX, out));
      out->u64 = static_cast<uint64_t>(out->i64);
      return Status::Ok();
    case ScalarType::kSfixed32:
    case ScalarType::kSint32:
      return Signed(value, INT32_MIN, INT32_MAX, out);
    case ScalarType::kSfixed64:
    case ScalarType::kSint64:
      return Signed(value, LONG_MIN, LONG_MAX, out);
    case ScalarType::kBool:
      return ToBool(value, &out->b);
    case ScalarType::kString:
      return ToUtf8(value, "string", &out->data, &out->size);
    case ScalarType::kBytes:
      if (!PyBytes_Check(value)) return ExpectedTypeError("bytes", value);
      out->data = PyBytes_AS_STRING(value);
      out->size = PyBytes_GET_SIZE(value);
      return Status::Ok();
  }
  return Status(ErrorKind::kRuntime, "invalid scalar type in field table");
}

Result<int32_t> ConvertEnum(const EnumTable& table, PyObject* value) {
  long long compact = 0;
  long number = 0;
  if (PyLong_Check(value) && CompactValue(value, &compact)) {
    number = static_cast<long>(compact);
  } else {
    number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (number < INT32_MIN || number > INT32_MAX) return IntegralRangeError();
  if (!table.open && table.Member(static_cast<int32_t>(number)) == nullptr) {
    return FormatError(ErrorKind::kValue, "invalid enum value %ld for enum '%S'", number, table.type_name.get());
  }
  return static_cast<int32_t>(number);
}

}  // namespace velum
