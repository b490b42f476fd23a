#include "wkt_registry/packed_json_read.h"

#include "common/limits.h"
#include "common/py_error.h"
#include "common/string_map.h"
#include "field_ops/field_default.h"
#include "json_parse/field_context.h"
#include "json_parse/json_text_source.h"
#include "json_parse/json_tree_source.h"
#include "json_parse/scalar_read.h"
#include "reverse_buffer/encoder.h"
#include "wkt_registry/packed_fields.h"

namespace velum::wkt {

namespace {

using json::JsonKind;
using json::MemberName;

template <class Source>
class PackedJsonReader {
 public:
  PackedJsonReader(const MessageMarshaler& m, Source& source, const JsonReadOptions& options)
      : m_(m), source_(source), options_(options), fields_(m.fields.size(), nullptr, false) {}

  Status Read(bool& diverted) {
    JsonKind kind;
    VELUM_TRY(source_.Peek(kind));
    if (kind != JsonKind::kObject) {
      diverted = true;
      return Status();
    }
    size_t next = 0;
    Status read = source_.ForEachMember([&](const MemberName& name) { return Member(name, next, diverted); });
    // A diversion ends the walk with a placeholder failure, dropped here.
    return diverted ? Status() : std::move(read);
  }

  // The fields in the order the encoder writes them, each as the encoder
  // selects it from an instance holding what was read.
  Result<Ref> Encode() {
    uint8_t first_block[512];
    ReverseBuffer buf(first_block, sizeof first_block);
    for (size_t i = m_.fields.size(); i-- > 0;) {
      PyObject* value = fields_.get(i);
      if (value == nullptr) continue;
      const FieldSpec& f = m_.fields[i];
      if (f.shape == FieldShape::kSingular && f.presence == Presence::kImplicit) {
        const int set = HoldsNonDefault(f, value);
        if (set < 0) return Status::Pending();
        if (set == 0) continue;
      }
      Status status = encoder::EncodeFieldValue(f, value, buf, 1, true);
      if (!status.ok()) [[unlikely]]
        return WithPathNote(std::move(status), "encoding", m_.full_name.get());
    }
    if (!buf.ok()) return Status(ErrorKind::kMemory, "out of memory while serializing message");
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf.data()),
                                                static_cast<Py_ssize_t>(buf.ContentLength()));
    if (bytes == nullptr) return Status::Pending();
    return Ref::steal(bytes);
  }

 private:
  static bool Same(const JsonMemberKey& key, const MemberName& name) noexcept {
    return name.object == key.str || name.text == key.text;
  }

  // The field a member names, found as the instance road finds it.
  const FieldSpec* Find(const MemberName& name, size_t next) const noexcept {
    if (next < m_.json_members.size()) {
      const JsonMemberNames& guess = m_.json_members[next];
      if (Same(guess.json, name)) return guess.json.field;
      if (Same(guess.proto, name)) return guess.proto.field;
    }
    if (const uint32_t* number = FindIn(m_.json_keys, name.text)) return m_.index.Find(*number);
    return nullptr;
  }

  Status Member(const MemberName& name, size_t& next, bool& diverted) {
    const FieldSpec* f = Find(name, next);
    if (f != nullptr) [[likely]] {
      next = static_cast<size_t>(f - m_.fields.data()) + 1;
      return Field(*f, static_cast<size_t>(f - m_.fields.data()));
    }
    if (name.text.size() >= 2 && name.text.front() == '[' && name.text.back() == ']' &&
        options_.registry != nullptr) {
      // It may name an extension of this type, which only an instance holds.
      diverted = true;
      return Status(ErrorKind::kRuntime, "diverted");
    }
    if (options_.ignore_unknown_fields) return source_.SkipValue();
    VELUM_ASSIGN_OR_RETURN(Ref key, json::MemberNameObject(name));
    return FormatError(ErrorKind::kValue, "cannot decode %U from JSON: key: '%U' is unknown", m_.full_name.get(),
                       key.get());
  }

  // What a null stores: the field's own default for implicit presence
  // (which the encoder then leaves out), nothing for explicit presence.
  void Reset(const FieldSpec& f, size_t i) {
    PyObject* value = nullptr;
    if (!f.has_presence_bit) {
      for (const DefaultEntry& entry : m_.defaults) {
        if (entry.access.is_slot() && entry.access.offset() == f.access.offset()) {
          value = Py_NewRef(entry.value.get());
          break;
        }
      }
    }
    fields_.Set(i, value);
  }

  Status Field(const FieldSpec& f, size_t i) {
    const json::FieldContext context{m_.full_name.get(), f.name.get()};
    JsonKind kind;
    VELUM_TRY(source_.Peek(kind));
    if (f.shape == FieldShape::kList) return List(f, i, kind, context);
    if (f.kind.kind == ValueKind::kEnum) {
      const EnumTable& table = *f.kind.value.table;
      if (kind == JsonKind::kNull && !table.is_null_value) {
        VELUM_TRY(source_.ReadNull());
        Reset(f, i);
        return Status();
      }
      Ref value;
      VELUM_TRY(json::ReadEnum(source_, table, options_.ignore_unknown_fields, value));
      if (value) fields_.Set(i, value.release());
      return Status();
    }
    if (kind == JsonKind::kNull) {
      VELUM_TRY(source_.ReadNull());
      Reset(f, i);
      return Status();
    }
    Ref value;
    VELUM_TRY(context.Attach(json::ReadScalar(source_, f.kind.value.scalar, kind, value)));
    fields_.Set(i, value.release());
    return Status();
  }

  // A list named again starts over, as the instance road resets it.
  Status List(const FieldSpec& f, size_t i, JsonKind kind, const json::FieldContext& context) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return Status::Pending();
    fields_.Set(i, Py_NewRef(list.get()));
    if (kind == JsonKind::kNull) return source_.ReadNull();
    if (kind != JsonKind::kArray) {
      Ref value;
      VELUM_TRY(source_.TakeValue(value));
      return context.Attach(FormatError(ErrorKind::kType, "expected list got %S",
                                        reinterpret_cast<PyObject*>(Py_TYPE(value.get()))));
    }
    const ElementKind& element = f.kind.value;
    return source_.ForEachElement([&]() -> Status {
      JsonKind item_kind;
      VELUM_TRY(source_.Peek(item_kind));
      Ref item;
      if (element.tag == ElementTag::kEnum) {
        if (item_kind == JsonKind::kNull && !element.table->is_null_value) return NullItem(context);
        VELUM_TRY(json::ReadEnum(source_, *element.table, options_.ignore_unknown_fields, item));
        if (!item) return Status();
      } else {
        if (item_kind == JsonKind::kNull) return NullItem(context);
        VELUM_TRY(context.Attach(json::ReadScalar(source_, element.scalar, item_kind, item)));
      }
      return PyList_Append(list.get(), item.get()) == 0 ? Status() : Status::Pending();
    });
  }

  static Status NullItem(const json::FieldContext& context) {
    return context.Attach(Status(ErrorKind::kValue, "unexpected null value for list item"));
  }

  const MessageMarshaler& m_;
  Source& source_;
  const JsonReadOptions& options_;
  PackedFields fields_;
};

Status DepthError() {
  return FormatError(ErrorKind::kRecursion, "exceeded maximum recursion depth %u while parsing message",
                     static_cast<unsigned>(kMaxDepth));
}

}  // namespace

template <class Source>
Result<Ref> ReadPackedJson(const MessageMarshaler& m, Source& source, const JsonReadOptions& options, uint32_t depth,
                           bool& diverted) {
  diverted = false;
  if (depth > kMaxDepth) [[unlikely]]
    return DepthError();
  PackedJsonReader<Source> reader(m, source, options);
  VELUM_TRY(reader.Read(diverted));
  if (diverted) return Ref();
  return reader.Encode();
}

template Result<Ref> ReadPackedJson<json::JsonTextSource>(const MessageMarshaler&, json::JsonTextSource&,
                                                          const JsonReadOptions&, uint32_t, bool&);
template Result<Ref> ReadPackedJson<json::JsonTreeSource>(const MessageMarshaler&, json::JsonTreeSource&,
                                                          const JsonReadOptions&, uint32_t, bool&);

}  // namespace velum::wkt
