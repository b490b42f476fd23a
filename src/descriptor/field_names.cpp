#include "descriptor/field_names.h"

namespace velum {

namespace {

// Bit 1: may start an identifier; bit 0: may continue one (ASCII only).
constexpr auto kIdentifierBytes = [] {
  struct Table {
    unsigned char bits[256] = {};
  } table;
  for (int c = 0; c < 256; ++c) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    table.bits[c] = static_cast<unsigned char>((letter ? 3 : 0) | (c >= '0' && c <= '9' ? 1 : 0));
  }
  return table;
}();

}  // namespace

bool IsIdentifier(PyObject* name) {
  if (!PyUnicode_IS_ASCII(name)) return PyUnicode_IsIdentifier(name) == 1;
  const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(name));
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length == 0 || (kIdentifierBytes.bits[text[0]] & 2) == 0) return false;
  // No branch a byte: names run long, and nearly all pass.
  unsigned char all = 1;
  for (Py_ssize_t i = 1; i < length; ++i) all &= kIdentifierBytes.bits[text[i]];
  return all != 0;
}

Result<Ref> JsonName(PyObject* name, PyObject* fallback) {
  if (!PyUnicode_Check(name)) return Status(ErrorKind::kType, "field name cannot be converted to str");
  if (!PyUnicode_IS_ASCII(name)) {
    Ref made = Ref::steal(PyObject_CallOneArg(fallback, name));
    if (!made) return Status::Pending();
    return made;
  }
  const auto* text = static_cast<const unsigned char*>(PyUnicode_DATA(name));
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  Py_ssize_t underscores = 0;
  for (Py_ssize_t i = 0; i < length; ++i) underscores += text[i] == '_';
  if (underscores == 0) return Ref::borrow(name);
  Ref out = Ref::steal(PyUnicode_New(length - underscores, 127));
  if (!out) return Status::Pending();
  auto* dest = static_cast<unsigned char*>(PyUnicode_DATA(out.get()));
  bool upper_next = false;
  for (Py_ssize_t i = 0; i < length; ++i) {
    unsigned char ch = text[i];
    if (ch == '_') {
      upper_next = true;
      continue;
    }
    if (upper_next && ch >= 'a' && ch <= 'z') ch = static_cast<unsigned char>(ch - 'a' + 'A');
    upper_next = false;
    *dest++ = ch;
  }
  return out;
}

namespace {

// -1 on error, else whether `name` must be renamed for what it is.
int Clashes(PyObject* name, PyObject* keywords, PyObject* reserved, PyObject* extra) {
  int found = PySet_Contains(keywords, name);
  if (found == 0) found = PySet_Contains(reserved, name);
  if (found == 0 && extra != nullptr) found = PySet_Contains(extra, name);
  return found;
}

Status Rename(PyObject* names, PyObject* keywords, PyObject* reserved, PyObject* extra, PyObject* result) {
  Py_ssize_t count = PyList_GET_SIZE(names);
  // The names that stay as they are, whatever comes before them.
  Ref taken = Ref::steal(PySet_New(nullptr));
  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!taken || !seen) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    int clash = Clashes(name, keywords, reserved, extra);
    if (clash < 0 || (clash == 0 && PySet_Add(taken.get(), name) < 0)) return Status::Pending();
  }
  Ref underscore = Ref::steal(PyUnicode_FromStringAndSize("_", 1));
  if (!underscore) return Status::Pending();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    Ref local = Ref::borrow(name);
    int rename = Clashes(name, keywords, reserved, extra);
    if (rename == 0) rename = PySet_Contains(seen.get(), name);
    if (rename < 0) return Status::Pending();
    for (bool again = rename != 0; again;) {
      local = Ref::steal(PyUnicode_Concat(local.get(), underscore.get()));
      if (!local) return Status::Pending();
      int busy = PySet_Contains(taken.get(), local.get());
      if (busy == 0) busy = PySet_Contains(seen.get(), local.get());
      if (busy == 0) busy = Clashes(local.get(), keywords, reserved, extra);
      if (busy < 0) return Status::Pending();
      again = busy != 0;
    }
    if (PySet_Add(seen.get(), local.get()) < 0) return Status::Pending();
    PyList_SET_ITEM(result, i, local.release());
  }
  return Status::Ok();
}

}  // namespace

Result<Ref> AssignLocalNames(PyObject* names, PyObject* keywords, PyObject* reserved, PyObject* extra) {
  if (!PyList_Check(names)) return Status(ErrorKind::kType, "names cannot be converted to list");
  if (!PyAnySet_Check(keywords) || !PyAnySet_Check(reserved) || (extra != nullptr && !PyAnySet_Check(extra))) {
    return Status(ErrorKind::kType, "reserved names cannot be converted to set");
  }
  Py_ssize_t count = PyList_GET_SIZE(names);
  // The usual case: every name distinct and free, so nothing is renamed.
  Ref seen = Ref::steal(PySet_New(nullptr));
  if (!seen) return Status::Pending();
  bool plain = true;
  for (Py_ssize_t i = 0; i < count && plain; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    if (!PyUnicode_Check(name)) return Status(ErrorKind::kType, "field name cannot be converted to str");
    int clash = Clashes(name, keywords, reserved, extra);
    if (clash == 0) clash = PySet_Contains(seen.get(), name);
    if (clash < 0 || (clash == 0 && PySet_Add(seen.get(), name) < 0)) return Status::Pending();
    plain = clash == 0;
  }
  if (plain) return Ref::borrow(names);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyUnicode_Check(PyList_GET_ITEM(names, i))) {
      return Status(ErrorKind::kType, "field name cannot be converted to str");
    }
  }
  Ref result = Ref::steal(PyList_New(count));
  if (!result) return Status::Pending();
  VELUM_TRY(Rename(names, keywords, reserved, extra, result.get()));
  return result;
}

}  // namespace velum
