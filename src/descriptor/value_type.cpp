#include "descriptor/value_type.h"

#include "common/py_error.h"
#include "descriptor/class_attribute.h"

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
  VELUM_TRY(ReadClassAttribute(out.cls.get(), names.name(Name::kExtValueType), out.cached));
  if (out.cached && !is_kind(out.cached.get())) {
    return FormatError(ErrorKind::kType, "_ext_value_type cannot be converted to %s", kind);
  }
  return out;
}

Status StoreValueType(const RuntimeNames& names, PyObject* cls, PyObject* value) {
  return StoreClassAttribute(cls, names.name(Name::kExtValueType), value);
}

}  // namespace velum
