// The NativeMessage base class: the native part of every message instance and
// the method table through which Python enters the codecs.
#pragma once

#include "bitset/presence_bits.h"
#include "common/ref.h"
#include "common/status.h"
#include "parser/marshaler.h"

namespace velum {

struct NativeMessageObject {
  PyObject_HEAD
  PyObject* unknown_fields;  // dict once created, else null; never replaced
  PyObject* marshaler;       // MarshalerObject cached at creation, or null
  PresenceBits presence;
};

inline NativeMessageObject* AsNative(PyObject* obj) noexcept { return reinterpret_cast<NativeMessageObject*>(obj); }

Status ReadyNativeMessageType();
PyTypeObject* NativeMessageType() noexcept;

// Generated classes derive from NativeMessage directly (it is their solid
// base), which the first test catches without walking the MRO.
inline bool IsNativeMessage(PyObject* obj) noexcept {
  PyTypeObject* native = NativeMessageType();
  return Py_TYPE(obj)->tp_base == native || PyObject_TypeCheck(obj, native);
}

// The marshaler object of `self`: the cached one, else `self._ext_marshaler`.
Result<Ref> MarshalerOfInstance(PyObject* self);

// The marshaler object of a class, reading `_ext_marshaler` (RuntimeNames first).
Result<Ref> MarshalerOfType(PyObject* cls);

// A new instance of the marshaler's class: `cls.__new__(cls)` then defaults,
// as decoding and copying create messages (no __init__).
Result<Ref> NewBareInstance(const MessageMarshaler& m);
Result<Ref> NewDefaultInstance(const MessageMarshaler& m);

// The instance's unknown-field dict, created on first use (borrowed).
Result<PyObject*> GetOrInitUnknownFields(PyObject* self);

// Module function generic_setattr(obj, name, value).
PyObject* GenericSetattr(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Slots implemented in construct.cpp.
int NativeMessage_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
// The call of a generated class itself (its tp_vectorcall): keyword
// construction without building an argument tuple and dict.
PyObject* NativeMessage_vectorcall(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;
// The tp_new of NativeMessage, which the fast construction path requires.
PyObject* NativeMessage_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;
int NativeMessage_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept;

// Interned "_ext_marshaler", created at module execution.
PyObject* ExtMarshalerName() noexcept;

}  // namespace velum
