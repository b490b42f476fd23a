// The NativeMessage base class: the native part of every message instance and
// the method table through which Python enters the codecs.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/instance.h"
#include "descriptor/marshaler.h"
#include "field_ops/new_instance.h"

namespace velum {

Status ReadyNativeMessageType();

// Module function generic_setattr(obj, name, value).
PyObject* GenericSetattr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Slots implemented in construct.cpp.
int NativeMessage_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
// The call of a generated class itself (its tp_vectorcall): keyword
// construction without building an argument tuple and dict.
PyObject* NativeMessage_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;
int NativeMessage_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept;

// NativeMessage's own part of an instance's lifecycle. A generated class's
// slots call these directly after handling its field slots, instead of
// reaching NativeMessage's slots through its type object: every message
// freed or visited by the collector passes here.

// The references of the native part, for the collector.
[[gnu::always_inline]] inline int TraverseNativePart(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(AsNative(self)->unknown_fields);
  Py_VISIT(AsNative(self)->marshaler);
  return 0;
}

inline void ClearNativePart(PyObject* self) noexcept { Py_CLEAR(AsNative(self)->unknown_fields); }

// The end of a deallocation, once `self` is untracked and its field slots
// are released: the native part, the memory and the reference to `type`.
[[gnu::always_inline]] inline void FreeInstance(PyObject* self, PyTypeObject* type) noexcept {
  NativeMessageObject* native = AsNative(self);
  // Read before the marshaler is released: it may go with this instance.
  const WellKnownType kind =
      native->marshaler != nullptr ? AsMarshaler(native->marshaler)->well_known : WellKnownType::kNone;
  Py_CLEAR(native->unknown_fields);
  // The fixed form owns no memory: its destructor is a call for nothing.
  if (native->presence.form() != PresenceBits::Form::kFixed) native->presence.~PresenceBits();
  if (KeepsFreed(kind)) [[unlikely]] {
    // An instance kept for reuse keeps its marshaler too (see FreeOrKeep).
    FreeOrKeep(self, type, kind);
  } else {
    Py_CLEAR(native->marshaler);
    FreeOrPool(self, type);
  }
  Py_DECREF(type);
}

}  // namespace velum
