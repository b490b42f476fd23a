// A callable that makes an instance of a slotted class and fills its slots
// from positional arguments, without running the class's __init__. The runtime
// makes its descriptor objects with it: loading a schema creates thousands.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// The byte offset of a member descriptor's object slot in instances of `cls`
// (the slot must be writable and belong to `cls` or a base); errors name `caller`.
Result<Py_ssize_t> ObjectSlotOffset(PyTypeObject* cls, PyObject* member, const char* caller);

// The same for a slot that is only read (a read-only member is accepted too).
Result<Py_ssize_t> ReadSlotOffset(PyTypeObject* cls, PyObject* member, const char* caller);

// `_slot_constructor(cls, members)`: `members` is a tuple of member descriptors
// of `cls` (or of a base), one per positional argument of the constructor.
PyObject* SlotConstructorFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

// `_slot_setter(cls, members)`: a callable `setter(obj, values)` that sets those
// slots of an instance of `cls` from the tuple `values`, without attribute
// look-ups or properties (at most 16 members).
PyObject* SlotSetterFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

}  // namespace velum
