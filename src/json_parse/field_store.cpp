#include "json_parse/field_store.h"

#include "common/py_error.h"
#include "descriptor/enum_table.h"
#include "descriptor/instance.h"
#include "oneof/oneof.h"

namespace velum::json {

namespace {

Status SetBit(PyObject* msg, uint32_t number, bool present) {
  PresenceBits& bits = AsNative(msg)->presence;
  if (!(present ? bits.Set(number) : bits.Clear(number))) [[unlikely]]
    return bits.FailureStatus(number);
  return Status();
}

// Whether the oneof value `current` holds the member `f`.
Result<bool> HoldsMember(PyObject* current, const FieldSpec& f) {
  if (!oneof::Check(current)) return false;
  const int same = PyObject_RichCompareBool(oneof::Field(current), f.local_name.get(), Py_EQ);
  if (same < 0) return Status::Pending();
  return same == 1;
}

bool SameAccess(const FieldAccess& a, const FieldAccess& b) noexcept {
  if (a.is_slot() || b.is_slot()) return a.offset() == b.offset();
  return a.name() == b.name() ||
         (a.name() != nullptr && b.name() != nullptr && PyUnicode_Compare(a.name(), b.name()) == 0);
}

}  // namespace

Status StoreValue(PyObject* msg, const FieldSpec& f, Ref value) {
  if (f.in_oneof()) {
    Ref holder = oneof::New(f.local_name.get(), value.get());
    if (!holder) return Status::Pending();
    return WriteFieldSteal(msg, f.access, std::move(holder));
  }
  VELUM_TRY(WriteFieldSteal(msg, f.access, std::move(value)));
  return f.has_presence_bit ? SetBit(msg, f.number, true) : Status();
}

Status ResetValue(PyObject* msg, const FieldSpec& f, PyObject* value) {
  if (f.in_oneof()) {
    VELUM_ASSIGN_OR_RETURN(Ref current, ReadField(msg, f.access));
    VELUM_ASSIGN_OR_RETURN(bool holds, HoldsMember(current.get(), f));
    return holds ? WriteField(msg, f.access, Py_None) : Status();
  }
  VELUM_TRY(WriteField(msg, f.access, value));
  return f.has_presence_bit ? SetBit(msg, f.number, false) : Status();
}

Status ResetToDefault(const MessageMarshaler& m, PyObject* msg, const FieldSpec& f) {
  for (const DefaultEntry& entry : m.defaults) {
    if (SameAccess(entry.access, f.access)) return ResetValue(msg, f, entry.value.get());
  }
  Ref zero = f.kind.kind == ValueKind::kEnum ? f.kind.value.table->default_value.clone()
                                              : ScalarZeroValue(f.kind.value.scalar);
  if (!zero) return Status::Pending();
  return ResetValue(msg, f, zero.get());
}

Status ResetRepeated(const MessageMarshaler&, PyObject* msg, const FieldSpec& f) {
  switch (f.shape) {
    case FieldShape::kList: {
      Ref list = Ref::steal(PyList_New(0));
      if (!list) return Status::Pending();
      return WriteFieldSteal(msg, f.access, std::move(list));
    }
    case FieldShape::kMap: {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return Status::Pending();
      return WriteFieldSteal(msg, f.access, std::move(dict));
    }
    case FieldShape::kSingular: break;
  }
  return ResetValue(msg, f, Py_None);
}

Result<Ref> CurrentMessage(PyObject* msg, const FieldSpec& f) {
  VELUM_ASSIGN_OR_RETURN(Ref current, ReadField(msg, f.access));
  if (!f.in_oneof()) return current;
  VELUM_ASSIGN_OR_RETURN(bool holds, HoldsMember(current.get(), f));
  if (!holds) return Ref();
  return Ref::borrow(oneof::Value(current.get()));
}

}  // namespace velum::json
