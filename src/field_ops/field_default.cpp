#include "field_ops/field_default.h"

#include <bit>

#include "descriptor/enum_table.h"

namespace velum {

int HoldsNonDefault(const FieldSpec& f, PyObject* value) {
  if (f.shape != FieldShape::kSingular) {
    // The exact containers the slots hold answer by their size; a subclass
    // may define its own truth.
    if (PyList_CheckExact(value)) return PyList_GET_SIZE(value) != 0;
    if (PyDict_CheckExact(value)) return PyDict_GET_SIZE(value) != 0;
    return PyObject_IsTrue(value);
  }
  switch (f.kind.value.tag) {
    case ElementTag::kMessage:
      return value != Py_None;
    case ElementTag::kEnum: {
      PyObject* def = f.kind.value.table->default_value.get();
      if (value == def) return 0;
      if (def == nullptr) return 1;
      // Exact ints and members of the enum itself compare as ints.
      if (PyLong_CheckExact(value) || Py_TYPE(value) == Py_TYPE(def)) {
        long long compact = 0;
        long long def_compact = 0;
        if (PyLong_Check(def) && CompactValue(value, &compact) && CompactValue(def, &def_compact)) {
          return compact != def_compact;
        }
        int overflow = 0;
        long number = PyLong_AsLongAndOverflow(value, &overflow);
        if (number == -1 && PyErr_Occurred()) return -1;
        if (overflow != 0) return 1;
        long def_number = PyLong_AsLong(def);
        if (def_number == -1 && PyErr_Occurred()) return -1;
        return number != def_number;
      }
      Ref equal = Ref::steal(PyObject_RichCompare(value, def, Py_EQ));
      if (!equal) return -1;
      int truth = PyObject_IsTrue(equal.get());
      return truth < 0 ? -1 : !truth;
    }
    case ElementTag::kScalar:
      break;
  }
  switch (f.kind.value.scalar) {
    case ScalarType::kDouble:
    case ScalarType::kFloat: {
      double d = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyFloat_AsDouble(value);
      if (d == -1.0 && PyErr_Occurred()) return -1;
      // Only +0.0 is the default: -0.0 and NaN are written.
      return std::bit_cast<uint64_t>(d) != 0;
    }
    case ScalarType::kString:
      if (PyUnicode_CheckExact(value)) return PyUnicode_GET_LENGTH(value) != 0;
      break;
    case ScalarType::kBytes:
      if (PyBytes_CheckExact(value)) return PyBytes_GET_SIZE(value) != 0;
      break;
    default:
      if (PyLong_CheckExact(value)) {
        long long v = 0;
        return !CompactValue(value, &v) || v != 0;  // zero is always compact
      }
      break;
  }
  return PyObject_IsTrue(value);
}

}  // namespace velum
