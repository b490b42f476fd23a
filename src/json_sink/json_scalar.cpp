#include "json_sink/json_scalar.h"

namespace velum::json_sink {

namespace scalar_detail {

Status FloatValueGeneral(PyObject* value, double* out) {
  if (PyBool_Check(value)) return ExpectedTypeError("float", value);
  return ToDouble(value, out);
}

}  // namespace scalar_detail

Status EnumNotInt(const EnumTable& table, PyObject* value) {
  return FormatError(ErrorKind::kType, "expected int for enum %U, got %S", table.type_name.get(),
                     reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

Status InvalidEnumValue(const EnumTable& table, PyObject* value) {
  Ref shown = MessageText(value);
  if (!shown) return Status::Pending();
  return FormatError(ErrorKind::kValue, "invalid enum value %U for enum %U", shown.get(), table.type_name.get());
}

Status InvalidEnumValue(const EnumTable& table, int32_t number) {
  return FormatError(ErrorKind::kValue, "invalid enum value %d for enum %U", static_cast<int>(number),
                     table.type_name.get());
}

}  // namespace velum::json_sink
