#include "descriptor/class_attribute.h"

namespace velum {

Status ReadClassAttribute(PyObject* cls, PyObject* name, Ref& found) {
  if (Py_IS_TYPE(cls, &PyType_Type)) {
    // The plain metaclass adds nothing to such a name's lookup: what the MRO
    // holds is the attribute unless it binds, and a class without one is
    // answered without raising and clearing.
    PyObject* held = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
    if (held == nullptr) return Status::Ok();
    if (Py_TYPE(held)->tp_descr_get == nullptr) {
      found = Ref::borrow(held);
      return Status::Ok();
    }
  }
  found = Ref::steal(PyObject_GetAttr(cls, name));
  if (found) return Status::Ok();
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::Pending();
  PyErr_Clear();
  return Status::Ok();
}

Status StoreClassAttribute(PyObject* cls, PyObject* name, PyObject* value) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (Py_IS_TYPE(cls, &PyType_Type) && (type->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
      !(type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && type->tp_dict != nullptr) {
    // What assigning the attribute does to a class of the plain metaclass (the
    // names stored this way are no special method's), without the attribute
    // protocol's look-ups.
    if (PyDict_SetItem(type->tp_dict, name, value) < 0) return Status::Pending();
    PyType_Modified(type);
    return Status::Ok();
  }
  if (PyObject_SetAttr(cls, name, value) < 0) return Status::Pending();
  return Status::Ok();
}

}  // namespace velum
