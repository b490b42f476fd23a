#include "descriptor/instance.h"

#include <cstdint>
#include <new>

#include "common/py_error.h"
#include "descriptor/runtime_names.h"

namespace velum {

namespace {

PyTypeObject* g_native_type = nullptr;
PyObject* g_ext_marshaler_name = nullptr;

// What `cls._ext_marshaler` last gave, per class. A type's version tag is
// renewed whenever an attribute of it or of a base changes, and tags are
// never reused, so an answer seen under one tag holds while the tag stays.
// The class's dict keeps that marshaler alive meanwhile: entries borrow it.
// Only classes of the plain metaclass are remembered, whose attribute read
// no metaclass code can change.
struct ClassMarshaler {
  const PyTypeObject* type = nullptr;
  unsigned int version = 0;
  PyObject* marshaler = nullptr;
};
constexpr size_t kClassMarshalers = 64;
ClassMarshaler g_class_marshalers[kClassMarshalers];

ClassMarshaler& ClassMarshalerSlot(PyObject* cls) noexcept {
  return g_class_marshalers[(reinterpret_cast<uintptr_t>(cls) >> 4) % kClassMarshalers];
}

}  // namespace

PyTypeObject* NativeMessageType() noexcept { return g_native_type; }
void SetNativeMessageType(PyTypeObject* type) noexcept { g_native_type = type; }

Status ReadyInstanceNames() {
  if (g_ext_marshaler_name == nullptr) {
    g_ext_marshaler_name = PyUnicode_InternFromString("_ext_marshaler");
    if (g_ext_marshaler_name == nullptr) return Status::Pending();
  }
  return Status::Ok();
}

PyObject* ExtMarshalerName() noexcept { return g_ext_marshaler_name; }

PyObject* AllocateInstance(PyTypeObject* type, PyObject* marshaler) noexcept {
  if (marshaler != nullptr) {
    // The first instance of a type makes the enum classes its fields use and
    // its JSON member tables.
    if (Status ready = EnsureLazyTables(*AsMarshaler(marshaler)); !ready.ok()) [[unlikely]]
      return Raise(std::move(ready));
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  InitNativePart(self, marshaler);
  return self;
}

void InitNativePart(PyObject* self, PyObject* marshaler) noexcept {
  NativeMessageObject* native = AsNative(self);
  native->unknown_fields = nullptr;
  new (&native->presence) PresenceBits(marshaler != nullptr ? PresenceBits::FormFor(AsMarshaler(marshaler)->highest_number)
                                                             : PresenceBits::Form::kSet);
  native->marshaler = Py_XNewRef(marshaler);
}

PyObject* NativeMessage_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return Guard([&]() -> PyObject* {
    // Read the marshaler first: an instance chooses its presence form once.
    Ref marshaler = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), ExtMarshalerName()));
    if (!marshaler) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
    } else if (!IsMarshaler(marshaler.get())) {
      PyErr_SetString(PyExc_TypeError, "_ext_marshaler cannot be converted to MessageMarshaler");
      return nullptr;
    }
    return AllocateInstance(type, marshaler.get());
  });
}

Result<Ref> MarshalerOfInstance(PyObject* self) {
  if (PyObject* cached = AsNative(self)->marshaler) [[likely]] {
    return Ref::borrow(cached);
  }
  Ref obj = Ref::steal(PyObject_GetAttr(self, ExtMarshalerName()));
  if (!obj) return Status::Pending();
  if (!IsMarshaler(obj.get())) return Status(ErrorKind::kType, "_ext_marshaler cannot be converted to MessageMarshaler");
  // An instance made before its class was initialised made no lazy tables.
  VELUM_TRY(EnsureLazyTables(*AsMarshaler(obj.get())));
  return obj;
}

Result<Ref> MarshalerOfType(PyObject* cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  ClassMarshaler& slot = ClassMarshalerSlot(cls);
  if (slot.type == type && slot.version == type->tp_version_tag && slot.version != 0) [[likely]] {
    return Ref::borrow(slot.marshaler);
  }
  VELUM_ASSIGN_OR_RETURN(const RuntimeNames* names, GetRuntimeNames());
  VELUM_ASSIGN_OR_RETURN(Ref marshaler, MarshalerObjectOfClass(*names, cls));
  // The read assigns the tag when the type had none; a zero tag (none left
  // to assign) is never remembered.
  if (PyType_Check(cls) && Py_IS_TYPE(cls, &PyType_Type) && type->tp_version_tag != 0) {
    slot = ClassMarshaler{type, type->tp_version_tag, marshaler.get()};
  }
  return marshaler;
}

Result<PyObject*> GetOrInitUnknownFields(PyObject* self) {
  NativeMessageObject* native = AsNative(self);
  if (native->unknown_fields != nullptr) [[likely]] {
    return native->unknown_fields;
  }
  PyObject* store = PyDict_New();
  if (store == nullptr) return Status::Pending();
  // PyDict_New may run a collection and with it arbitrary finalisers; if one of
  // them filled the cell meanwhile, the first dict stays.
  if (native->unknown_fields != nullptr) {
    Py_DECREF(store);
  } else {
    native->unknown_fields = store;
  }
  return native->unknown_fields;
}

}  // namespace velum
