// Walking a dict while Python code may run between entries.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

// The error of a dict whose size (`size_changed`) or keys changed while it
// was walked, reported as the interpreter reports it for a plain loop.
inline Status DictChangedError(bool size_changed) {
  return Status(ErrorKind::kRuntime,
                size_changed ? "dictionary changed size during iteration" : "dictionary keys changed during iteration");
}

// Calls `body(key, value)` (both borrowed, held for the call) for each entry in
// PyDict_Next order, stopping at its first error. The body may run Python
// code: a change of size, or more entries visited than the dict held (keys
// replaced at an unchanged size), ends the walk with the error above.
template <class Body>
Status ForEachEntry(PyObject* dict, Body&& body) {
  Ref hold = Ref::borrow(dict);
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  Py_ssize_t visited = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (++visited > size) return DictChangedError(false);
    Ref key_ref = Ref::borrow(key);
    Ref value_ref = Ref::borrow(value);
    VELUM_TRY(body(key_ref.get(), value_ref.get()));
    if (PyDict_GET_SIZE(dict) != size) return DictChangedError(true);
  }
  return Status::Ok();
}

}  // namespace velum
