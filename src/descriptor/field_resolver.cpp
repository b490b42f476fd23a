#include "descriptor/field_resolver.h"

#include "common/py_error.h"

namespace velum::field_resolver {

Result<PyObject*> ReadSlot(PyObject* obj, Py_ssize_t offset) {
  PyObject* value = SlotAt(obj, offset);
  if (value == nullptr) return Status(ErrorKind::kAttribute, "uninitialized slot");
  return value;
}

Result<long> ReadInt(PyObject* obj, Py_ssize_t offset) {
  VELUM_ASSIGN_OR_RETURN(PyObject * value, ReadSlot(obj, offset));
  if (!PyLong_Check(value)) return TypeCheckError(value, "int");
  int overflow = 0;
  long number = PyLong_AsLongAndOverflow(value, &overflow);
  if (number == -1 && PyErr_Occurred()) return Status::Pending();
  return overflow != 0 ? -1 : number;
}

Result<Ref> Call(PyObject* fn, std::initializer_list<PyObject*> args) {
  Ref made = Ref::steal(PyObject_Vectorcall(fn, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
  if (!made) return Status::Pending();
  return made;
}

Result<PyObject*> EnumValueNamed(const FieldResolver& r, PyObject* desc, PyObject* name) {
  VELUM_ASSIGN_OR_RETURN(PyObject * values, ReadSlot(desc, r.value_slot[kEnumValues]));
  if (!PyList_Check(values)) return nullptr;
  auto* value_class = reinterpret_cast<PyTypeObject*>(r.classes[kEnumValueClass].get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
    PyObject* value = PyList_GET_ITEM(values, i);
    if (!PyObject_TypeCheck(value, value_class)) return nullptr;
    if (name == nullptr) return value;
    VELUM_ASSIGN_OR_RETURN(PyObject * value_name, ReadSlot(value, r.value_slot[kEnumValueName]));
    int equal = PyObject_RichCompareBool(value_name, name, Py_EQ);
    if (equal < 0) return Status::Pending();
    if (equal != 0) return value;
  }
  return nullptr;
}

}  // namespace velum::field_resolver
