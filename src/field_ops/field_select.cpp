#include "field_ops/field_select.h"

#include "common/py_error.h"
#include "descriptor/field_access.h"
#include "descriptor/instance.h"
#include "field_ops/field_default.h"
#include "oneof/oneof.h"

namespace velum {

namespace {

// As SelectField; a required field not set only raises `*missing_required`
// when that is null.
Status Select(const FieldSpec& f, PyObject* msg, bool always_emit_implicit, Ref& out, bool* missing_required) {
  VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, f.access));
  if (f.in_oneof()) {
    VELUM_ASSIGN_OR_RETURN(bool holds, OneofHolds(value.get(), f));
    if (holds) out = Ref::borrow(oneof::Value(value.get()));
    return Status::Ok();
  }
  if (f.presence != Presence::kImplicit && f.shape == FieldShape::kSingular) {
    const bool set = f.kind.value.tag == ElementTag::kMessage ? value.get() != Py_None
                                                               : AsNative(msg)->presence.Get(f.number);
    if (set) {
      out = std::move(value);
    } else if (f.presence == Presence::kRequired) {
      if (missing_required == nullptr) return RequiredNotSet(f);
      *missing_required = true;
    }
    return Status::Ok();
  }
  if (!always_emit_implicit) {
    const int set = HoldsNonDefault(f, value.get());
    if (set < 0) return Status::Pending();
    if (set == 0) return Status::Ok();
  }
  out = std::move(value);
  return Status::Ok();
}

}  // namespace

Status CheckOneofs(const MessageMarshaler& m, PyObject* msg) {
  for (const OneofEntry& entry : m.oneofs) {
    VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, entry.access));
    if (value.get() == Py_None) continue;
    if (!oneof::Check(value.get())) {
      return FormatError(ErrorKind::kType, "expected Oneof, got '%S'",
                         reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    }
    PyObject* field = oneof::Field(value.get());
    if (!m.fields_by_name) return Status(ErrorKind::kRuntime, "message marshaler was cleared");
    int known = PySequence_Contains(m.fields_by_name.get(), field);
    if (known < 0) return Status::Pending();
    if (!known) return FormatError(ErrorKind::kValue, "unknown oneof field '%S'", field);
  }
  return Status::Ok();
}

Result<bool> OneofHolds(PyObject* holder, const FieldSpec& f) {
  if (!oneof::Check(holder)) return false;
  PyObject* field = oneof::Field(holder);
  if (field == f.local_name.get()) return true;
  if (!PyUnicode_Check(field)) return false;
  const int cmp = PyUnicode_Compare(field, f.local_name.get());
  if (cmp == -1 && PyErr_Occurred()) return Status::Pending();
  return cmp == 0;
}

Status RequiredNotSet(const FieldSpec& f) {
  return FormatError(ErrorKind::kValue, "cannot encode %U to binary: required field not set", f.local_name.get());
}

Status SelectField(const FieldSpec& f, PyObject* msg, bool always_emit_implicit, Ref& out) {
  return Select(f, msg, always_emit_implicit, out, nullptr);
}

Result<bool> IsFieldSet(const FieldSpec& f, PyObject* msg) {
  Ref value;
  bool missing_required = false;
  VELUM_TRY(Select(f, msg, false, value, &missing_required));
  return static_cast<bool>(value);
}

}  // namespace velum
