#include "descriptor/field_access.h"

#include <cstring>

#include <structmember.h>

namespace velum {

namespace {

bool IsDunder(PyObject* name) noexcept {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  return n >= 4 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_' &&
         PyUnicode_READ_CHAR(name, n - 1) == '_' && PyUnicode_READ_CHAR(name, n - 2) == '_';
}

// The offset of a slot holding an object, when `attr` is the member
// descriptor of one; else -1.
Py_ssize_t ObjectSlotOffset(PyObject* attr) noexcept {
  if (attr == nullptr || !Py_IS_TYPE(attr, &PyMemberDescr_Type)) return -1;
  const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(attr)->d_member;
  return member != nullptr && member->offset >= 0 && member->type == Py_T_OBJECT_EX ? member->offset : -1;
}

}  // namespace

FieldAccess LookupAccess(PyObject* cls, PyObject* name) noexcept {
  if (Py_IS_TYPE(cls, &PyType_Type) && PyUnicode_Check(name) && !IsDunder(name)) {
    // With the plain metaclass, which has no data descriptor of such a name,
    // the attribute is what the class's MRO holds (a member descriptor is its
    // own value), found without raising for a name that is absent.
    return FieldAccess(ObjectSlotOffset(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name)), name);
  }
  Ref attr = Ref::steal(PyObject_GetAttr(cls, name));
  if (!attr) PyErr_Clear();
  return FieldAccess(ObjectSlotOffset(attr.get()), name);
}

Status UninitializedSlot() noexcept { return Status(ErrorKind::kAttribute, "uninitialized slot"); }

}  // namespace velum
