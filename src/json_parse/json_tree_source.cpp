#include "json_parse/json_tree_source.h"

#include "common/py_error.h"

namespace velum::json {

Status JsonTreeSource::EndOfTree() { return Status(ErrorKind::kValue, "unexpected end of JSON tree"); }

Status JsonTreeSource::PeekGeneral(JsonKind& kind) {
  PyObject* v = pending_.get();
  if (v == nullptr) return Status(ErrorKind::kValue, "unexpected end of JSON tree");
  if (Py_TYPE(v) == &PyList_Type) {
    kind = JsonKind::kArray;
  } else if (v == Py_None) {
    kind = JsonKind::kNull;
  } else if (PyBool_Check(v)) {
    kind = JsonKind::kBool;
  } else if (PyLong_Check(v) || PyFloat_Check(v)) {
    kind = JsonKind::kNumber;
  } else if (PyUnicode_Check(v)) {
    kind = JsonKind::kString;
  } else if (PyList_Check(v)) {
    kind = JsonKind::kArray;
  } else if (PyDict_Check(v)) {
    kind = JsonKind::kObject;
  } else {
    return FormatError(ErrorKind::kType, "unexpected type in JSON tree: %S", reinterpret_cast<PyObject*>(Py_TYPE(v)));
  }
  return Status();
}

Status JsonTreeSource::ReadNull() {
  Ref value;
  VELUM_TRY(Take(value));
  if (value.get() != Py_None) return Status(ErrorKind::kValue, "unexpected json type");
  return Status();
}

Status JsonTreeSource::ReadBool(bool& value) {
  Ref taken;
  VELUM_TRY(Take(taken));
  if (!PyBool_Check(taken.get())) return TypeCheckError(taken.get(), "bool");
  value = taken.get() == Py_True;
  return Status();
}

Status JsonTreeSource::ReadFloat(double& value) {
  Ref taken;
  VELUM_TRY(Take(taken));
  if (PyFloat_CheckExact(taken.get())) {
    value = PyFloat_AS_DOUBLE(taken.get());
    return Status();
  }
  value = PyFloat_AsDouble(taken.get());
  if (value == -1.0 && PyErr_Occurred()) return Status::Pending();
  return Status();
}

Status JsonTreeSource::ReadFloat(double& value, Ref& same) {
  if (pending_ && PyFloat_CheckExact(pending_.get())) {
    value = PyFloat_AS_DOUBLE(pending_.get());
    same = std::move(pending_);
    return Status();
  }
  return ReadFloat(value);
}

Status JsonTreeSource::ReadNumber(NumberValue& value) {
  Ref taken;
  VELUM_TRY(Take(taken));
  if (PyLong_CheckExact(taken.get())) {
    value.form = NumberValue::Form::kInt;
    value.object = std::move(taken);
    return Status();
  }
  if (PyFloat_Check(taken.get())) {
    value.form = NumberValue::Form::kDouble;
    value.real = PyFloat_AS_DOUBLE(taken.get());
    return Status();
  }
  if (!PyLong_Check(taken.get())) return TypeCheckError(taken.get(), "int");
  value.form = NumberValue::Form::kInt;
  value.object = std::move(taken);
  return Status();
}

Status JsonTreeSource::ReadText(std::string_view& value) {
  VELUM_TRY(Take(held_));
  if (!PyUnicode_Check(held_.get())) return TypeCheckError(held_.get(), "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(held_.get(), &size);
  if (text == nullptr) return Status::Pending();
  value = std::string_view(text, static_cast<size_t>(size));
  return Status();
}

}  // namespace velum::json
