#include "parser/decoder.h"

#include "common/limits.h"
#include "common/py_error.h"
#include "descriptor/message_handle.h"
#include "descriptor/instance.h"
#include "field_ops/error_path.h"
#include "field_ops/field_store.h"
#include "field_ops/new_instance.h"
#include "oneof/oneof.h"
#include "parser/decode_values.h"
#include "descriptor/field_access.h"
#include "parser/unknown_capture.h"

namespace velum::decoder {

namespace {

PyTypeObject* ClassOf(const MessageMarshaler& m) noexcept {
  return reinterpret_cast<PyTypeObject*>(m.message_class.get());
}

[[gnu::cold]] Status InvalidWireType(uint32_t wire_type) {
  return FormatError(ErrorKind::kValue, "invalid wire type: %u", static_cast<unsigned>(wire_type));
}

// Decoding into a new instance ("fresh") skips the default of every field the
// input sets: the instance starts with empty slots (lists and dicts aside),
// records store straight into them, and the defaults go into the slots still
// empty afterwards. That needs slot storage throughout and an instance that
// was allocated directly, with no Python __new__ in between.
bool CanDecodeFresh(const MessageMarshaler& m, PyTypeObject* cls) noexcept {
  if (cls == nullptr) cls = ClassOf(m);
  return m.slot_storage && cls != nullptr && cls->tp_new == NativeMessageType()->tp_new;
}

Status NewContainers(const MessageMarshaler& m, PyObject* instance) {
  for (const FieldAccess& access : m.list_fields) {
    PyObject* list = PyList_New(0);
    if (list == nullptr) [[unlikely]]
      return Status::Pending();
    *SlotAddress(instance, access.offset()) = list;
  }
  for (const FieldAccess& access : m.map_fields) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) [[unlikely]]
      return Status::Pending();
    *SlotAddress(instance, access.offset()) = dict;
  }
  return Status::Ok();
}

// Never fails, so a fresh instance is complete even after a failed decode.
void FillDefaults(const MessageMarshaler& m, PyObject* instance) noexcept {
  for (const DefaultEntry& entry : m.defaults) {
    PyObject** slot = SlotAddress(instance, entry.access.offset());
    if (*slot == nullptr) *slot = Py_NewRef(entry.value.get());
  }
}

Status AddClosedEnumRecord(PyObject* msg, uint32_t number, uint64_t raw) {
  return unknown::AddVarintRecord(msg, number, wire::MakeTag(number, kWireVarint), raw);
}

// The content of a message value whose tag has been read: the payload of a
// length-delimited record, or the body of a group up to its end tag.
Status ReadMessageContent(WireReader& reader, uint32_t number, uint32_t wire_type, WireReader& content) {
  if (wire_type == kWireStartGroup) return reader.ScanGroup(number, content);
  if (!reader.ReadLengthDelimited(content)) [[unlikely]]
    return reader.LastError();
  return Status::Ok();
}

template <bool kFresh>
Status DecodeFields(const MessageMarshaler& m, PyObject* msg, WireReader& reader, bool ignore_unknown,
                    uint32_t depth);

// A new instance of `m` (of `cls` when given, a subclass of m's class)
// holding the records of `content`.
Status DecodeNewInstance(const MessageMarshaler& m, WireReader& content, bool ignore_unknown, uint32_t depth,
                         Ref& out, PyTypeObject* cls = nullptr) {
  if (CanDecodeFresh(m, cls)) [[likely]] {
    VELUM_ASSIGN_OR_RETURN(out, NewBareInstance(m, cls));
    Status status = NewContainers(m, out.get());
    if (status.ok()) [[likely]]
      status = DecodeFields<true>(m, out.get(), content, ignore_unknown, depth);
    FillDefaults(m, out.get());
    return status;
  }
  VELUM_ASSIGN_OR_RETURN(out, NewDefaultInstance(m, cls));
  return DecodeFields<false>(m, out.get(), content, ignore_unknown, depth);
}

Status DecodeNewMessage(const ElementKind& element, WireReader& reader, uint32_t number, uint32_t wire_type,
                        bool ignore_unknown, uint32_t depth, Ref& out) {
  WireReader content;
  VELUM_TRY(ReadMessageContent(reader, number, wire_type, content));
  VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(element.handle));
  return DecodeNewInstance(*nested, content, ignore_unknown, depth + 1, out);
}

// A message that occurs again merges into the value already there.
template <bool kFresh>
Status DecodeSingularMessage(const FieldSpec& f, PyObject* msg, WireReader& reader, uint32_t wire_type,
                             bool ignore_unknown, uint32_t depth) {
  WireReader content;
  VELUM_TRY(ReadMessageContent(reader, f.number, wire_type, content));
  VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(f.kind.value.handle));
  // A fresh instance's slot not yet written means the same as None.
  Ref target;
  if (!kFresh || *SlotAddress(msg, f.access.offset()) != nullptr) {
    VELUM_ASSIGN_OR_RETURN(target, CurrentSubMessage(msg, f, *nested));
  }
  if (target) {
    VELUM_TRY(DecodeFields<false>(*nested, target.get(), content, ignore_unknown, depth + 1));
  } else {
    VELUM_TRY(DecodeNewInstance(*nested, content, ignore_unknown, depth + 1, target));
  }
  return StoreWithPresence(msg, f, std::move(target));
}

// A singular scalar outside a oneof, the most common record: read and stored
// without a detour. False with `error` set on failure.
bool IsPlainScalar(const FieldSpec& f) noexcept {
  return f.shape == FieldShape::kSingular && f.kind.value.tag == ElementTag::kScalar && !f.in_oneof();
}

template <bool kFresh>
[[gnu::always_inline]] inline bool DecodePlainScalar(const FieldSpec& f, PyObject* msg, WireReader& reader,
                                                     Status& error) {
  PyObject* value = nullptr;
  if (!ReadScalarObjectInline(f.kind.value.scalar, reader, value)) [[unlikely]] {
    error = reader.LastError();
    return false;
  }
  if (value == nullptr) [[unlikely]] {
    error = Status::Pending();
    return false;
  }
  if (kFresh || f.access.is_slot()) [[likely]] {
    PyObject** slot = SlotAddress(msg, f.access.offset());
    PyObject* old = *slot;
    *slot = value;
    if (old != nullptr) Py_DECREF(old);
  } else {
    error = WriteFieldSteal(msg, f.access, Ref::steal(value));
    if (!error.ok()) return false;
  }
  if (f.has_presence_bit) {
    PresenceBits& bits = AsNative(msg)->presence;
    if (!bits.Set(f.number)) [[unlikely]] {
      error = bits.FailureStatus(f.number);
      return false;
    }
  }
  return true;
}

template <bool kFresh>
Status DecodeSingular(const FieldSpec& f, PyObject* msg, WireReader& reader, uint32_t wire_type,
                      bool ignore_unknown, uint32_t depth) {
  Ref value;
  switch (f.kind.value.tag) {
    case ElementTag::kScalar:
      VELUM_TRY(ReadScalar(f.kind.value.scalar, reader, value));
      break;
    case ElementTag::kEnum: {
      uint64_t number = 0;
      VELUM_TRY(ReadEnum(*f.kind.value.table, reader, value, number));
      if (!value) return ignore_unknown ? Status::Ok() : AddClosedEnumRecord(msg, f.number, number);
      break;
    }
    case ElementTag::kMessage:
      return DecodeSingularMessage<kFresh>(f, msg, reader, wire_type, ignore_unknown, depth);
  }
  return StoreWithPresence(msg, f, std::move(value));
}

Status Append(PyObject* list, const Ref& value) {
  if (PyList_Append(list, value.get()) < 0) [[unlikely]]
    return Status::Pending();
  return Status::Ok();
}

Status AppendEnum(const FieldSpec& f, PyObject* msg, PyObject* list, WireReader& reader, bool ignore_unknown) {
  Ref value;
  uint64_t number = 0;
  VELUM_TRY(ReadEnum(*f.kind.value.table, reader, value, number));
  if (value) [[likely]]
    return Append(list, value);
  return ignore_unknown ? Status::Ok() : AddClosedEnumRecord(msg, f.number, number);
}

// Whether `list`, found in `f`'s slot, is empty and held by nothing but the
// slot and the decoder: packed values may then replace it with a list of their
// own instead of being copied into it, and no one can tell.
bool CanReplaceList(const FieldSpec& f, PyObject* list) noexcept {
  return f.access.is_slot() && PyList_CheckExact(list) && PyList_GET_SIZE(list) == 0 && Py_REFCNT(list) == 2;
}

// One record of a list field: one element, or packed elements.
Status DecodeListRecord(const FieldSpec& f, PyObject* msg, Ref& list, WireReader& reader, uint32_t wire_type,
                        bool ignore_unknown, uint32_t depth) {
  const ElementKind& element = f.kind.value;
  Ref value;
  if (wire_type == kWireLengthDelimited && f.packable) {
    WireReader packed;
    if (!reader.ReadLengthDelimited(packed)) [[unlikely]]
      return reader.LastError();
    if (element.tag == ElementTag::kEnum) {
      while (!packed.empty()) VELUM_TRY(AppendEnum(f, msg, list.get(), packed, ignore_unknown));
      return Status::Ok();
    }
    if (!CanReplaceList(f, list.get())) return AppendPacked(element.scalar, list.get(), packed);
    Ref values;
    Status status = ReadPacked(element.scalar, packed, values);
    if (values) {
      PyObject** slot = SlotAddress(msg, f.access.offset());
      PyObject* old = *slot;
      *slot = Py_NewRef(values.get());
      Py_DECREF(old);
      list = std::move(values);
    }
    return status;
  }
  switch (element.tag) {
    case ElementTag::kScalar:
      VELUM_TRY(ReadScalar(element.scalar, reader, value));
      break;
    case ElementTag::kEnum:
      return AppendEnum(f, msg, list.get(), reader, ignore_unknown);
    case ElementTag::kMessage:
      VELUM_TRY(DecodeNewMessage(element, reader, f.number, wire_type, ignore_unknown, depth, value));
      break;
  }
  return Append(list.get(), value);
}

// A list field's record and the ones of the same field right after it: the
// list is looked up once for the run.
Status DecodeList(const FieldSpec& f, PyObject* msg, WireReader& reader, uint32_t wire_type, bool ignore_unknown,
                  uint32_t depth) {
  VELUM_ASSIGN_OR_RETURN(Ref list, StoredList(msg, f));
  do {
    VELUM_TRY(DecodeListRecord(f, msg, list, reader, wire_type, ignore_unknown, depth));
  } while (reader.ConsumeTag(wire::MakeTag(f.number, wire_type)));
  return Status::Ok();
}

// One entry; `dict` is the field's dict, or null to look it up once the entry is read.
Status DecodeMapEntry(const FieldSpec& f, PyObject* msg, PyObject* dict, WireReader& reader, bool ignore_unknown,
                      uint32_t depth) {
  const uint8_t* data = nullptr;
  size_t size = 0;
  if (!reader.ReadLengthDelimited(data, size)) [[unlikely]]
    return reader.LastError();
  WireReader entry = reader.Slice(data, size);
  const ElementKind& value_kind = f.kind.value;
  Ref key;
  Ref value;
  bool dropped = false;
  while (!entry.empty() && !dropped) {
    uint32_t tag = 0;
    if (!entry.ReadTag(tag)) [[unlikely]]
      return entry.LastError();
    const uint32_t wire_type = wire::TagWireType(tag);
    const uint32_t number = wire::TagFieldNumber(tag);
    if (wire_type > kWireFixed32) [[unlikely]]
      return InvalidWireType(wire_type);
    if (tag == f.map_key_tag) {
      VELUM_TRY(ReadScalar(f.kind.map_key, entry, key));
    } else if (tag == f.map_value_tag) {
      switch (value_kind.tag) {
        case ElementTag::kScalar:
          VELUM_TRY(ReadScalar(value_kind.scalar, entry, value));
          break;
        case ElementTag::kEnum: {
          Ref member;
          uint64_t enum_number = 0;
          VELUM_TRY(ReadEnum(*value_kind.table, entry, member, enum_number));
          if (member) {
            value = std::move(member);
          } else {
            dropped = true;
          }
          break;
        }
        case ElementTag::kMessage:
          VELUM_TRY(DecodeNewMessage(value_kind, entry, 2, kWireLengthDelimited, ignore_unknown, depth, value));
          break;
      }
    } else if (number == 1 || number == 2) {
      dropped = true;
    } else {
      VELUM_TRY(entry.SkipField(number, wire_type, depth + 1));
    }
  }
  if (dropped) return ignore_unknown ? Status::Ok() : unknown::AddEntryRecord(msg, f.number, f.tag, data, size);
  if (!key) key = f.map_default_key.clone();
  if (!value) {
    if (value_kind.tag == ElementTag::kMessage) {
      value = Ref::steal(PyObject_CallNoArgs(value_kind.handle->cls.get()));
      if (!value) return Status::Pending();
    } else {
      value = f.map_default_value.clone();
    }
  }
  Ref looked_up;
  if (dict == nullptr) {
    VELUM_ASSIGN_OR_RETURN(looked_up, StoredDict(msg, f));
    dict = looked_up.get();
  }
  if (PyDict_SetItem(dict, key.get(), value.get()) < 0) return Status::Pending();
  return Status::Ok();
}

// A map entry and the entries of the same field right after it: the dict is
// looked up once for the run. A slot without a dict is looked at after each
// entry, as an entry's own faults and unknown records come first.
Status DecodeMap(const FieldSpec& f, PyObject* msg, WireReader& reader, bool ignore_unknown, uint32_t depth) {
  PyObject* dict = f.access.is_slot() ? *SlotAddress(msg, f.access.offset()) : nullptr;
  if (dict == nullptr || !PyDict_Check(dict)) [[unlikely]]
    return DecodeMapEntry(f, msg, nullptr, reader, ignore_unknown, depth);
  Ref dict_ref = Ref::borrow(dict);
  do {
    VELUM_TRY(DecodeMapEntry(f, msg, dict, reader, ignore_unknown, depth));
  } while (reader.ConsumeTag(f.tag));
  return Status::Ok();
}

// Whether a record of `wire_type` can be read into `f`: its declared wire type,
// or for a list either element form (one element, or packed data when the
// element is packable).
bool Accepts(const FieldSpec& f, uint32_t wire_type) noexcept {
  if (wire_type == f.wire_type) [[likely]]
    return true;
  return f.shape == FieldShape::kList &&
         (wire_type == f.element_wire_type || (wire_type == kWireLengthDelimited && f.packable));
}

template <bool kFresh>
Status DecodeField(const FieldSpec& f, PyObject* msg, WireReader& reader, uint32_t wire_type, bool ignore_unknown,
                   uint32_t depth) {
  switch (f.shape) {
    case FieldShape::kSingular:
      return DecodeSingular<kFresh>(f, msg, reader, wire_type, ignore_unknown, depth);
    case FieldShape::kList:
      return DecodeList(f, msg, reader, wire_type, ignore_unknown, depth);
    case FieldShape::kMap:
      return DecodeMap(f, msg, reader, ignore_unknown, depth);
  }
  return Status::Ok();
}

template <bool kFresh>
Status DecodeFields(const MessageMarshaler& m, PyObject* msg, WireReader& reader, bool ignore_unknown,
                    uint32_t depth) {
  if (depth > kMaxDepth) [[unlikely]]
    return DepthError("parsing");
  // Records usually come in field order, so the field after the last one
  // decoded is tried before the index: its whole tag (number and declared
  // wire type) in one comparison.
  const FieldSpec* const end = m.fields.data() + m.fields.size();
  const FieldSpec* expected = m.fields.data();
  Status error;
  while (!reader.empty()) {
    const uint8_t* start = reader.cursor();
    uint32_t tag = 0;
    if (!reader.ReadTag(tag)) [[unlikely]]
      return reader.LastError();
    const uint32_t wire_type = wire::TagWireType(tag);
    const FieldSpec* f = expected;
    if (f == end || tag != f->tag || f->shadowed) {
      if (tag < 8) [[unlikely]]
        return Status(ErrorKind::kValue, "invalid field number: 0");
      if (wire_type > kWireFixed32) [[unlikely]]
        return InvalidWireType(wire_type);
      const uint32_t number = wire::TagFieldNumber(tag);
      f = m.index.Find(number);
      if (f == nullptr || !Accepts(*f, wire_type)) [[unlikely]] {
        VELUM_TRY(reader.SkipField(number, wire_type, depth + 1));
        if (!ignore_unknown) {
          VELUM_TRY(unknown::AddRawRecord(msg, number, start, static_cast<size_t>(reader.cursor() - start)));
        }
        continue;
      }
    }
    if (IsPlainScalar(*f)) [[likely]] {
      if (!DecodePlainScalar<kFresh>(*f, msg, reader, error)) [[unlikely]]
        return error;
    } else {
      Status status = DecodeField<kFresh>(*f, msg, reader, wire_type, ignore_unknown, depth);
      // The note names the message fields an error happened inside of.
      if (!status.ok()) [[unlikely]]
        return f->kind.value.tag == ElementTag::kMessage ? AtField(std::move(status), *f) : std::move(status);
    }
    expected = f + 1;
  }
  return Status::Ok();
}

}  // namespace

Result<Ref> DecodeNew(const MessageMarshaler& m, WireReader& reader, bool ignore_unknown, PyTypeObject* cls) {
  Ref msg;
  VELUM_TRY(DecodeNewInstance(m, reader, ignore_unknown, 0, msg, cls));
  return msg;
}

Status DecodeMessage(const MessageMarshaler& m, PyObject* msg, WireReader& reader, bool ignore_unknown,
                     uint32_t depth) {
  return DecodeFields<false>(m, msg, reader, ignore_unknown, depth);
}

}  // namespace velum::decoder
