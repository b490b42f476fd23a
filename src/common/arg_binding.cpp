#include "common/arg_binding.h"

#include <cstdio>

#include "common/py_error.h"

namespace velum::args {

namespace {

const char* Verb(Py_ssize_t n) noexcept { return n == 1 ? "was" : "were"; }

Status NoteFor(Status status, const char* name) {
  if (status.ok()) return status;
  char note[160];
  std::snprintf(note, sizeof note, "while processing '%s'", name);
  return WithNote(std::move(status), note);
}

// NumPy's bool scalar type is recognised by name so that NumPy need not be imported.
Result<bool> IsNumpyBool(PyTypeObject* type) {
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) return Status::Pending();
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return Status::Pending();
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

Status Signature::InternNames() const {
  for (size_t i = 0; i < count_; ++i) {
    if (names_[i] != nullptr) continue;
    names_[i] = PyUnicode_InternFromString(params_[i].name);
    if (names_[i] == nullptr) return Status::Pending();
  }
  interned_ = true;
  return Status::Ok();
}

Py_ssize_t Signature::Find(PyObject* key) const noexcept {
  // Keywords written in source are interned, so identity nearly always decides.
  for (size_t i = 0; i < count_; ++i) {
    if (names_[i] == key) return static_cast<Py_ssize_t>(i);
  }
  if (!PyUnicode_Check(key)) return -1;
  for (size_t i = 0; i < count_; ++i) {
    if (PyUnicode_Compare(names_[i], key) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

Status Signature::TooManyPositional(Py_ssize_t given) const {
  if (min_positional_ == positional_) {
    return FormatError(ErrorKind::kType, "%s takes %zu positional arguments but %zd %s given", func_, positional_,
                       given, Verb(given));
  }
  return FormatError(ErrorKind::kType, "%s takes from %zu to %zu positional arguments but %zd %s given", func_,
                     min_positional_, positional_, given, Verb(given));
}

Status Signature::Missing(PyObject* const* out) const {
  // Like Python, report the missing positional parameters before the keyword-only ones.
  for (int pass = 0; pass < 2; ++pass) {
    const bool keyword_only = pass == 1;
    size_t missing = 0;
    for (size_t i = 0; i < count_; ++i) {
      if (params_[i].required && params_[i].keyword_only == keyword_only && out[i] == nullptr) ++missing;
    }
    if (missing == 0) continue;
    RawString names;
    size_t listed = 0;
    for (size_t i = 0; i < count_; ++i) {
      if (!params_[i].required || params_[i].keyword_only != keyword_only || out[i] != nullptr) continue;
      if (listed > 0) names += listed + 1 == missing ? " and " : ", ";
      names += '\'';
      names += params_[i].name;
      names += '\'';
      ++listed;
    }
    return FormatError(ErrorKind::kType, "%s missing %zu required %s %s: %s", func_, missing,
                       keyword_only ? "keyword" : "positional", missing == 1 ? "argument" : "arguments",
                       names.c_str());
  }
  return Status::Ok();
}

Status Signature::Bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) const {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (static_cast<size_t>(nargs) > positional_) [[unlikely]] {
    return TooManyPositional(nargs);
  }
  size_t bound = static_cast<size_t>(nargs);
  for (size_t i = 0; i < bound; ++i) out[i] = args[i];
  for (size_t i = bound; i < count_; ++i) out[i] = nullptr;
  size_t required_bound = bound < min_positional_ ? bound : min_positional_;
  if (kwnames != nullptr) {
    if (!interned_) [[unlikely]] {
      VELUM_TRY(InternNames());
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const Py_ssize_t index = Find(key);
      if (index < 0) [[unlikely]] {
        return FormatError(ErrorKind::kType, "%s got an unexpected keyword argument '%S'", func_, key);
      }
      if (out[index] != nullptr) [[unlikely]] {
        return FormatError(ErrorKind::kType, "%s got multiple values for argument '%s'", func_,
                           params_[index].name);
      }
      out[index] = args[nargs + k];
      if (params_[index].required) ++required_bound;
    }
  }
  // Required positional parameters precede optional ones, so counting suffices.
  if (required_bound < required_) [[unlikely]] {
    return Missing(out);
  }
  return Status::Ok();
}

Status ToBoolGeneral(PyObject* value, const char* name, bool* out) {
  if (value == nullptr) return Status::Ok();
  if (PyBool_Check(value)) {
    *out = value == Py_True;
    return Status::Ok();
  }
  Result<bool> numpy = IsNumpyBool(Py_TYPE(value));
  if (!numpy.ok()) return NoteFor(std::move(numpy).status(), name);
  if (!numpy.value()) return NoteFor(TypeCheckError(value, "bool"), name);
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return NoteFor(Status::Pending(), name);
  *out = truth != 0;
  return Status::Ok();
}

Status ToUint32(PyObject* value, const char* name, uint32_t* out) {
  if (value == nullptr) return Status::Ok();
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) return NoteFor(Status::Pending(), name);
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) return NoteFor(Status::Pending(), name);
  if (overflow != 0 || n < 0 || n > static_cast<long long>(UINT32_MAX)) {
    return NoteFor(FormatError(ErrorKind::kOverflow, "%S is out of range for an unsigned 32-bit integer", index.get()),
                   name);
  }
  *out = static_cast<uint32_t>(n);
  return Status::Ok();
}

Status ToStr(PyObject* value, const char* name) {
  if (value == nullptr || PyUnicode_Check(value)) return Status::Ok();
  return NoteFor(TypeCheckError(value, "str"), name);
}

}  // namespace velum::args
