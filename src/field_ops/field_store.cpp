#include "field_ops/field_store.h"

#include "common/py_error.h"
#include "descriptor/field_access.h"
#include "descriptor/instance.h"
#include "field_ops/field_select.h"
#include "field_ops/new_instance.h"
#include "oneof/oneof.h"

namespace velum {

Status SetPresent(PyObject* msg, uint32_t number) {
  PresenceBits& bits = AsNative(msg)->presence;
  if (!bits.Set(number)) [[unlikely]]
    return bits.FailureStatus(number);
  return Status::Ok();
}

Status ClearPresent(PyObject* msg, uint32_t number) {
  PresenceBits& bits = AsNative(msg)->presence;
  if (!bits.Clear(number)) [[unlikely]]
    return bits.FailureStatus(number);
  return Status::Ok();
}

Status StoreWithPresence(PyObject* msg, const FieldSpec& f, Ref value) {
  if (f.in_oneof()) {
    Ref holder = oneof::New(f.local_name.get(), value.get());
    if (!holder) return Status::Pending();
    return WriteFieldSteal(msg, f.access, std::move(holder));
  }
  VELUM_TRY(WriteFieldSteal(msg, f.access, std::move(value)));
  if (f.has_presence_bit) return SetPresent(msg, f.number);
  return Status::Ok();
}

Status StoreNullReset(PyObject* msg, const FieldSpec& f, PyObject* value) {
  if (f.in_oneof()) {
    VELUM_ASSIGN_OR_RETURN(Ref holder, ReadField(msg, f.access));
    if (!oneof::Check(holder.get())) return Status::Ok();
    const int same = PyObject_RichCompareBool(oneof::Field(holder.get()), f.local_name.get(), Py_EQ);
    if (same < 0) return Status::Pending();
    return same ? WriteField(msg, f.access, Py_None) : Status::Ok();
  }
  VELUM_TRY(WriteField(msg, f.access, value));
  if (f.has_presence_bit) return ClearPresent(msg, f.number);
  return Status::Ok();
}

Status ResetRepeated(PyObject* msg, const FieldSpec& f) {
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
    case FieldShape::kSingular:
      break;
  }
  if (f.kind.value.tag != ElementTag::kMessage || f.in_oneof()) return Status::Ok();
  VELUM_TRY(WriteField(msg, f.access, Py_None));
  if (f.has_presence_bit) return ClearPresent(msg, f.number);
  return Status::Ok();
}

Result<Ref> StoredList(PyObject* msg, const FieldSpec& f) {
  VELUM_ASSIGN_OR_RETURN(Ref list, ReadField(msg, f.access));
  if (!PyList_Check(list.get())) [[unlikely]]
    return TypeCheckError(list.get(), "list");
  return list;
}

Result<Ref> StoredDict(PyObject* msg, const FieldSpec& f) {
  VELUM_ASSIGN_OR_RETURN(Ref dict, ReadField(msg, f.access));
  if (!PyDict_Check(dict.get())) [[unlikely]]
    return TypeCheckError(dict.get(), "dict");
  return dict;
}

Result<Ref> CurrentSubMessage(PyObject* msg, const FieldSpec& f, const MessageMarshaler& nested) {
  VELUM_ASSIGN_OR_RETURN(Ref current, ReadField(msg, f.access));
  if (f.in_oneof()) {
    VELUM_ASSIGN_OR_RETURN(bool holds, OneofHolds(current.get(), f));
    current = holds ? Ref::borrow(oneof::Value(current.get())) : Ref();
  }
  if (!current || current.get() == Py_None) return Ref();
  VELUM_TRY(CheckInstance(nested, current.get()));
  return current;
}

Result<Ref> SubMessageToMerge(PyObject* msg, const FieldSpec& f, const MessageMarshaler& nested) {
  VELUM_ASSIGN_OR_RETURN(Ref current, CurrentSubMessage(msg, f, nested));
  if (current) return current;
  return NewDefaultInstance(nested);
}

}  // namespace velum
