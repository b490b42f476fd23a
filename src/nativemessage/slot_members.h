// The member descriptors of a generated class's field slots, kept off the
// collector's lists. A class of n fields would otherwise add n tracked objects
// that every young collection scans and every collection freeing the class
// walks; none of them can close a cycle except through the class it names.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// Builds the member descriptor of each of `count` slots of `type` (the names
// in `slots`, a tuple of str, at `start` onwards) and enters each in the
// class's dict under its name, the first of two equal names keeping its
// entry. The descriptors are kept out of the collector's lists where the
// interpreter allows it, and a holder entered in the class's dict as
// `holder_key` accounts for their references to the class whenever nothing
// but the class holds them, so that a dropped class is still collected.
Status AddSlotMembers(PyTypeObject* type, PyObject* slots, Py_ssize_t start, PyObject* holder_key);

// The holder AddSlotMembers entered in the class's dict under `holder_key`
// (borrowed), while it is still in the collector's lists; else null.
PyObject* TrackedSlotMembers(PyTypeObject* type, PyObject* holder_key) noexcept;

}  // namespace velum
