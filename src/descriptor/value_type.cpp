#include "descriptor/value_type.h"

#include "common/py_error.h"

namespace velum {

Result<ValueTypeLookup> LookupValueType(const RuntimeNames& names, PyObject* desc, bool (*is_kind)(PyObject*),
                                        const char* kind) {
  ValueTypeLookup out;
  out.cls = Ref::steal(PyObject_GetAttr(desc, names.name(Name::kType)));
  if (!out.cls) return Status::Pending();
  if (!PyType_Check(out.cls.get())) return FormatError(ErrorKind::kType, "%s.type cannot be converted to a type", kind);
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

Status StoreValueType(const RuntimeNames& names, PyObject* cls, PyObject* value) {
  if (PyObject_SetAttr(cls, names.name(Name::kExtValueType), value) < 0) return Status::Pending();
  return Status::Ok();
}

}  // namespace velum
