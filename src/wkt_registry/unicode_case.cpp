#include "wkt_registry/unicode_case.h"

#include <Python.h>

#include <new>

#include "common/ref.h"

namespace velum::wkt {
namespace {

// Full mappings can turn one character into several ("ß" upper-cases to
// "SS"), which only the str methods give; these run for non-ASCII text only.
bool AppendMapped(char32_t c, const char* method, RawString& out) {
  const Ref one = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!one) return false;
  const Ref mapped = Ref::steal(PyObject_CallMethod(one.get(), method, nullptr));
  if (!mapped) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(mapped.get(), &size);
  if (utf8 == nullptr) return false;
  try {
    out.append(utf8, static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

}  // namespace

bool InterpreterCase::IsUpper(char32_t c, bool& upper) const {
  upper = Py_UNICODE_ISUPPER(static_cast<Py_UCS4>(c));
  return true;
}

bool InterpreterCase::AppendUpper(char32_t c, RawString& out) const { return AppendMapped(c, "upper", out); }

bool InterpreterCase::AppendLower(char32_t c, RawString& out) const { return AppendMapped(c, "lower", out); }

}  // namespace velum::wkt
