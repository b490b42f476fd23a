// Shallow copy, deep copy and merge of messages. All three walk the type's
// attribute list, carry presence bits and unknown-field records, and never go
// through the wire format. Deep copy and merge recurse along the message tree,
// bounded like the codecs so that a message containing itself cannot exhaust
// the native stack.
#include <bit>
#include <cstdint>

#include "common/dict_walk.h"
#include "common/limits.h"
#include "common/py_error.h"
#include "descriptor/enum_table.h"
#include "nativemessage/native_message.h"
#include "nativemessage/operations.h"
#include "oneof/oneof.h"
#include "descriptor/field_access.h"
#include "field_ops/field_default.h"
#include "field_ops/new_instance.h"

namespace velum::copy_merge {

namespace {

Status InvalidSource(const MessageMarshaler& m, PyObject* source) {
  Ref expected = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(m.message_class.get())));
  if (!expected) return Status::Pending();
  Ref actual = Ref::steal(PyType_GetQualName(Py_TYPE(source)));
  if (!actual) return Status::Pending();
  return FormatError(ErrorKind::kType, "invalid source message type, expected %U, got %U", expected.get(),
                     actual.get());
}

// Values of these exact types are immutable and never messages: a copy or a
// merge shares them, and looking at them runs no Python code.
inline bool IsSharedExact(PyObject* value) noexcept {
  PyTypeObject* type = Py_TYPE(value);
  return value == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
         type == &PyBool_Type || type == &PyBytes_Type;
}

// IsNativeMessage, answering first for a generated class, whose method
// resolution order puts NativeMessage right after the class itself.
inline bool IsMessage(PyObject* value) noexcept {
  PyObject* mro = Py_TYPE(value)->tp_mro;
  if (mro != nullptr && PyTuple_GET_SIZE(mro) > 1 &&
      PyTuple_GET_ITEM(mro, 1) == reinterpret_cast<PyObject*>(NativeMessageType())) {
    return true;
  }
  return IsNativeMessage(value);
}

// The marshaler of a message (borrowed when cached on the instance, else held by `holder`).
Result<const MessageMarshaler*> MarshalerOf(PyObject* msg, Ref& holder) {
  if (PyObject* cached = AsNative(msg)->marshaler) [[likely]] {
    return AsMarshaler(cached);
  }
  VELUM_ASSIGN_OR_RETURN(holder, MarshalerOfInstance(msg));
  return AsMarshaler(holder.get());
}

// A new instance of the source's own class, a Python subclass included (its
// __new__ is called); the instance maker checks what an overridden __new__
// hands back.
Result<Ref> NewCopyTarget(const MessageMarshaler& m, PyObject* source) {
  return NewBareInstance(m, Py_TYPE(source));
}

// The copy gets its own lists; the bytes records are shared.
Status CopyUnknownFields(PyObject* target, PyObject* source) {
  PyObject* store = AsNative(source)->unknown_fields;
  if (store == nullptr) return Status::Ok();
  VELUM_ASSIGN_OR_RETURN(PyObject* target_store, GetOrInitUnknownFields(target));
  return ForEachEntry(store, [&](PyObject* key, PyObject* records) -> Status {
    if (!PyList_Check(records)) return TypeCheckError(records, "list");
    Ref copy = Ref::steal(PyList_GetSlice(records, 0, PY_SSIZE_T_MAX));
    if (!copy) return Status::Pending();
    if (PyDict_SetItem(target_store, key, copy.get()) < 0) return Status::Pending();
    return Status::Ok();
  });
}

Status MergeUnknownFields(PyObject* target, PyObject* source) {
  PyObject* store = AsNative(source)->unknown_fields;
  if (store == nullptr) return Status::Ok();
  VELUM_ASSIGN_OR_RETURN(PyObject* target_store, GetOrInitUnknownFields(target));
  return ForEachEntry(store, [&](PyObject* key, PyObject* records) -> Status {
    Ref list = Ref::borrow(PyDict_GetItemWithError(target_store, key));
    if (!list) {
      if (PyErr_Occurred()) return Status::Pending();
      list = Ref::steal(PyList_New(0));
      if (!list || PyDict_SetItem(target_store, key, list.get()) < 0) return Status::Pending();
    }
    if (!PyList_Check(list.get())) return TypeCheckError(list.get(), "list");
    if (!PyList_Check(records)) return TypeCheckError(records, "list");
    // Bounded by the length at the start: merging a message into itself
    // appends its records once.
    const Py_ssize_t count = PyList_GET_SIZE(records);
    for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(records); ++i) {
      if (PyList_Append(list.get(), PyList_GET_ITEM(records, i)) < 0) return Status::Pending();
    }
    return Status::Ok();
  });
}

// `target` is a new instance nothing else can reach yet.
Status CopyPresenceAndUnknown(PyObject* target, PyObject* source) {
  VELUM_TRY(AsNative(target)->presence.MergeFromUnshared(AsNative(source)->presence));
  if (AsNative(source)->unknown_fields == nullptr) return Status::Ok();
  return CopyUnknownFields(target, source);
}

// True when merging `value` into an implicit-presence scalar or enum field
// would only overwrite the target with the field's default.
Result<bool> IsImplicitDefault(const FieldSpec& f, PyObject* value) {
  if (f.presence != Presence::kImplicit || f.shape != FieldShape::kSingular ||
      f.kind.value.tag == ElementTag::kMessage) {
    return false;
  }
  int set = HoldsNonDefault(f, value);
  if (set < 0) {
    bool floating = f.kind.value.tag == ElementTag::kScalar &&
                    (f.kind.value.scalar == ScalarType::kDouble || f.kind.value.scalar == ScalarType::kFloat);
    if (!floating) return Status::Pending();
    // Not a number at all: merge does not validate, the value is carried over.
    PyErr_Clear();
    return false;
  }
  return set == 0;
}

// ---- deep copy ------------------------------------------------------------

Result<Ref> DeepCopyWith(const MessageMarshaler& m, PyObject* msg, uint32_t depth);

// `msg` copied at `depth`, with the marshaler of its own type.
Result<Ref> DeepCopyMessage(PyObject* msg, uint32_t depth) {
  if (depth > kMaxDepth) return DepthError("copying");
  Ref holder;
  VELUM_ASSIGN_OR_RETURN(const MessageMarshaler* m, MarshalerOf(msg, holder));
  return DeepCopyWith(*m, msg, depth);
}

// A message element or value is copied; anything else is shared.
Result<Ref> DeepCopyElement(PyObject* value, uint32_t depth) {
  if (!IsSharedExact(value) && IsMessage(value)) return DeepCopyMessage(value, depth);
  return Ref::borrow(value);
}

Result<Ref> DeepCopyOneof(PyObject* holder, uint32_t depth) {
  PyObject* value = oneof::Value(holder);
  if (!IsNativeMessage(value)) return Ref::borrow(holder);
  VELUM_ASSIGN_OR_RETURN(Ref copy, DeepCopyMessage(value, depth));
  Ref result = oneof::New(oneof::Field(holder), copy.get());
  if (!result) return Status::Pending();
  return result;
}

// The new list starts as a snapshot of the source, so Python code run while
// copying its messages cannot disturb the walk. Shared elements are taken in
// the same pass that fills the snapshot; the first other one ends that pass.
Result<Ref> DeepCopyList(PyObject* list, uint32_t depth) {
  const Py_ssize_t size = PyList_GET_SIZE(list);
  Ref copy = Ref::steal(PyList_New(size));
  if (!copy) return Status::Pending();
  PyObject** from = reinterpret_cast<PyListObject*>(list)->ob_item;
  PyObject** to = reinterpret_cast<PyListObject*>(copy.get())->ob_item;
  // A list mostly holds one type: once an element's type is known to be shared,
  // the next ones of that type cost one compare.
  Py_ssize_t first = 0;
  PyTypeObject* shared_type = nullptr;
  for (; first < size; ++first) {
    PyObject* item = from[first];
    if (Py_TYPE(item) != shared_type) [[unlikely]] {
      if (!IsSharedExact(item)) break;
      shared_type = Py_TYPE(item);
    }
    to[first] = Py_NewRef(item);
  }
  if (first == size) return copy;
  for (Py_ssize_t i = first; i < size; ++i) to[i] = Py_NewRef(from[i]);
  for (Py_ssize_t i = first; i < size; ++i) {
    PyObject* item = PyList_GET_ITEM(copy.get(), i);
    if (IsSharedExact(item) || !IsMessage(item)) continue;
    VELUM_ASSIGN_OR_RETURN(Ref element, DeepCopyMessage(item, depth));
    PyList_SET_ITEM(copy.get(), i, element.release());
    Py_DECREF(item);
  }
  return copy;
}

// Same idea for dicts: copy first, then replace message values in the copy,
// which nothing else can see yet.
Result<Ref> DeepCopyDict(PyObject* dict, uint32_t depth) {
  Ref copy = Ref::steal(PyDict_Copy(dict));
  if (!copy) return Status::Pending();
  VELUM_TRY(ForEachEntry(copy.get(), [&](PyObject* key, PyObject* value) -> Status {
    if (IsSharedExact(value) || !IsMessage(value)) return Status::Ok();
    VELUM_ASSIGN_OR_RETURN(Ref element, DeepCopyMessage(value, depth));
    if (PyDict_SetItem(copy.get(), key, element.get()) < 0) return Status::Pending();
    return Status::Ok();
  }));
  return copy;
}

// One stored attribute of a message at `depth`; nested messages sit one deeper.
Result<Ref> DeepCopyAttribute(PyObject* value, uint32_t depth) {
  if (IsSharedExact(value)) return Ref::borrow(value);
  if (PyList_CheckExact(value)) return DeepCopyList(value, depth + 1);
  if (IsMessage(value)) return DeepCopyMessage(value, depth + 1);
  if (PyList_Check(value)) return DeepCopyList(value, depth + 1);
  if (PyDict_Check(value)) return DeepCopyDict(value, depth + 1);
  if (oneof::Check(value)) return DeepCopyOneof(value, depth + 1);
  return Ref::borrow(value);
}

Result<Ref> DeepCopyWith(const MessageMarshaler& m, PyObject* msg, uint32_t depth) {
  VELUM_ASSIGN_OR_RETURN(Ref copy, NewCopyTarget(m, msg));
  for (const AttributeEntry& entry : m.attributes) {
    if (entry.access.is_slot()) [[likely]] {
      PyObject* stored = *SlotAddress(msg, entry.access.offset());
      if (stored != nullptr && IsSharedExact(stored)) {
        PyObject** slot = SlotAddress(copy.get(), entry.access.offset());
        PyObject* old = *slot;
        *slot = Py_NewRef(stored);
        Py_XDECREF(old);
        continue;
      }
    }
    VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, entry.access));
    VELUM_ASSIGN_OR_RETURN(Ref copied, DeepCopyAttribute(value.get(), depth));
    VELUM_TRY(WriteFieldSteal(copy.get(), entry.access, std::move(copied)));
  }
  VELUM_TRY(CopyPresenceAndUnknown(copy.get(), msg));
  return copy;
}

// ---- merge ----------------------------------------------------------------

Status MergeWith(const MessageMarshaler& m, PyObject* target, PyObject* source, bool ignore_unknown,
                 uint32_t depth);

// Merges the sub-message `value` into the target's attribute, creating the
// target's sub-message when it holds None.
Status MergeSubMessage(PyObject* target, const FieldAccess& access, PyObject* value, bool ignore_unknown,
                       uint32_t depth) {
  VELUM_ASSIGN_OR_RETURN(Ref current, ReadField(target, access));
  Ref holder;
  if (current.get() == Py_None) {
    VELUM_ASSIGN_OR_RETURN(const MessageMarshaler* vm, MarshalerOf(value, holder));
    VELUM_ASSIGN_OR_RETURN(Ref child, NewDefaultInstance(*vm));
    VELUM_TRY(WriteField(target, access, child.get()));
    return MergeWith(*vm, child.get(), value, ignore_unknown, depth);
  }
  if (!IsMessage(current.get())) return TypeCheckError(current.get(), "NativeMessage");
  VELUM_ASSIGN_OR_RETURN(const MessageMarshaler* cm, MarshalerOf(current.get(), holder));
  return MergeWith(*cm, current.get(), value, ignore_unknown, depth);
}

Status MergeList(PyObject* target, const FieldAccess& access, PyObject* list, uint32_t depth) {
  VELUM_ASSIGN_OR_RETURN(Ref current, ReadField(target, access));
  if (!PyList_Check(current.get())) return TypeCheckError(current.get(), "list");
  // Bounded by the length at the start, so a list merged into itself doubles
  // instead of growing forever.
  const Py_ssize_t count = PyList_GET_SIZE(list);
  // Nothing to copy: one extension, which copes with a list extended by itself.
  PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
  Py_ssize_t shared = 0;
  while (shared < count && IsSharedExact(items[shared])) ++shared;
  if (shared == count) {
    const Py_ssize_t end = PyList_GET_SIZE(current.get());
    if (PyList_SetSlice(current.get(), end, end, list) < 0) return Status::Pending();
    return Status::Ok();
  }
  for (Py_ssize_t i = 0; i < count && i < PyList_GET_SIZE(list); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    VELUM_ASSIGN_OR_RETURN(Ref element, DeepCopyElement(item.get(), depth));
    if (PyList_Append(current.get(), element.get()) < 0) return Status::Pending();
  }
  return Status::Ok();
}

Status MergeDict(PyObject* target, const FieldAccess& access, PyObject* dict, uint32_t depth) {
  VELUM_ASSIGN_OR_RETURN(Ref current, ReadField(target, access));
  if (!PyDict_Check(current.get())) return TypeCheckError(current.get(), "dict");
  return ForEachEntry(dict, [&](PyObject* key, PyObject* value) -> Status {
    VELUM_ASSIGN_OR_RETURN(Ref element, DeepCopyElement(value, depth));
    if (PyDict_SetItem(current.get(), key, element.get()) < 0) return Status::Pending();
    return Status::Ok();
  });
}

// When the target's oneof holds the same member as `holder` (the source's
// Oneof) and both values are messages of one class, the source's message is
// merged into the target's, as for a message field outside a oneof; false when
// the oneof is to be replaced instead.
Result<bool> MergeOneofMessage(PyObject* target, const FieldAccess& access, PyObject* holder, bool ignore_unknown,
                               uint32_t depth) {
  PyObject* value = oneof::Value(holder);
  if (!IsMessage(value)) return false;
  VELUM_ASSIGN_OR_RETURN(Ref current, ReadField(target, access));
  if (!oneof::Check(current.get())) return false;
  PyObject* into = oneof::Value(current.get());
  if (!IsMessage(into) || !PyObject_TypeCheck(value, Py_TYPE(into))) return false;
  Ref hold_into = Ref::borrow(into);
  Ref hold_value = Ref::borrow(value);
  const int same = PyObject_RichCompareBool(oneof::Field(current.get()), oneof::Field(holder), Py_EQ);
  if (same <= 0) return same < 0 ? Result<bool>(Status::Pending()) : Result<bool>(false);
  Ref marshaler_holder;
  VELUM_ASSIGN_OR_RETURN(const MessageMarshaler* im, MarshalerOf(into, marshaler_holder));
  VELUM_TRY(MergeWith(*im, into, value, ignore_unknown, depth));
  return true;
}

Status MergeAttribute(PyObject* target, PyObject* source, const AttributeEntry& entry, bool ignore_unknown,
                      uint32_t depth) {
  if (entry.presence_tracked && !AsNative(source)->presence.Get(entry.presence_bit)) return Status::Ok();
  VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(source, entry.access));
  PyObject* v = value.get();
  if (v == Py_None) return Status::Ok();
  if (!IsSharedExact(v)) {
    if (PyList_CheckExact(v)) return MergeList(target, entry.access, v, depth + 1);
    if (IsMessage(v)) return MergeSubMessage(target, entry.access, v, ignore_unknown, depth + 1);
    if (PyList_Check(v)) return MergeList(target, entry.access, v, depth + 1);
    if (PyDict_Check(v)) return MergeDict(target, entry.access, v, depth + 1);
    if (oneof::Check(v)) {
      VELUM_ASSIGN_OR_RETURN(bool merged, MergeOneofMessage(target, entry.access, v, ignore_unknown, depth + 1));
      if (merged) return Status::Ok();
      VELUM_ASSIGN_OR_RETURN(Ref copy, DeepCopyOneof(v, depth + 1));
      return WriteFieldSteal(target, entry.access, std::move(copy));
    }
  }
  if (entry.field != nullptr) {
    VELUM_ASSIGN_OR_RETURN(bool is_default, IsImplicitDefault(*entry.field, v));
    if (is_default) return Status::Ok();
  }
  return WriteField(target, entry.access, v);
}

Status MergeWith(const MessageMarshaler& m, PyObject* target, PyObject* source, bool ignore_unknown,
                 uint32_t depth) {
  if (depth > kMaxDepth) return DepthError("merging");
  PyObject* cls = m.message_class.get();
  if (cls == nullptr) return Status(ErrorKind::kRuntime, "message marshaler was cleared");
  if (Py_TYPE(source) != reinterpret_cast<PyTypeObject*>(cls)) {
    int accepted = PyObject_IsInstance(source, cls);
    if (accepted < 0) return Status::Pending();
    if (!accepted) return InvalidSource(m, source);
  }
  if (!IsMessage(source)) return InvalidSource(m, source);
  if (!IsMessage(target)) return TypeCheckError(target, "NativeMessage");
  VELUM_TRY(AsNative(target)->presence.MergeFrom(AsNative(source)->presence));
  for (const AttributeEntry& entry : m.attributes) {
    VELUM_TRY(MergeAttribute(target, source, entry, ignore_unknown, depth));
  }
  if (ignore_unknown) return Status::Ok();
  return MergeUnknownFields(target, source);
}

}  // namespace

}  // namespace velum::copy_merge

namespace velum {

Result<Ref> ShallowCopy(const MessageMarshaler& m, PyObject* msg) {
  VELUM_ASSIGN_OR_RETURN(Ref copy, copy_merge::NewCopyTarget(m, msg));
  for (const AttributeEntry& entry : m.attributes) {
    VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, entry.access));
    VELUM_TRY(WriteFieldSteal(copy.get(), entry.access, std::move(value)));
  }
  VELUM_TRY(copy_merge::CopyPresenceAndUnknown(copy.get(), msg));
  return copy;
}

Result<Ref> DeepCopy(const MessageMarshaler& m, PyObject* msg) { return copy_merge::DeepCopyWith(m, msg, 0); }

Status MergeMessage(const MessageMarshaler& m, PyObject* target, PyObject* source, bool ignore_unknown_fields) {
  return copy_merge::MergeWith(m, target, source, ignore_unknown_fields, 0);
}

}  // namespace velum
