// The Oneof value class: the member of a oneof group that is set, paired with
// its value. Immutable once created; the codecs build and read it natively.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum::oneof {

struct OneofObject {
  PyObject_HEAD
  // Never null: clearing for the cycle collector puts None in their place.
  PyObject* field;
  PyObject* value;
};

namespace detail {
// Set by Ready(); the type lives for the rest of the process.
extern PyTypeObject* g_type;
}  // namespace detail

// Creates the class on first call (process-wide) and reuses it afterwards.
Status Ready();
// The class, borrowed; nullptr before Ready() succeeded.
inline PyTypeObject* Type() noexcept { return detail::g_type; }

// A Oneof holding `field` and `value`, without running Python code; null
// with a pending exception on failure. One holding a bool may be shared.
Ref New(PyObject* field, PyObject* value);

// The class is final, so an exact type test is enough (and false before Ready()).
inline bool Check(PyObject* object) noexcept { return Py_IS_TYPE(object, detail::g_type); }
// Borrowed members of an object that passed Check().
inline PyObject* Field(PyObject* object) noexcept { return reinterpret_cast<OneofObject*>(object)->field; }
inline PyObject* Value(PyObject* object) noexcept { return reinterpret_cast<OneofObject*>(object)->value; }

}  // namespace velum::oneof
