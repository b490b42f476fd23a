// The bridge between error values and Python exceptions.
#pragma once

#include "common/ref.h"
#include "common/status.h"

#include <new>
#include <type_traits>

namespace velum {

// Sets the Python exception described by `status` (which must not be ok) and
// returns nullptr, for `return Raise(...)` at a method boundary.
PyObject* Raise(Status status) noexcept;
// Same, for slots that report failure with -1.
int RaiseInt(Status status) noexcept;

// Builds an error whose message is PyUnicode_FromFormat(format, ...); the
// arguments follow PyUnicode_FromFormat's conventions (%S is str(), %R repr()).
Status FormatError(ErrorKind kind, const char* format, ...) noexcept;

// TypeError "'{type}' object is not an instance of '{target}'".
Status TypeCheckError(PyObject* value, const char* target) noexcept;

// Appends `suffix` to the message of `status`; for a pending exception whose
// arguments are a single str, the exception is re-raised with the longer text.
void AppendContext(Status& status, std::string_view suffix) noexcept;

// Adds a PEP 678 note to the pending exception (or to the error, once raised).
Status WithNote(Status status, const char* note) noexcept;

// Runs `body` (returning PyObject* or int) and converts an escaping C++ exception
// (allocation failure above all) into a Python exception, so none reaches CPython.
template <class F>
auto Guard(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected internal failure in _velum_ext");
  }
  if constexpr (std::is_same_v<decltype(body()), int>) {
    return -1;
  } else {
    return nullptr;
  }
}

}  // namespace velum
