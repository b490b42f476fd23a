// Where a field's value lives on an instance: a storage slot at a fixed offset
// (the fast case, for __slots__ classes) or an attribute reached by name.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

class FieldAccess {
 public:
  FieldAccess() noexcept = default;
  FieldAccess(Py_ssize_t offset, PyObject* name) noexcept : offset_(offset), name_(name) { Py_XINCREF(name_); }
  FieldAccess(const FieldAccess& other) noexcept : offset_(other.offset_), name_(other.name_) { Py_XINCREF(name_); }
  FieldAccess& operator=(const FieldAccess& other) noexcept {
    if (this != &other) {
      Py_XINCREF(other.name_);
      Py_XDECREF(name_);
      offset_ = other.offset_;
      name_ = other.name_;
    }
    return *this;
  }
  ~FieldAccess() { Py_XDECREF(name_); }

  bool is_slot() const noexcept { return offset_ >= 0; }
  Py_ssize_t offset() const noexcept { return offset_; }
  PyObject* name() const noexcept { return name_; }

 private:
  Py_ssize_t offset_ = -1;
  PyObject* name_ = nullptr;  // strong; the attribute name (kept for messages too)
};

// Looks `name` up on `cls`: a member descriptor with an offset gives a slot,
// anything else (including a failed lookup) an attribute. Never fails.
FieldAccess LookupAccess(PyObject* cls, PyObject* name) noexcept;

inline PyObject** SlotAddress(PyObject* obj, Py_ssize_t offset) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

Status UninitializedSlot() noexcept;

// New reference to the field's value; an empty slot is AttributeError.
inline Result<Ref> ReadField(PyObject* obj, const FieldAccess& access) {
  if (access.is_slot()) [[likely]] {
    PyObject* value = *SlotAddress(obj, access.offset());
    if (value == nullptr) [[unlikely]]
      return UninitializedSlot();
    return Ref::borrow(value);
  }
  PyObject* value = PyObject_GetAttr(obj, access.name());
  if (value == nullptr) return Status::Pending();
  return Ref::steal(value);
}

// Stores a new reference to `value` (borrowed), bypassing the class's __setattr__.
inline Status WriteField(PyObject* obj, const FieldAccess& access, PyObject* value) {
  if (access.is_slot()) [[likely]] {
    PyObject** slot = SlotAddress(obj, access.offset());
    PyObject* old = *slot;
    Py_INCREF(value);
    *slot = value;
    Py_XDECREF(old);
    return Status::Ok();
  }
  if (PyObject_GenericSetAttr(obj, access.name(), value) < 0) return Status::Pending();
  return Status::Ok();
}

// As WriteField, taking over the reference held by `value`.
inline Status WriteFieldSteal(PyObject* obj, const FieldAccess& access, Ref value) {
  if (access.is_slot()) [[likely]] {
    PyObject** slot = SlotAddress(obj, access.offset());
    PyObject* old = *slot;
    *slot = value.release();
    Py_XDECREF(old);
    return Status::Ok();
  }
  if (PyObject_GenericSetAttr(obj, access.name(), value.get()) < 0) return Status::Pending();
  return Status::Ok();
}

}  // namespace velum
