#include "descriptor/field_access.h"

#include <cstring>

#include <structmember.h>

namespace velum {

FieldAccess LookupAccess(PyObject* cls, PyObject* name) noexcept {
  Ref attr = Ref::steal(PyObject_GetAttr(cls, name));
  if (!attr) {
    PyErr_Clear();
    return FieldAccess(-1, name);
  }
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(attr.get())));
  if (!type_name) {
    PyErr_Clear();
    return FieldAccess(-1, name);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(type_name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return FieldAccess(-1, name);
  }
  if (size == 17 && memcmp(utf8, "member_descriptor", 17) == 0) {
    // A member descriptor is a PyMemberDescrObject; its d_member holds the offset.
    auto* descr = reinterpret_cast<PyMemberDescrObject*>(attr.get());
    if (descr->d_member != nullptr && descr->d_member->offset >= 0 && descr->d_member->type == Py_T_OBJECT_EX) {
      return FieldAccess(descr->d_member->offset, name);
    }
  }
  return FieldAccess(-1, name);
}

Status UninitializedSlot() noexcept { return Status(ErrorKind::kAttribute, "uninitialized slot"); }

}  // namespace velum
