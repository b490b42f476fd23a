// Making a generated message class natively: the class `type(name, bases,
// namespace)` would make for a namespace with `__slots__`, without the work
// type() does for arbitrary class bodies.
#pragma once

#include "common/ref.h"

namespace velum {

// Module function _message_class(bases, name, namespace): the class, or None
// when the namespace holds something only type() handles as it should (a
// special method, a slot that is not a plain identifier, a slot shadowed by a
// class attribute), so that the caller makes it with type().
PyObject* MessageClassFn(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Module function _attribute_names(fields, oneofs): the (__slots__,
// __match_args__) pair of a message's class, from its field and oneof
// descriptors (lists). Slots: the local name of each field outside a oneof,
// then of each oneof. Match args: the attribute of each field in order, a
// oneof's where its member stands, each name once.
PyObject* AttributeNamesFn(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Module function _referenced_messages(fields): the message descriptors the
// field descriptors of a list name as the type of a message field, of a list's
// elements or of a map's values, in field order: the classes to make together.
PyObject* ReferencedMessagesFn(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

// Once `type` has its own marshaler object `marshaler`: the holder of its slot
// member descriptors leaves the collector's lists, the marshaler reporting its
// references instead (one collected object fewer a class).
void AdoptSlotMembers(PyTypeObject* type, PyObject* marshaler) noexcept;

}  // namespace velum
