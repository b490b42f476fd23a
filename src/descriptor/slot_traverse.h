// A collector traversal for the runtime's slotted descriptor classes that visits
// only the slots that can hold references back into a cycle. The traversal
// CPython gives a slotted class visits every slot, so each collection read the
// header of every name, full name and number a loaded schema holds (a cache
// miss each) only to learn that it refers to nothing.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// `_slot_traverse(cls, atomic)`: from now on the collector visits every object
// slot of `cls` (and of its slotted bases) except those named in the tuple
// `atomic`, which the runtime fills only with text, numbers, bools and members
// of its own enums. `cls` must be a class made by a class statement, with
// __slots__ and no instance dict; a few such classes may be given. A slot
// holding a message's field table (field_table.h), which the collector does
// not track, has the table's references visited in its place while the slot is
// the table's only holder.
PyObject* SlotTraverseFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

// `_untrack_leaf(obj)`: takes `obj` out of the collector's lists when its
// traversal reaches nothing but its own type (such an object can close no
// cycle); returns whether it did. For the small objects a loaded class keeps
// that hold only text.
PyObject* UntrackLeafFn(PyObject* module, PyObject* const* argv, Py_ssize_t nargs) noexcept;

}  // namespace velum
