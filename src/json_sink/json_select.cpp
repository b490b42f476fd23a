#include "json_sink/json_select.h"

#include "common/py_error.h"
#include "descriptor/field_access.h"
#include "field_ops/field_default.h"
#include "oneof/oneof.h"

namespace velum::json_sink {

Status CheckOneofs(const MessageMarshaler& m, PyObject* msg) {
  for (const OneofEntry& oneof : m.oneofs) {
    VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, oneof.access));
    if (value.get() == Py_None) continue;
    if (!oneof::Check(value.get())) {
      return FormatError(ErrorKind::kType, "expected Oneof, got '%S'",
                         reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    }
    PyObject* field = oneof::Field(value.get());
    if (!m.fields_by_name) return Status(ErrorKind::kRuntime, "message marshaler was cleared");
    const int known = PySequence_Contains(m.fields_by_name.get(), field);
    if (known < 0) return Status::Pending();
    if (!known) return FormatError(ErrorKind::kValue, "unknown oneof field '%S'", field);
  }
  return Status::Ok();
}

Result<Ref> SelectValue(const FieldSpec& f, PyObject* msg, const NativeMessageObject& native,
                        bool always_emit_implicit) {
  VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, f.access));
  if (f.in_oneof()) {
    if (!oneof::Check(value.get())) return Ref();
    PyObject* field = oneof::Field(value.get());
    if (!PyUnicode_Check(field)) return Ref();
    if (field != f.local_name.get() && PyUnicode_Compare(field, f.local_name.get()) != 0) {
      if (PyErr_Occurred()) return Status::Pending();
      return Ref();
    }
    return Ref::borrow(oneof::Value(value.get()));
  }
  const bool message = f.shape == FieldShape::kSingular && f.kind.value.tag == ElementTag::kMessage;
  if (f.presence != Presence::kImplicit && f.shape == FieldShape::kSingular) {
    const bool set = message ? value.get() != Py_None : native.presence.Get(f.number);
    if (set) return value;
    if (f.presence == Presence::kRequired) {
      return FormatError(ErrorKind::kValue, "cannot encode %U to binary: required field not set",
                         f.local_name.get());
    }
    return Ref();
  }
  // An unset message is never written: None has no JSON form for a message.
  if (message && value.get() == Py_None) return Ref();
  if (always_emit_implicit) return value;
  const int written = HoldsNonDefault(f, value.get());
  if (written < 0) return Status::Pending();
  return written ? std::move(value) : Ref();
}

}  // namespace velum::json_sink
