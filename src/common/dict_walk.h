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

// A dict's entries in PyDict_Next order, borrowed, for a walk that may run
// Python code between them. The dict is held for the walk. `Next` stops early
// once more entries were visited than the dict held (keys replaced at an
// unchanged size), which `Finish` then reports; `Unchanged` reports a change
// of size after an entry whose handling may have run Python code.
class DictCursor {
 public:
  explicit DictCursor(PyObject* dict) : hold_(Ref::borrow(dict)), size_(PyDict_GET_SIZE(dict)) {}

  bool Next(PyObject*& key, PyObject*& value) {
    return PyDict_Next(hold_.get(), &pos_, &key, &value) && ++visited_ <= size_;
  }
  Status Unchanged() const {
    if (PyDict_GET_SIZE(hold_.get()) != size_) [[unlikely]]
      return DictChangedError(true);
    return Status::Ok();
  }
  Status Finish() const {
    if (visited_ > size_) [[unlikely]]
      return DictChangedError(false);
    return Status::Ok();
  }

 private:
  Ref hold_;
  Py_ssize_t size_;
  Py_ssize_t pos_ = 0;
  Py_ssize_t visited_ = 0;
};

// Calls `body(key, value)` (both borrowed, held for the call) for each entry in
// PyDict_Next order, stopping at its first error. The body may run Python
// code: a change of size, or more entries visited than the dict held, ends
// the walk with the error above.
template <class Body>
Status ForEachEntry(PyObject* dict, Body&& body) {
  DictCursor entries(dict);
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (entries.Next(key, value)) {
    Ref key_ref = Ref::borrow(key);
    Ref value_ref = Ref::borrow(value);
    VELUM_TRY(body(key_ref.get(), value_ref.get()));
    VELUM_TRY(entries.Unchanged());
  }
  return entries.Finish();
}

}  // namespace velum
