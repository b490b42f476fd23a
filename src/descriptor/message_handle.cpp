#include "descriptor/message_handle.h"

#include <new>

#include "common/native_box.h"
#include "descriptor/value_type.h"

#include "descriptor/marshaler.h"

namespace velum {

namespace {

PyTypeObject* g_type = nullptr;

int MessageHandle_traverse(PyObject* self, visitproc visit, void* arg) {
  MessageHandle* handle = AsMessageHandle(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(handle->cls.get());
  Py_VISIT(handle->marshaler.load(std::memory_order_acquire));
  return 0;
}

int MessageHandle_clear(PyObject* self) {
  MessageHandle* handle = AsMessageHandle(self);
  handle->cls.reset();
  // The resolved marshaler stays: a codec may still hold a pointer into it.
  return 0;
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Handle to the marshaler for a message type to reduce Python access on the hot path.\n"
                    "Resolved lazily since recursive message types prevent marshalers from being ready before\n"
                    "the entire message graph has been initialized.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(BoxDealloc<MessageHandle, AsMessageHandle>)},
    {Py_tp_traverse, reinterpret_cast<void*>(MessageHandle_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(MessageHandle_clear)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_velum_ext.DescMessage",
    sizeof(MessageHandleObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

Result<PyTypeObject*> Type() { return ReadyType(g_type, kSpec); }

}  // namespace

MessageHandle::~MessageHandle() { Py_XDECREF(marshaler.exchange(nullptr)); }

bool IsMessageHandle(PyObject* obj) noexcept { return g_type != nullptr && Py_IS_TYPE(obj, g_type); }

Result<Ref> GetMessageHandle(const RuntimeNames& names, PyObject* message_desc) {
  VELUM_ASSIGN_OR_RETURN(ValueTypeLookup found,
                         LookupValueType(names, message_desc, RawSlot::kMessageType, IsMessageHandle, "DescMessage"));
  if (found.cached) return std::move(found.cached);
  PyObject* cls = found.cls.get();
  VELUM_ASSIGN_OR_RETURN(PyTypeObject * type, Type());
  Ref obj = Ref::steal(type->tp_alloc(type, 0));
  if (!obj) return Status::Pending();
  MessageHandle* handle = new (AsMessageHandle(obj.get())) MessageHandle();
  handle->cls = Ref::borrow(cls);
  handle->names = &names;
  VELUM_TRY(StoreValueType(names, cls, obj.get()));
  return obj;
}

Status ResolveSlow(MessageHandle* handle) {
  return handle->gate.Run([handle]() -> Status {
    if (!handle->cls) return Status(ErrorKind::kRuntime, "message handle was cleared");
    Ref cls = handle->cls.clone();
    Ref marshaler = Ref::steal(PyObject_GetAttr(cls.get(), handle->names->name(Name::kExtMarshaler)));
    if (!marshaler) return Status::Pending();
    if (!IsMarshaler(marshaler.get())) {
      return Status(ErrorKind::kType, "_ext_marshaler cannot be converted to MessageMarshaler");
    }
    handle->resolved = AsMarshaler(marshaler.get());
    handle->marshaler.store(marshaler.release(), std::memory_order_release);
    return Status::Ok();
  });
}

}  // namespace velum
