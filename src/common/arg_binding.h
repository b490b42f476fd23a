// Argument binding for native methods that use the vectorcall convention with
// keywords (METH_FASTCALL | METH_KEYWORDS, or a type's tp_vectorcall).
//
// A Signature is declared once per method, as a static object:
//
//   constexpr args::Param kToJsonParams[] = {
//       {"registry", true, false}, {"always_emit_implicit", true, false}, ...};
//   constinit args::Signature kToJson("NativeMessage.to_json()", kToJsonParams);
//
//   PyObject* found[std::size(kToJsonParams)];
//   VELUM_TRY(args::Bind(kToJson, args, nargs, kwnames, found));
//
// Parameters that may be given by position come first, in order, followed by
// the keyword-only ones. Binding allocates nothing once the signature has
// interned its parameter names (on the first call that passes keywords).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/ref.h"
#include "common/status.h"

// Docstring holding only a text signature, e.g.
// VELUM_SIGNATURE_DOC("to_binary($self, *, write_unknown_fields=True)").
#define VELUM_SIGNATURE_DOC(signature) signature "\n--\n\n"

namespace velum::args {

inline constexpr size_t kMaxParams = 8;

struct Param {
  const char* name;
  bool keyword_only;
  bool required;
};

class Signature {
 public:
  // `func` is the name used in error messages, with parentheses: "Oneof()".
  template <size_t N>
  constexpr Signature(const char* func, const Param (&params)[N]) noexcept : Signature(func, params, N) {
    static_assert(N <= kMaxParams, "raise kMaxParams");
  }
  constexpr Signature(const char* func, const Param* params, size_t count) noexcept
      : func_(func), params_(params), count_(count) {
    while (positional_ < count && !params[positional_].keyword_only) ++positional_;
    while (min_positional_ < positional_ && params[min_positional_].required) ++min_positional_;
    for (size_t i = 0; i < count; ++i) required_ += params[i].required ? 1 : 0;
  }
  Signature(const Signature&) = delete;
  Signature& operator=(const Signature&) = delete;

  const char* func() const noexcept { return func_; }
  const Param* params() const noexcept { return params_; }
  size_t count() const noexcept { return count_; }
  // Number of parameters that may be passed by position.
  size_t positional() const noexcept { return positional_; }

  // See args::Bind.
  Status Bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, PyObject** out) const;

 private:
  Status InternNames() const;
  // Index of the parameter called `key`, or -1.
  Py_ssize_t Find(PyObject* key) const noexcept;
  Status TooManyPositional(Py_ssize_t given) const;
  Status Missing(PyObject* const* out) const;

  const char* func_;
  const Param* params_;
  size_t count_;
  size_t positional_ = 0;
  size_t min_positional_ = 0;
  size_t required_ = 0;
  // Filled under the GIL the first time keywords are bound; kept for the
  // life of the process.
  mutable PyObject* names_[kMaxParams] = {};
  mutable bool interned_ = false;
};

// Fills out[0 .. sig.count()) with borrowed references to the arguments, in
// parameter order, or nullptr for a parameter that was not given. `nargsf` may
// carry PY_VECTORCALL_ARGUMENTS_OFFSET. Fails with TypeError for too many
// positional arguments, an unexpected keyword, a parameter given twice or a
// missing required parameter.
inline Status Bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** out) {
  return sig.Bind(args, nargsf, kwnames, out);
}

// Conversions of bound arguments. A nullptr `value` (argument absent) leaves
// *out unchanged, so callers pre-set the default. A failure keeps its exception
// and carries the note "while processing '{name}'".

// Accepts exactly bool, or NumPy's boolean scalar (by its truth value).
Status ToBoolGeneral(PyObject* value, const char* name, bool* out);
// Absent and bool arguments, nearly every call's, are decided inline.
inline Status ToBool(PyObject* value, const char* name, bool* out) {
  if (value == nullptr) return Status::Ok();
  if (PyBool_Check(value)) [[likely]] {
    *out = value == Py_True;
    return Status::Ok();
  }
  return ToBoolGeneral(value, name, out);
}
// Accepts any object with __index__; OverflowError outside [0, 2**32).
Status ToUint32(PyObject* value, const char* name, uint32_t* out);
// Checks that a present value is a str.
Status ToStr(PyObject* value, const char* name);

// `registry=None` means no registry.
inline PyObject* NoneAsAbsent(PyObject* value) noexcept { return value == Py_None ? nullptr : value; }

}  // namespace velum::args
