// The native part of every message instance and how it is created: the
// storage every codec and message operation reads besides the field slots.
#pragma once

#include "bitset/presence_bits.h"
#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"

namespace velum {

struct NativeMessageObject {
  PyObject_HEAD
  PyObject* unknown_fields;  // dict once created, else null; never replaced
  PyObject* marshaler;       // MarshalerObject cached at creation, or null
  PresenceBits presence;
};

inline NativeMessageObject* AsNative(PyObject* obj) noexcept { return reinterpret_cast<NativeMessageObject*>(obj); }

// Where a generated class's field slots start: NativeMessage's instances are
// exactly a NativeMessageObject, aligned to a slot.
inline constexpr Py_ssize_t kFieldSlotsStart =
    (Py_ssize_t{sizeof(NativeMessageObject)} + Py_ssize_t{alignof(PyObject*)} - 1) / Py_ssize_t{alignof(PyObject*)} *
    Py_ssize_t{alignof(PyObject*)};

// The NativeMessage type object, recorded once when the class is created.
PyTypeObject* NativeMessageType() noexcept;
void SetNativeMessageType(PyTypeObject* type) noexcept;

// Generated classes derive from NativeMessage directly (it is their solid
// base), which the first test catches without walking the MRO.
inline bool IsNativeMessage(PyObject* obj) noexcept {
  PyTypeObject* native = NativeMessageType();
  return Py_TYPE(obj)->tp_base == native || PyObject_TypeCheck(obj, native);
}

// Interned "_ext_marshaler", created by ReadyInstanceNames.
Status ReadyInstanceNames();
PyObject* ExtMarshalerName() noexcept;

// The tp_new of NativeMessage: caches the class's marshaler and chooses the
// form of the presence bits.
PyObject* NativeMessage_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// A new instance of `type` with `marshaler` (borrowed, may be null) cached,
// as NativeMessage_new makes it; null with an exception on failure.
PyObject* AllocateInstance(PyTypeObject* type, PyObject* marshaler) noexcept;
// The native part of an instance whose memory is allocated but not yet
// filled (fresh, or freed and kept for reuse), as AllocateInstance fills it.
void InitNativePart(PyObject* self, PyObject* marshaler) noexcept;

// The marshaler object of `self`: the cached one, else `self._ext_marshaler`.
Result<Ref> MarshalerOfInstance(PyObject* self);

// The marshaler object of a class, reading `_ext_marshaler` (RuntimeNames first).
Result<Ref> MarshalerOfType(PyObject* cls);

// The instance's unknown-field dict, created on first use (borrowed).
Result<PyObject*> GetOrInitUnknownFields(PyObject* self);

}  // namespace velum
