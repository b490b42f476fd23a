// The `_resolve` a loaded message keeps until its fields are first read: the
// message's record, its features and the types its check found, bound to the
// runtime's resolver. One object a message, where a functools.partial and the
// targets' list made four (with the partial's argument tuple and keyword dict),
// and a loaded schema keeps one per message it has not used.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// A callable whose call `pending(desc)` is `resolve(proto, features, targets,
// desc)`; its `func` is `resolve` and its `args` are (proto, features,
// targets), as a partial's would be.
// `targets` is a list; the callable keeps its items, and passes a new list.
//
// `tracked` is false when the pending call can be in no reference cycle that
// could become garbage (its targets all scalar types, which live as long as
// the runtime; the record and features reach nothing that refers back): it then
// stays out of the collector, which most messages of a schema need not visit.
Result<Ref> NewPendingFields(PyObject* resolve, PyObject* proto, PyObject* features, PyObject* targets,
                             bool tracked = true);

// Whether `obj` is a pending resolution made by NewPendingFields.
bool IsPendingFields(PyObject* obj) noexcept;

}  // namespace velum
