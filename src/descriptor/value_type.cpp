#include "descriptor/value_type.h"

#include "common/py_error.h"

namespace velum {

Result<ValueTypeLookup> LookupValueType(const RuntimeNames& names, PyObject* desc, RawSlot type_slot,
                                        bool (*is_kind)(PyObject*), const char* kind) {
  ValueTypeLookup out;
  // A class that exists is taken from the descriptor's slot: the runtime's
  // `type` property would only find it there (after its creation hook).
  PyObject** made = names.raw_address(desc, type_slot);
  if (made != nullptr && *made != nullptr && PyType_Check(*made)) {
    out.cls = Ref::borrow(*made);
  } else {
    out.cls = Ref::steal(PyObject_GetAttr(desc, names.name(Name::kType)));
    if (!out.cls) return Status::Pending();
  }
  if (!PyType_Check(out.cls.get())) return FormatError(ErrorKind::kType, "%s.type cannot be converted to a type", kind);
  if (Py_IS_TYPE(out.cls.get(), &PyType_Type)) {
    // The plain metaclass adds nothing to a class attribute's lookup: what the
    // MRO holds is the attribute (the native objects bind to nothing), and a
    // class without one is answered without raising and clearing.
    PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(out.cls.get()), names.name(Name::kExtValueType));
    if (found == nullptr) return out;
    if (is_kind(found)) {
      out.cached = Ref::borrow(found);
      return out;
    }
  }
  out.cached = Ref::steal(PyObject_GetAttr(out.cls.get(), names.name(Name::kExtValueType)));
  if (out.cached) {
    if (!is_kind(out.cached.get())) {
      return FormatError(ErrorKind::kType, "_ext_value_type cannot be converted to %s", kind);
    }
    return out;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Status::Pending();
  PyErr_Clear();
  return out;
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

Status StoreValueType(const RuntimeNames& names, PyObject* cls, PyObject* value) {
  return StoreClassAttribute(cls, names.name(Name::kExtValueType), value);
}

}  // namespace velum
