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

// Freed Oneofs kept for reuse, as the interpreter keeps its own small objects:
// a read makes one per oneof member (every Struct value has one) and freeing
// the result drops as many. Reuse skips the allocator and the collector's
// allocation count. The class is final, so every object kept is exactly it;
// the interpreter lock guards the list, so builds without one keep none.
#ifdef Py_GIL_DISABLED
inline constexpr int kFreeMax = 0;
#else
inline constexpr int kFreeMax = 4096;
#endif

namespace detail {
// Set by Ready(); the type lives for the rest of the process.
extern PyTypeObject* g_type;
extern OneofObject* g_free[kFreeMax > 0 ? kFreeMax : 1];
extern int g_free_count;
}  // namespace detail

// Creates the class on first call (process-wide) and reuses it afterwards.
Status Ready();
// The class, borrowed; nullptr before Ready() succeeded.
inline PyTypeObject* Type() noexcept { return detail::g_type; }

// A Oneof holding `field` and `value`, without running Python code; null
// with a pending exception on failure. One holding a bool may be shared.
Ref New(PyObject* field, PyObject* value);

// As New, for a `field` and `value` that are exact strs or floats (a Value's
// text or number, as the JSON text reader makes them): such a Oneof is left
// out of the collector, and a kept one is taken back inline.
[[gnu::always_inline]] inline Ref NewOfLeaves(PyObject* field, PyObject* value) {
  if (kFreeMax > 0 && detail::g_free_count > 0) [[likely]] {
    // Only Oneofs of the class are kept, so it exists.
    OneofObject* self = detail::g_free[--detail::g_free_count];
    PyObject_Init(reinterpret_cast<PyObject*>(self), detail::g_type);
    self->field = Py_NewRef(field);
    self->value = Py_NewRef(value);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
  }
  return New(field, value);
}

// The class is final, so an exact type test is enough (and false before Ready()).
inline bool Check(PyObject* object) noexcept { return Py_IS_TYPE(object, detail::g_type); }
// Borrowed members of an object that passed Check().
inline PyObject* Field(PyObject* object) noexcept { return reinterpret_cast<OneofObject*>(object)->field; }
inline PyObject* Value(PyObject* object) noexcept { return reinterpret_cast<OneofObject*>(object)->value; }

}  // namespace velum::oneof
