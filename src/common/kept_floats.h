// Floats kept for reuse by the readers. A document's Struct numbers become
// floats by the thousand, and freeing the previous result drops as many:
// the interpreter keeps only a hundred freed floats, so the rest went
// through its allocator both ways. A float released here while nothing
// else holds it stays alive in the list, and the next one made takes it
// back with its value replaced. The interpreter lock guards the list, so
// builds without one keep none.
#pragma once

#include "common/kept_stack.h"
#include "common/ref.h"

namespace velum::floats {

namespace detail {
// Strong references to exact floats no one else holds.
inline KeptStack<PyObject, 4096> g_kept;
}  // namespace detail

// A new float of `value`; null with an exception set on failure.
[[gnu::always_inline]] inline PyObject* New(double value) noexcept {
  if (!detail::g_kept.Empty()) [[likely]] {
    PyObject* kept = detail::g_kept.Pop();
    // Held by the list alone since it was kept: no one sees the change.
    reinterpret_cast<PyFloatObject*>(kept)->ob_fval = value;
    return kept;
  }
  return PyFloat_FromDouble(value);
}

// Drops a reference to `object`: an exact float of which it is the last
// is kept while there is room, anything else is released as usual.
[[gnu::always_inline]] inline void Release(PyObject* object) noexcept {
  if (Py_IS_TYPE(object, &PyFloat_Type) && Py_REFCNT(object) == 1 && !detail::g_kept.Full()) [[likely]] {
    detail::g_kept.Push(object);
    return;
  }
  Py_DECREF(object);
}

// How many are kept (for tests).
inline int KeptCount() noexcept { return detail::g_kept.Size(); }

}  // namespace velum::floats
