// A lazily resolved reference to another message type's marshaler. Handles
// exist because in a recursive graph the referenced class may not have its
// marshaler yet when a field that refers to it is classified.
#pragma once

#include <atomic>

#include "common/once.h"
#include "common/ref.h"
#include "common/status.h"
#include "descriptor/runtime_names.h"

namespace velum {

struct MessageMarshaler;

struct MessageHandle {
  Ref cls;  // the referenced generated class
  const RuntimeNames* names = nullptr;
  OnceGate gate;
  // Strong reference to the MessageMarshaler object once resolved.
  std::atomic<PyObject*> marshaler{nullptr};
  MessageMarshaler* resolved = nullptr;

  ~MessageHandle();
};

// The Python object (type name "DescMessage") that owns one MessageHandle.
struct MessageHandleObject {
  PyObject_HEAD
  MessageHandle handle;
};

inline MessageHandle* AsMessageHandle(PyObject* obj) noexcept {
  return &reinterpret_cast<MessageHandleObject*>(obj)->handle;
}

bool IsMessageHandle(PyObject* obj) noexcept;

// The handle object for the class of `message_desc`, created on first use and
// cached on that class as `_ext_value_type`. Returns a new reference.
Result<Ref> GetMessageHandle(const RuntimeNames& names, PyObject* message_desc);

Status ResolveSlow(MessageHandle* handle);

// The marshaler of the referenced class. The first call reads the class's
// `_ext_marshaler` (AttributeError while the class is not initialised).
inline Result<MessageMarshaler*> Resolve(MessageHandle* handle) {
  if (handle->marshaler.load(std::memory_order_acquire) != nullptr) [[likely]] {
    return handle->resolved;
  }
  VELUM_TRY(ResolveSlow(handle));
  return handle->resolved;
}

}  // namespace velum
