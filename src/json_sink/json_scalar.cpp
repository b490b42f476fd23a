#include "json_sink/json_scalar.h"

namespace velum::json_sink {

namespace scalar_detail {

Status ExpectedType(const char* expected, PyObject* value) {
  return FormatError(ErrorKind::kType, "expected %s, got %S", expected, reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

Status OutOfRange(PyObject* value, const char* kind) {
  return FormatError(ErrorKind::kOverflow, "value %S out of range for %s", value, kind);
}

Result<double> FloatValue(PyObject* value) {
  if (PyFloat_Check(value)) return PyFloat_AS_DOUBLE(value);
  if (PyBool_Check(value)) return ExpectedType("float", value);
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    // A type without a float conversion gets this codec's message; an error
    // raised by the conversion itself propagates as it is.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Status::Pending();
    PyErr_Clear();
    return ExpectedType("float", value);
  }
  return number;
}

Result<long long> IntegerValue(PyObject* value, long long lo, long long hi, const char* kind) {
  if (!PyLong_Check(value) || PyBool_Check(value)) return ExpectedType("int", value);
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (number == -1 && PyErr_Occurred()) return Status::Pending();
  if (overflow != 0 || number < lo || number > hi) return OutOfRange(value, kind);
  return number;
}

Result<unsigned long long> Uint64Value(PyObject* value) {
  if (!PyLong_Check(value) || PyBool_Check(value)) return ExpectedType("int", value);
  const unsigned long long number = PyLong_AsUnsignedLongLong(value);
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return Status::Pending();
    PyErr_Clear();
    return OutOfRange(value, "uint64");
  }
  return number;
}

}  // namespace scalar_detail

Status EnumNotInt(const EnumTable& table, PyObject* value) {
  return FormatError(ErrorKind::kType, "expected int for enum %U, got %S", table.type_name.get(),
                     reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

Status InvalidEnumValue(const EnumTable& table, PyObject* value) {
  return FormatError(ErrorKind::kValue, "invalid enum value %S for enum %U", value, table.type_name.get());
}

Status InvalidEnumValue(const EnumTable& table, int32_t number) {
  return FormatError(ErrorKind::kValue, "invalid enum value %d for enum %U", static_cast<int>(number),
                     table.type_name.get());
}

}  // namespace velum::json_sink
