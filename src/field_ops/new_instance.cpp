#include "field_ops/new_instance.h"

#include "common/py_error.h"
#include "descriptor/field_access.h"
#include "descriptor/instance.h"

namespace velum {

Result<Ref> NewBareInstance(const MessageMarshaler& m, PyTypeObject* cls) {
  auto* declared = reinterpret_cast<PyTypeObject*>(m.message_class.get());
  if (declared == nullptr) return Status(ErrorKind::kRuntime, "message class was cleared");
  // Fields are written at the offsets of the declared class, so only its
  // subclasses may be created in its place.
  PyTypeObject* type = cls != nullptr && PyType_IsSubtype(cls, declared) ? cls : declared;
  if (type->tp_new == NativeMessage_new) [[likely]] {
    // Nothing in Python overrides __new__: allocate directly, with the
    // marshaler already at hand, as `cls.__new__(cls)` would.
    PyObject* self = AllocateInstance(type, MarshalerObjectFor(m));
    if (self == nullptr) return Status::Pending();
    return Ref::steal(self);
  }
  // cls.__new__(cls): the lookup object is argv[0], the call receives argv[1:].
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  PyObject* argv[] = {type_obj, type_obj};
  Ref obj = Ref::steal(PyObject_VectorcallMethod(m.names->name(Name::kNew), argv, 2, nullptr));
  if (!obj) return Status::Pending();
  VELUM_TRY(CheckInstance(m, obj.get()));
  return obj;
}

Result<Ref> NewDefaultInstance(const MessageMarshaler& m, PyTypeObject* cls) {
  VELUM_ASSIGN_OR_RETURN(Ref obj, NewBareInstance(m, cls));
  VELUM_TRY(InitDefaults(m, obj.get()));
  return obj;
}

Result<Ref> NewInstanceWith(const MessageMarshaler& m, const FieldAccess& access, Ref value) {
  const bool only_field = m.defaults.size() == 1 && m.list_fields.empty() && m.map_fields.empty() &&
                          access.is_slot() && m.defaults[0].access.is_slot() &&
                          m.defaults[0].access.offset() == access.offset();
  auto* type = reinterpret_cast<PyTypeObject*>(m.message_class.get());
  if (only_field && type != nullptr && type->tp_new == NativeMessage_new) [[likely]] {
    // A Value and its Oneof: the instance is made and its one field stored
    // here, without the general road's results passed back on the way.
    PyObject* self = AllocateInstance(type, MarshalerObjectFor(m));
    if (self == nullptr) return Status::Pending();
    PyObject** slot = SlotAddress(self, access.offset());
    Py_XSETREF(*slot, value.release());
    return Ref::steal(self);
  }
  VELUM_ASSIGN_OR_RETURN(Ref obj, only_field ? NewBareInstance(m) : NewDefaultInstance(m));
  VELUM_TRY(WriteFieldSteal(obj.get(), access, std::move(value)));
  return obj;
}

Status CheckInstance(const MessageMarshaler& m, PyObject* obj) {
  auto* cls = reinterpret_cast<PyTypeObject*>(m.message_class.get());
  if (cls != nullptr && PyObject_TypeCheck(obj, cls)) [[likely]]
    return Status::Ok();
  if (cls == nullptr) return Status(ErrorKind::kRuntime, "message class was cleared");
  if (!IsNativeMessage(obj)) return TypeCheckError(obj, "NativeMessage");
  return TypeCheckError(obj, cls->tp_name);
}

}  // namespace velum
