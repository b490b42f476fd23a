#include "wkt_registry/packed_json_read.h"

#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

#include "common/limits.h"
#include "common/py_error.h"
#include "common/string_map.h"
#include "common/text_equal.h"
#include "common/wire.h"
#include "field_ops/field_default.h"
#include "json_parse/field_context.h"
#include "json_parse/json_text_source.h"
#include "json_parse/json_tree_source.h"
#include "json_parse/number_list_read.h"
#include "json_parse/scalar_read.h"
#include "json_parse/type_first_scan.h"
#include "reverse_buffer/scalar_writer.h"
#include "wkt_registry/packed_fields.h"
#include "wkt_registry/type_registry.h"

namespace velum::wkt {

namespace {

using json::JsonKind;
using json::MemberName;

// The records of each field, encoded as they are read: a field's records
// are contiguous in one arena (a member's value is read whole before the
// next member), and a later mention of the field starts them anew. The
// arena starts on the C stack; a payload beyond it moves to the heap.
class FieldRecords {
 public:
  static constexpr size_t kMaxFields = PackedFields::kMaxFields;

  explicit FieldRecords(size_t count) noexcept : count_(count < kMaxFields ? count : kMaxFields) {
    for (size_t i = 0; i < count_; ++i) segments_[i] = {0, 0};
  }
  FieldRecords(const FieldRecords&) = delete;
  FieldRecords& operator=(const FieldRecords&) = delete;
  ~FieldRecords() {
    if (data_ != inline_) PyMem_RawFree(data_);
  }

  // Field i's records start over, empty.
  void Begin(size_t i) noexcept { segments_[i] = {size_, 0}; }
  // Room for `size` more bytes at cursor(); false when memory ran out.
  [[nodiscard]] bool Reserve(size_t size) noexcept {
    if (capacity_ - size_ >= size) [[likely]]
      return true;
    size_t capacity = capacity_ * 2;
    while (capacity - size_ < size) capacity *= 2;
    auto* grown = static_cast<uint8_t*>(PyMem_RawMalloc(capacity));
    if (grown == nullptr) return false;
    std::memcpy(grown, data_, size_);
    if (data_ != inline_) PyMem_RawFree(data_);
    data_ = grown;
    capacity_ = capacity;
    return true;
  }
  uint8_t* cursor() noexcept { return data_ + size_; }
  // The bytes written at cursor() (within what was reserved) join field i's.
  void Commit(size_t i, size_t size) noexcept {
    size_ += size;
    segments_[i].size += size;
  }
  [[nodiscard]] bool Append(size_t i, const void* data, size_t size) noexcept {
    if (!Reserve(size)) return false;
    std::memcpy(cursor(), data, size);
    Commit(i, size);
    return true;
  }
  std::string_view records(size_t i) const noexcept {
    return std::string_view(reinterpret_cast<const char*>(data_) + segments_[i].start, segments_[i].size);
  }

 private:
  // Left unset beyond the type's own fields, which alone are read: the
  // array is sized for the largest type this road takes, most are small.
  struct Segment {
    size_t start;
    size_t size;
  };
  size_t count_;
  Segment segments_[kMaxFields];
  uint8_t inline_[256];
  uint8_t* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = sizeof inline_;
};

Status NoMemory() { return Status(ErrorKind::kMemory, "out of memory"); }

// Writes the wire form of `bits` (see encoder::ConvertNumber) at `out`, forward.
template <ScalarType T>
size_t PutBits(uint8_t* out, uint64_t bits) noexcept {
  using encoder::Encoding;
  if constexpr (encoder::EncodingOf<T>() == Encoding::kVarint) {
    return wire::EncodeVarint(bits, out);
  } else {
    constexpr size_t width = encoder::EncodingOf<T>() == Encoding::kFixed64 ? 8 : 4;
    for (size_t k = 0; k < width; ++k) out[k] = static_cast<uint8_t>(bits >> (8 * k));
    return width;
  }
}

// Hands the object to the instance road, which then meets whatever made the
// short road give up, and reports it in its own words. The placeholder
// failure ends the walk and is dropped by the caller.
Status Divert(bool& diverted) {
  if (PyErr_Occurred()) PyErr_Clear();
  diverted = true;
  return Status(ErrorKind::kRuntime, "diverted");
}

// A list field goes out as one packed record when the encoder would pack it.
bool Packs(const FieldSpec& f) noexcept { return f.kind.packed && f.packable; }

template <class Source>
class PackedJsonReader {
 public:
  // `checked`: the object was not scanned first, so whatever could read
  // differently from the object taken whole diverts (see ReadTypeFirstAny).
  PackedJsonReader(const MessageMarshaler& m, Source& source, const JsonReadOptions& options, bool checked = false)
      : m_(m), source_(source), options_(options), records_(m.fields.size()), checked_(checked) {}

  Status Read(bool& diverted) {
    JsonKind kind{};
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

  // One member of the object, whose iteration the caller drives; `named`
  // holds a bit per field already named. A field named again (by either of
  // its names) diverts: the object taken whole keeps a repeated name's last
  // value in the place of its first, which reading as it goes would not.
  Status ReadMemberOnce(const MemberName& name, size_t& next, uint64_t& named, bool& diverted) {
    const FieldSpec* f = Find(name, next);
    if (f == nullptr) return Member(name, next, diverted);  // refused or diverted there
    const auto i = static_cast<size_t>(f - m_.fields.data());
    static_assert(PackedFields::kMaxFields <= 64);
    const uint64_t bit = uint64_t{1} << i;
    if ((named & bit) != 0) return Divert(diverted);
    named |= bit;
    next = i + 1;
    return Field(*f, i, diverted);
  }

  // The records in field-table order, the order the encoder writes them.
  Result<Ref> Encode() const {
    const size_t count = m_.fields.size();
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
      const size_t size = records_.records(i).size();
      if (size != 0 && IsPackedList(m_.fields[i])) {
        total += wire::VarintSize(m_.fields[i].tag) + wire::VarintSize(size);
      }
      total += size;
    }
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!bytes) return Status::Pending();
    auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    for (size_t i = 0; i < count; ++i) {
      const std::string_view records = records_.records(i);
      if (records.empty()) continue;
      if (IsPackedList(m_.fields[i])) {
        out += wire::EncodeVarint(m_.fields[i].tag, out);
        out += wire::EncodeVarint(records.size(), out);
      }
      std::memcpy(out, records.data(), records.size());
      out += records.size();
    }
    return bytes;
  }

 private:
  static bool IsPackedList(const FieldSpec& f) noexcept { return f.shape == FieldShape::kList && Packs(f); }

  static bool Same(const JsonMemberKey& key, const MemberName& name) noexcept {
    return name.object == key.str || EqualText(name.text, key.text);
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
      const auto i = static_cast<size_t>(f - m_.fields.data());
      next = i + 1;
      return Field(*f, i, diverted);
    }
    if (name.text.size() >= 2 && name.text.front() == '[' && name.text.back() == ']' &&
        options_.registry != nullptr) {
      // It may name an extension of this type, which only an instance holds.
      return Divert(diverted);
    }
    if (options_.ignore_unknown_fields) return checked_ ? Divert(diverted) : source_.SkipValue();
    VELUM_ASSIGN_OR_RETURN(Ref key, json::MemberNameObject(name));
    return FormatError(ErrorKind::kValue, "cannot decode %U from JSON: key: '%U' is unknown", m_.full_name.get(),
                       key.get());
  }

  // Field i's records become those of `value`, as the encoder selects and
  // writes a singular field holding it.
  Status Singular(const FieldSpec& f, size_t i, PyObject* value, bool& diverted) {
    records_.Begin(i);
    const ElementKind& kind = f.kind.value;
    if (kind.tag == ElementTag::kScalar && kind.scalar != ScalarType::kString && kind.scalar != ScalarType::kBytes) {
      const encoder::Fast fast = WithScalarType(kind.scalar, [&]<ScalarType T>() {
        if constexpr (encoder::EncodingOf<T>() == encoder::Encoding::kDelimited) {
          return encoder::Fast::kSlow;
        } else {
          return f.presence == Presence::kImplicit ? PutNumber<T, true>(i, f.tag, value)
                                                   : PutNumber<T, false>(i, f.tag, value);
        }
      });
      if (fast != encoder::Fast::kSlow) return Status();
    }
    if (f.presence == Presence::kImplicit) {
      const int set = HoldsNonDefault(f, value);
      if (set < 0) return Status::Pending();
      if (set == 0) return Status();
    }
    if (kind.tag == ElementTag::kEnum && PutEnum(i, f.tag, *kind.table, value) != encoder::Fast::kSlow) {
      return Status();
    }
    uint8_t block[64];
    ReverseBuffer buf(block, sizeof block);
    if (!WriteValue(kind, value, buf).ok() || !buf.ok()) return Divert(diverted);
    buf.PutVarint(f.tag);
    return AppendReversed(i, buf);
  }

  // The inline road of a number: its tag and wire form written forward, or
  // kSlow (nothing written) for what the encoder's general path decides.
  template <ScalarType T, bool kSkipDefault>
  encoder::Fast PutNumber(size_t i, uint32_t tag, PyObject* value) {
    uint64_t bits = 0;
    const encoder::Fast fast = encoder::ConvertNumber<T, kSkipDefault>(value, &bits);
    if (fast != encoder::Fast::kWritten) return fast;
    if (!records_.Reserve(2 * wire::kMaxVarintBytes)) return encoder::Fast::kSlow;
    uint8_t* out = records_.cursor();
    size_t size = tag != 0 ? wire::EncodeVarint(tag, out) : 0;
    size += PutBits<T>(out + size, bits);
    records_.Commit(i, size);
    return fast;
  }

  // The 64-bit integer types, whose wire value is the value's own 64 bits.
  static bool IsWholeBits(ScalarType type) noexcept {
    return type == ScalarType::kInt64 || type == ScalarType::kUint64 || type == ScalarType::kSfixed64 ||
           type == ScalarType::kFixed64;
  }

  // Field i's record for such a value, as Singular writes it.
  Status PutWholeBits(const FieldSpec& f, size_t i, uint64_t bits) {
    records_.Begin(i);
    if (bits == 0 && f.presence == Presence::kImplicit) return Status();
    if (!records_.Reserve(2 * wire::kMaxVarintBytes)) return NoMemory();
    uint8_t* out = records_.cursor();
    size_t size = wire::EncodeVarint(f.tag, out);
    const bool fixed = f.kind.value.scalar == ScalarType::kSfixed64 || f.kind.value.scalar == ScalarType::kFixed64;
    size += fixed ? PutBits<ScalarType::kFixed64>(out + size, bits) : PutBits<ScalarType::kUint64>(out + size, bits);
    records_.Commit(i, size);
    return Status();
  }

  // As PutNumber for an enum's number, as encoder::TryWriteEnum takes it.
  encoder::Fast PutEnum(size_t i, uint32_t tag, const EnumTable& table, PyObject* value) {
    long long number = 0;
    if (!PyLong_Check(value) || !CompactValue(value, &number)) return encoder::Fast::kSlow;
    if (!table.open && table.Member(static_cast<int32_t>(number)) == nullptr) return encoder::Fast::kSlow;
    if (!records_.Reserve(2 * wire::kMaxVarintBytes)) return encoder::Fast::kSlow;
    uint8_t* out = records_.cursor();
    size_t size = tag != 0 ? wire::EncodeVarint(tag, out) : 0;
    size += wire::EncodeVarint(wire::SignExtend(number), out + size);
    records_.Commit(i, size);
    return encoder::Fast::kWritten;
  }

  // A list element by the inline roads; kSlow when the encoder's own routines must write it.
  encoder::Fast PutElement(size_t i, uint32_t tag, const ElementKind& kind, PyObject* value) {
    if (kind.tag == ElementTag::kEnum) return PutEnum(i, tag, *kind.table, value);
    return WithScalarType(kind.scalar, [&]<ScalarType T>() {
      if constexpr (encoder::EncodingOf<T>() == encoder::Encoding::kDelimited) {
        return encoder::Fast::kSlow;
      } else {
        return PutNumber<T, false>(i, tag, value);
      }
    });
  }

  Status AppendReversed(size_t i, const ReverseBuffer& buf) {
    return records_.Append(i, buf.data(), static_cast<size_t>(buf.ContentLength())) ? Status() : NoMemory();
  }

  // A string's text as its record: the tag (none inside a packed run), the length, the bytes.
  Status AppendText(size_t i, uint32_t tag, std::string_view text) {
    if (!records_.Reserve(2 * wire::kMaxVarintBytes + text.size())) return NoMemory();
    uint8_t* out = records_.cursor();
    size_t size = wire::EncodeVarint(tag, out);
    size += wire::EncodeVarint(text.size(), out + size);
    std::memcpy(out + size, text.data(), text.size());
    records_.Commit(i, size + text.size());
    return Status();
  }

  // One value without its tag, by the encoder's own routines.
  static Status WriteValue(const ElementKind& kind, PyObject* value, ReverseBuffer& buf) {
    if (kind.tag == ElementTag::kEnum) {
      if (encoder::TryWriteEnum(buf, *kind.table, value) != encoder::Fast::kSlow) return Status();
      return encoder::WriteEnum(buf, *kind.table, value);
    }
    return WithScalarType(kind.scalar, [&]<ScalarType T>() -> Status {
      if (encoder::TryWrite<T, false>(buf, value) != encoder::Fast::kSlow) return Status();
      return encoder::WriteScalar(buf, T, value);
    });
  }

  // What a null stores: the field's own default for implicit presence
  // (which the encoder then leaves out), nothing for explicit presence.
  [[gnu::noinline]] Status Reset(const FieldSpec& f, size_t i, bool& diverted) {
    if (!f.has_presence_bit) {
      for (const DefaultEntry& entry : m_.defaults) {
        if (entry.access.is_slot() && entry.access.offset() == f.access.offset()) {
          return Singular(f, i, entry.value.get(), diverted);
        }
      }
    }
    records_.Begin(i);
    return Status();
  }

  Status Field(const FieldSpec& f, size_t i, bool& diverted) {
    const json::FieldContext context{m_.full_name.get(), f.name.get()};
    JsonKind kind{};
    VELUM_TRY(source_.Peek(kind));
    if (!ReadsAlike(kind)) return Divert(diverted);
    if (f.shape == FieldShape::kList) return List(f, i, kind, context, diverted);
    if (f.kind.kind == ValueKind::kEnum) {
      const EnumTable& table = *f.kind.value.table;
      if (kind == JsonKind::kNull && !table.is_null_value) {
        VELUM_TRY(source_.ReadNull());
        return Reset(f, i, diverted);
      }
      Ref value;
      VELUM_TRY(json::ReadEnum(source_, table, options_.ignore_unknown_fields, value));
      return value ? Singular(f, i, value.get(), diverted) : Status();
    }
    if (kind == JsonKind::kNull) {
      VELUM_TRY(source_.ReadNull());
      return Reset(f, i, diverted);
    }
    if constexpr (std::is_same_v<Source, json::JsonTextSource>) {
      if (kind == JsonKind::kString && f.kind.value.scalar == ScalarType::kString) {
        // The text is valid UTF-8 (no lone surrogate passes the tokenizer), so
        // it is exactly what a str made of it encodes to.
        std::string_view text;
        VELUM_TRY(source_.ReadText(text));
        records_.Begin(i);
        if (text.empty() && f.presence == Presence::kImplicit) return Status();
        return AppendText(i, f.tag, text);
      }
      // A number in its common form (ids mostly, in quotes) is made in one
      // step, a 64-bit integer's straight into its record; the rest, and
      // every refusal, take the general read.
      if (IsWholeBits(f.kind.value.scalar)) {
        uint64_t bits = 0;
        if (json::ReadQuickIntegerBits(source_, f.kind.value.scalar, &bits)) return PutWholeBits(f, i, bits);
      } else if (json::IsQuickNumberType(f.kind.value.scalar)) {
        Ref value;
        Status made;
        if (json::ReadQuickNumber(source_, f.kind.value.scalar, value, made)) {
          VELUM_TRY(std::move(made));
          return Singular(f, i, value.get(), diverted);
        }
      }
    }
    Ref value;
    VELUM_TRY(context.Attach(json::ReadScalar(source_, f.kind.value.scalar, kind, value)));
    return Singular(f, i, value.get(), diverted);
  }

  // A list named again starts over, as the instance road resets it.
  Status List(const FieldSpec& f, size_t i, JsonKind kind, const json::FieldContext& context, bool& diverted) {
    records_.Begin(i);
    if (kind == JsonKind::kNull) return source_.ReadNull();
    if (kind != JsonKind::kArray) {
      Ref value;
      VELUM_TRY(source_.TakeValue(value));
      return context.Attach(FormatError(ErrorKind::kType, "expected list got %S",
                                        reinterpret_cast<PyObject*>(Py_TYPE(value.get()))));
    }
    const ElementKind& element = f.kind.value;
    const bool packs = Packs(f);
    // Elements that cannot be packed carry their own tag, as the encoder writes them.
    const uint32_t tag = f.kind.packed ? (f.number << 3) | f.element_wire_type : f.tag;
    return source_.ForEachElement([&]() -> Status {
      JsonKind item_kind{};
      VELUM_TRY(source_.Peek(item_kind));
      if (!ReadsAlike(item_kind)) return Divert(diverted);
      Ref item;
      if (element.tag == ElementTag::kEnum) {
        if (item_kind == JsonKind::kNull && !element.table->is_null_value) return NullItem(context);
        VELUM_TRY(json::ReadEnum(source_, *element.table, options_.ignore_unknown_fields, item));
        if (!item) return Status();
      } else {
        if (item_kind == JsonKind::kNull) return NullItem(context);
        if constexpr (std::is_same_v<Source, json::JsonTextSource>) {
          if (item_kind == JsonKind::kString && element.scalar == ScalarType::kString) {
            std::string_view text;
            VELUM_TRY(source_.ReadText(text));
            return AppendText(i, tag, text);
          }
        }
        VELUM_TRY(context.Attach(json::ReadScalar(source_, element.scalar, item_kind, item)));
      }
      if (PutElement(i, packs ? 0 : tag, element, item.get()) != encoder::Fast::kSlow) return Status();
      uint8_t block[64];
      ReverseBuffer buf(block, sizeof block);
      if (!WriteValue(element, item.get(), buf).ok() || !buf.ok()) return Divert(diverted);
      if (!packs) buf.PutVarint(tag);
      return AppendReversed(i, buf);
    });
  }

  // Unchecked, or not a number a tree would hold differently.
  bool ReadsAlike(JsonKind kind) const noexcept {
    if constexpr (std::is_same_v<Source, json::JsonTextSource>) {
      if (checked_ && kind == JsonKind::kNumber) return json::NumberReadsAlike(source_.Ahead());
    }
    return true;
  }

  static Status NullItem(const json::FieldContext& context) {
    return context.Attach(Status(ErrorKind::kValue, "unexpected null value for list item"));
  }

  const MessageMarshaler& m_;
  Source& source_;
  const JsonReadOptions& options_;
  FieldRecords records_;
  bool checked_;
};

}  // namespace

template <class Source>
Result<Ref> ReadPackedJson(const MessageMarshaler& m, Source& source, const JsonReadOptions& options, uint32_t depth,
                           bool& diverted) {
  diverted = false;
  if (depth > kMaxDepth) [[unlikely]]
    return DepthError("parsing");
  PackedJsonReader<Source> reader(m, source, options);
  VELUM_TRY(reader.Read(diverted));
  if (diverted) return Ref();
  return reader.Encode();
}

Result<Ref> ReadTypeFirstAny(const MessageMarshaler& any, json::JsonTextSource& source,
                             const JsonReadOptions& options, uint32_t depth, Ref& packed_object, bool& diverted) {
  using Reader = PackedJsonReader<json::JsonTextSource>;
  diverted = false;
  // Only velum's own Registry, once the call has recognised it: its lookups
  // run no Python code, so asking again after a diversion is unobservable,
  // while any other registry is asked exactly once per Any.
  const PackedTypes& types = options.packed_types;
  if (options.registry == nullptr || !types.registry_checked() || types.own_map() == nullptr ||
      depth + 1 > kMaxDepth) {
    diverted = true;
    return Ref();
  }
  JsonKind kind{};
  if (!source.Peek(kind).ok() || kind != JsonKind::kObject) {
    (void)Divert(diverted);
    return Ref();
  }
  // Made once "@type" has named a plain type, in storage of its own: an
  // empty std::optional of it would have its whole storage zeroed on every call.
  struct Slot {
    alignas(Reader) unsigned char bytes[sizeof(Reader)];
    Reader* made = nullptr;
    ~Slot() {
      if (made != nullptr) made->~Reader();
    }
  } slot;
  Reader*& reader = slot.made;
  const MessageMarshaler* packed = nullptr;
  uint64_t named = 0;  // the fields named so far, by position
  size_t next = 0;
  // The name expected next is matched in place, as the message reader
  // matches it: "@type" first, then the field after the last one read.
  auto guess = [&]() -> json::MemberGuess {
    if (packed == nullptr) return {{}, std::string_view("\"@type\":", 8)};
    if (next >= packed->json_members.size()) return {};
    const RawString& key = packed->fields[next].json_key;
    if (!key.empty()) return {{}, std::string_view(key).substr(1)};
    return {packed->json_members[next].json.text, {}};
  };
  Status read = source.ForEachMemberGuessing(guess, [&](const MemberName& name, bool matched) -> Status {
    // Past "@type" every member that reads on names a field (anything else
    // is refused or diverts), so a repeated name is a field named again.
    if (reader) {
      Status member = reader->ReadMemberOnce(name, next, named, diverted);
      return member.ok() ? std::move(member) : Divert(diverted);
    }
    // Matched in place, the name is "@type" (the guess before any field).
    if (!matched && name.text != "@type") return Divert(diverted);
    // The URL of the type last resolved is matched in place first: a batch
    // mostly packs one type.
    const std::string_view recalled = options.packed_types.RecalledPlainUrl();
    if (!recalled.empty()) {
      packed_object = options.packed_types.RecallLast();
      if (packed_object && !source.tokenizer().MatchPlainString(recalled)) packed_object.reset();
    }
    std::string_view url;
    if (!packed_object) {
      JsonKind url_kind{};
      if (!source.Peek(url_kind).ok() || url_kind != JsonKind::kString || !source.ReadText(url).ok()) {
        return Divert(diverted);
      }
      packed_object = options.packed_types.Recall(url);
    }
    if (!packed_object) {
      const std::string_view type_name = TypeNameOfUrl(url);
      Result<Ref> resolved = ResolveType(*any.names, options.registry, type_name, options.packed_types);
      if (!resolved.ok() || !resolved.value()) return Divert(diverted);
      packed_object = std::move(resolved).value();
      options.packed_types.Remember(url, type_name);
    }
    if (!options.packed_types.ReadsDirectly(packed_object.get())) return Divert(diverted);
    const MessageMarshaler& type = *AsMarshaler(packed_object.get());
    reader = new (slot.bytes) Reader(type, source, options, true);
    packed = &type;
    return Status();
  });
  Result<Ref> bytes = Ref();
  if (diverted || !read.ok() || !reader) {
    (void)Divert(diverted);
  } else {
    bytes = reader->Encode();
  }
  if (diverted) return Ref();
  return bytes;
}

template Result<Ref> ReadPackedJson<json::JsonTextSource>(const MessageMarshaler&, json::JsonTextSource&,
                                                          const JsonReadOptions&, uint32_t, bool&);
template Result<Ref> ReadPackedJson<json::JsonTreeSource>(const MessageMarshaler&, json::JsonTreeSource&,
                                                          const JsonReadOptions&, uint32_t, bool&);

}  // namespace velum::wkt
