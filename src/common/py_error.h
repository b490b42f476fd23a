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

// The new reference `result` holds, or nullptr with its error raised: how a
// method whose work yields a Result<Ref> returns it.
inline PyObject* ReturnNew(Result<Ref> result) noexcept {
  if (!result.ok()) return Raise(std::move(result).status());
  return std::move(result).value().release();
}

// Whether a fastcall function named `func` ("name()") got exactly `expected`
// positional arguments and no keywords; raises the TypeError when not.
bool ExactPositional(const char* func, Py_ssize_t nargs, Py_ssize_t expected, PyObject* kwnames = nullptr) noexcept;

// Builds an error whose message is PyUnicode_FromFormat(format, ...); the
// arguments follow PyUnicode_FromFormat's conventions (%S is str(), %R repr()).
Status FormatError(ErrorKind kind, const char* format, ...) noexcept;

// RecursionError "exceeded maximum recursion depth {limit} while {action}
// message" for a message nested deeper than kMaxDepth; `action` is
// "parsing", "serializing", "copying" or "merging".
[[gnu::cold]] Status DepthError(const char* action) noexcept;

// str() of a value shown in an error message. An int beyond the interpreter's
// limit for decimal conversion is shown as "<int of {n} bits>" (signed), so that
// the error being reported is not replaced by the limit's own ValueError.
Ref MessageText(PyObject* value) noexcept;

// TypeError "'{type}' object is not an instance of '{target}'".
Status TypeCheckError(PyObject* value, const char* target) noexcept;

// Appends `suffix` to the message of `status`; for a pending exception whose
// arguments are a single str, the exception is re-raised with the longer text.
void AppendContext(Status& status, std::string_view suffix) noexcept;

// Adds a PEP 678 note to the pending exception (or to the error, once raised).
Status WithNote(Status status, const char* note) noexcept;

// The field context of an error about one field's value: " for field
// {type}.{field}" ({type} the owning message's full name, {field} the proto
// name), appended once, by the innermost field only (outer calls do nothing).
// A pending exception whose only argument is its message gets the longer text.
void AttachFieldContext(Status& status, PyObject* type_name, PyObject* field_name) noexcept;
// The same for an extension: " for extension {name}".
void AttachExtensionContext(Status& status, PyObject* extension_name) noexcept;

// Adds the note "while {action} {type}{path}" (action "encoding" or
// "decoding", type the top-level full name) when the error carries a path
// (nesting errors aside), and returns the error as a pending exception;
// nothing is done on success.
Status WithPathNote(Status status, const char* action, PyObject* type_name) noexcept;

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
