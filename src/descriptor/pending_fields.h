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
// desc)`; its `args` are (proto, features, targets), as a partial's would be.
// `targets` is a list; the callable keeps its items, and passes a new list.
Result<Ref> NewPendingFields(PyObject* resolve, PyObject* proto, PyObject* features, PyObject* targets);

}  // namespace velum
