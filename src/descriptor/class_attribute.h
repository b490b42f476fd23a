// Reading and storing the runtime's own attributes of a generated class
// (`_desc`, `_ext_marshaler`, `_ext_value_type`) without the attribute
// protocol's look-ups where the class's metaclass adds nothing to them.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// The class attribute `name` (no special method's) as reading it gives it:
// with the plain metaclass, what the MRO holds unless it binds; else by the
// attribute protocol. `found` is left empty, with no error pending, when the
// class has no such attribute.
Status ReadClassAttribute(PyObject* cls, PyObject* name, Ref& found);

// Sets a class attribute whose name is no special method's: straight into the
// dict of a mutable class of the plain metaclass, else by the attribute protocol.
Status StoreClassAttribute(PyObject* cls, PyObject* name, PyObject* value);

}  // namespace velum
