#include "reverse_buffer/scalar_writer.h"

#include <climits>
#include <cmath>

#include "common/py_error.h"

namespace velum::encoder {

namespace {

static_assert(sizeof(long) == 8, "the range checks assume a 64-bit C long");

Status ExpectedError(const char* what, PyObject* value) {
  return FormatError(ErrorKind::kType, "expected %s, got %S", what, reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

Status RangeError(PyObject* value, const char* type) {
  return FormatError(ErrorKind::kOverflow, "value %S out of range for %s", value, type);
}

Status IntegralRangeError() {
  return Status(ErrorKind::kOverflow, "out of range integral type conversion attempted");
}

inline bool IsInt(PyObject* value) noexcept {
  return PyLong_CheckExact(value) || (PyLong_Check(value) && !PyBool_Check(value));
}

inline Status ToDouble(PyObject* value, double* out) {
  if (PyFloat_CheckExact(value)) [[likely]] {
    *out = PyFloat_AS_DOUBLE(value);
    return Status::Ok();
  }
  double d = PyFloat_AsDouble(value);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return ExpectedError("float", value);
  }
  *out = d;
  return Status::Ok();
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

// Signed 64-bit kinds that name their type in a range failure.
inline Status ToNamedSigned(PyObject* value, long long lo, long long hi, const char* type, long long* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) {
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (overflow != 0 || v < lo || v > hi) return RangeError(value, type);
  *out = v;
  return Status::Ok();
}

inline Status ToNamedUnsigned(PyObject* value, unsigned long long hi, const char* type, unsigned long long* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
  int overflow = 0;
  long long v = 0;
  if (!CompactValue(value, &v)) {
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) return Status::Pending();
  }
  if (overflow == 0) {
    if (v < 0 || static_cast<unsigned long long>(v) > hi) return RangeError(value, type);
    *out = static_cast<unsigned long long>(v);
    return Status::Ok();
  }
  if (overflow < 0) return RangeError(value, type);
  unsigned long long u = PyLong_AsUnsignedLongLong(value);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Status::Pending();
    PyErr_Clear();
    return RangeError(value, type);
  }
  if (u > hi) return RangeError(value, type);
  *out = u;
  return Status::Ok();
}

// Kinds that let the conversion's own OverflowError through.
inline Status ToPlainSigned(PyObject* value, long lo, long hi, long* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
  VELUM_TRY(ToLong(value, out));
  if (*out < lo || *out > hi) return IntegralRangeError();
  return Status::Ok();
}

inline Status ToFixed64(PyObject* value, uint64_t* out) {
  if (!IsInt(value)) return ExpectedError("int", value);
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

}  // namespace

Status WriteScalar(ReverseBuffer& buf, ScalarType type, PyObject* value) {
  switch (type) {
    case ScalarType::kDouble: {
      double d = 0;
      VELUM_TRY(ToDouble(value, &d));
      buf.PutFixed64(std::bit_cast<uint64_t>(d));
      return Status::Ok();
    }
    case ScalarType::kFloat: {
      double d = 0;
      VELUM_TRY(ToDouble(value, &d));
      float f = static_cast<float>(d);
      if (std::isinf(f) && std::isfinite(d)) return RangeError(value, "float32");
      buf.PutFixed32(std::bit_cast<uint32_t>(f));
      return Status::Ok();
    }
    case ScalarType::kInt64: {
      long long v = 0;
      VELUM_TRY(ToNamedSigned(value, LLONG_MIN, LLONG_MAX, "int64", &v));
      buf.PutVarint(wire::SignExtend(v));
      return Status::Ok();
    }
    case ScalarType::kInt32: {
      long long v = 0;
      VELUM_TRY(ToNamedSigned(value, INT32_MIN, INT32_MAX, "int32", &v));
      buf.PutVarint(wire::SignExtend(v));
      return Status::Ok();
    }
    case ScalarType::kUint64: {
      unsigned long long v = 0;
      VELUM_TRY(ToNamedUnsigned(value, ULLONG_MAX, "uint64", &v));
      buf.PutVarint(v);
      return Status::Ok();
    }
    case ScalarType::kUint32: {
      unsigned long long v = 0;
      VELUM_TRY(ToNamedUnsigned(value, UINT32_MAX, "uint32", &v));
      buf.PutVarint(v);
      return Status::Ok();
    }
    case ScalarType::kFixed64: {
      uint64_t v = 0;
      VELUM_TRY(ToFixed64(value, &v));
      buf.PutFixed64(v);
      return Status::Ok();
    }
    case ScalarType::kFixed32: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, 0, UINT32_MAX, &v));
      buf.PutFixed32(static_cast<uint32_t>(v));
      return Status::Ok();
    }
    case ScalarType::kSfixed32: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, INT32_MIN, INT32_MAX, &v));
      buf.PutFixed32(static_cast<uint32_t>(static_cast<int32_t>(v)));
      return Status::Ok();
    }
    case ScalarType::kSint32: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, INT32_MIN, INT32_MAX, &v));
      buf.PutVarint(wire::ZigZagEncode32(static_cast<int32_t>(v)));
      return Status::Ok();
    }
    case ScalarType::kSfixed64: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, LONG_MIN, LONG_MAX, &v));
      buf.PutFixed64(static_cast<uint64_t>(v));
      return Status::Ok();
    }
    case ScalarType::kSint64: {
      long v = 0;
      VELUM_TRY(ToPlainSigned(value, LONG_MIN, LONG_MAX, &v));
      buf.PutVarint(wire::ZigZagEncode64(v));
      return Status::Ok();
    }
    case ScalarType::kBool:
      if (value == Py_True) {
        buf.PutByte(1);
      } else if (value == Py_False) {
        buf.PutByte(0);
      } else {
        return ExpectedError("bool", value);
      }
      return Status::Ok();
    case ScalarType::kString: {
      if (!PyUnicode_Check(value)) return ExpectedError("string", value);
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
      if (utf8 == nullptr) return Status::Pending();
      buf.PutBytes(utf8, static_cast<size_t>(size));
      buf.PutVarint(static_cast<uint64_t>(size));
      return Status::Ok();
    }
    case ScalarType::kBytes: {
      if (!PyBytes_Check(value)) return ExpectedError("bytes", value);
      Py_ssize_t size = PyBytes_GET_SIZE(value);
      buf.PutBytes(PyBytes_AS_STRING(value), static_cast<size_t>(size));
      buf.PutVarint(static_cast<uint64_t>(size));
      return Status::Ok();
    }
  }
  return Status(ErrorKind::kRuntime, "invalid scalar type in field table");
}

Status WriteEnum(ReverseBuffer& buf, const EnumTable& table, PyObject* value) {
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
  buf.PutVarint(wire::SignExtend(number));
  return Status::Ok();
}

}  // namespace velum::encoder
