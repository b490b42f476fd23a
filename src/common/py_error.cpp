#include "common/py_error.h"

#include <cstdarg>
#include <string_view>

#include "common/limits.h"

namespace velum {

Status DepthError(const char* action) noexcept {
  return FormatError(ErrorKind::kRecursion, "exceeded maximum recursion depth %u while %s message",
                     static_cast<unsigned>(kMaxDepth), action);
}

namespace {

PyObject* ExceptionType(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::kValue:
      return PyExc_ValueError;
    case ErrorKind::kType:
      return PyExc_TypeError;
    case ErrorKind::kOverflow:
      return PyExc_OverflowError;
    case ErrorKind::kRecursion:
      return PyExc_RecursionError;
    case ErrorKind::kAttribute:
      return PyExc_AttributeError;
    case ErrorKind::kKey:
      return PyExc_KeyError;
    case ErrorKind::kBuffer:
      return PyExc_BufferError;
    case ErrorKind::kMemory:
      return PyExc_MemoryError;
    case ErrorKind::kNotImplemented:
      return PyExc_NotImplementedError;
    case ErrorKind::kPending:
    case ErrorKind::kRuntime:
    case ErrorKind::kJsonDecode:
      break;
  }
  return PyExc_RuntimeError;
}

// json.JSONDecodeError(message, doc, offset), raised as the json module
// raises it; failures on the way (importing json) propagate instead.
PyObject* RaiseJsonDecode(const Status& status) noexcept {
  const RawString& msg = status.message();
  const RawString& doc = status.json_doc();
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  Ref error_type = Ref::steal(PyObject_GetAttrString(json.get(), "JSONDecodeError"));
  if (!error_type) return nullptr;
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
  if (!text) return nullptr;
  Ref doc_text = Ref::steal(PyUnicode_DecodeUTF8(doc.data(), static_cast<Py_ssize_t>(doc.size()), "replace"));
  if (!doc_text) return nullptr;
  Ref offset = Ref::steal(PyLong_FromUnsignedLongLong(status.json_offset()));
  if (!offset) return nullptr;
  PyObject* args[] = {text.get(), doc_text.get(), offset.get()};
  Ref exc = Ref::steal(PyObject_Vectorcall(error_type.get(), args, 3, nullptr));
  if (!exc) return nullptr;
  if (!PyExceptionInstance_Check(exc.get())) {
    PyErr_Format(PyExc_TypeError, "exceptions must derive from BaseException, not '%s'", Py_TYPE(exc.get())->tp_name);
    return nullptr;
  }
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

void AttachContext(Status& status, const char* format, PyObject* a, PyObject* b) noexcept {
  if (status.ok() || status.has_field_context()) return;
  // The suffix is formatted with no exception set; a pending one is put back.
  PyObject* pending = status.kind() == ErrorKind::kPending ? PyErr_GetRaisedException() : nullptr;
  Ref suffix = Ref::steal(b != nullptr ? PyUnicode_FromFormat(format, a, b) : PyUnicode_FromFormat(format, a));
  Py_ssize_t size = 0;
  const char* utf8 = suffix ? PyUnicode_AsUTF8AndSize(suffix.get(), &size) : nullptr;
  if (utf8 == nullptr) PyErr_Clear();  // the original error stays as it was
  if (pending != nullptr) PyErr_SetRaisedException(pending);
  if (utf8 == nullptr) return;
  const std::string_view text(utf8, static_cast<size_t>(size));
  if (status.AppendFieldContext(text) && status.kind() == ErrorKind::kPending) AppendContext(status, text);
}

}  // namespace

void AttachFieldContext(Status& status, PyObject* type_name, PyObject* field_name) noexcept {
  AttachContext(status, " for field %S.%S", type_name, field_name);
}

void AttachExtensionContext(Status& status, PyObject* extension_name) noexcept {
  AttachContext(status, " for extension %S", extension_name, nullptr);
}

Status WithPathNote(Status status, const char* action, PyObject* type_name) noexcept {
  // A nesting error's path is the whole chain of levels: nothing to point at.
  if (status.ok() || status.path().empty() || status.kind() == ErrorKind::kRecursion) return status;
  const RawString& path = status.path();
  // Formatting can run the interpreter's pending work (signal checks, garbage
  // collection), which must not find an exception set: a pending one is put aside.
  PyObject* pending = PyErr_GetRaisedException();
  Ref note = Ref::steal(PyUnicode_FromFormat("while %s %S%.*s", action, type_name, static_cast<int>(path.size()),
                                             path.data()));
  if (!note) PyErr_Clear();
  PyErr_SetRaisedException(pending);
  if (!note) return status;
  if (status.kind() != ErrorKind::kPending) Raise(std::move(status));
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return Status::Pending();
  PyObject* result = PyObject_CallMethod(exc, "add_note", "O", note.get());
  Py_XDECREF(result);
  PyErr_Clear();  // a failing add_note must not hide the original error
  PyErr_SetRaisedException(exc);
  return Status::Pending();
}

PyObject* Raise(Status status) noexcept {
  if (status.ok()) {
    PyErr_SetString(PyExc_SystemError, "error raised without an error");
    return nullptr;
  }
  if (status.kind() == ErrorKind::kPending) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error reported without an exception");
    }
    return nullptr;
  }
  if (status.kind() == ErrorKind::kJsonDecode) return RaiseJsonDecode(status);
  const RawString& msg = status.message();
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
  if (!text) return nullptr;
  // KeyError's str() is the repr of its argument; the message must read as
  // written, so the argument is the text itself either way.
  PyErr_SetObject(ExceptionType(status.kind()), text.get());
  return nullptr;
}

int RaiseInt(Status status) noexcept {
  Raise(std::move(status));
  return -1;
}

Status FormatError(ErrorKind kind, const char* format, ...) noexcept {
  va_list args;
  va_start(args, format);
  Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  if (!text) return Status::Pending();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (utf8 == nullptr) return Status::Pending();
  return Status(kind, std::string_view(utf8, static_cast<size_t>(size)));
}

namespace {

// Whether the pending exception is the interpreter's refusal to print an int
// with more decimal digits than its limit (a ValueError with a fixed text).
bool DigitLimitPending() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
  PyObject* exc = PyErr_GetRaisedException();
  Ref text = Ref::steal(PyObject_Str(exc));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  const bool limit = utf8 != nullptr && std::string_view(utf8).starts_with("Exceeds the limit (");
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  return limit;
}

}  // namespace

Ref MessageText(PyObject* value) noexcept {
  Ref text = Ref::steal(PyObject_Str(value));
  if (text || !DigitLimitPending()) return text;
  PyErr_Clear();
  if (!PyLong_Check(value)) {
    // A container holding such an int: shown by its type.
    return Ref::steal(PyUnicode_FromFormat("<%s holding an int too long to print>", Py_TYPE(value)->tp_name));
  }
  // bit_length is linear in the size of the int, unlike its decimal digits.
  Ref bits = Ref::steal(PyObject_CallMethod(value, "bit_length", nullptr));
  if (!bits) return Ref();
  Ref zero = Ref::steal(PyLong_FromLong(0));
  const int negative = zero ? PyObject_RichCompareBool(value, zero.get(), Py_LT) : -1;
  if (negative < 0) return Ref();
  return Ref::steal(PyUnicode_FromFormat("%s<int of %S bits>", negative ? "-" : "", bits.get()));
}

Status TypeCheckError(PyObject* value, const char* target) noexcept {
  return FormatError(ErrorKind::kType, "'%s' object is not an instance of '%s'", Py_TYPE(value)->tp_name,
                     target);
}

void AppendContext(Status& status, std::string_view suffix) noexcept {
  if (status.ok()) return;
  if (status.kind() != ErrorKind::kPending) {
    try {
      status.AppendMessage(suffix);
    } catch (...) {
    }
    return;
  }
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* args = PyObject_GetAttrString(exc, "args");
  if (args != nullptr && PyTuple_Check(args) && PyTuple_GET_SIZE(args) == 1 &&
      PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
    PyObject* longer = PyUnicode_FromFormat("%U%.*s", PyTuple_GET_ITEM(args, 0), static_cast<int>(suffix.size()),
                                            suffix.data());
    if (longer != nullptr) {
      PyObject* new_args = PyTuple_Pack(1, longer);
      if (new_args != nullptr) {
        PyObject_SetAttrString(exc, "args", new_args);
        Py_DECREF(new_args);
      }
      Py_DECREF(longer);
    }
  }
  Py_XDECREF(args);
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
}

Status WithNote(Status status, const char* note) noexcept {
  if (status.ok()) return status;
  if (status.kind() != ErrorKind::kPending) Raise(std::move(status));
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return Status::Pending();
  PyObject* result = PyObject_CallMethod(exc, "add_note", "s", note);
  Py_XDECREF(result);
  PyErr_Clear();  // a failing add_note must not hide the original error
  PyErr_SetRaisedException(exc);
  return Status::Pending();
}

bool ExactPositional(const char* func, Py_ssize_t nargs, Py_ssize_t expected, PyObject* kwnames) noexcept {
  if (nargs == expected && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) [[likely]]
    return true;
  PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s (%zd given)", func, expected,
               expected == 1 ? "" : "s", nargs);
  return false;
}

}  // namespace velum
