#include "wkt_registry/wkt_json_read.h"

#include <cmath>
#include <type_traits>

#include "common/kept_floats.h"
#include "common/limits.h"
#include "common/py_error.h"
#include "descriptor/field_access.h"
#include "descriptor/message_handle.h"
#include "field_ops/field_store.h"
#include "field_ops/new_instance.h"
#include "json_parse/json_text_source.h"
#include "json_parse/json_tree_source.h"
#include "json_parse/number_list_read.h"
#include "json_parse/scalar_read.h"
#include "oneof/oneof.h"
#include "reverse_buffer/encoder.h"
#include "wkt_registry/container_elements.h"
#include "wkt_registry/duration_text.h"
#include "wkt_registry/field_mask_path.h"
#include "wkt_registry/packed_fields.h"
#include "wkt_registry/packed_json_read.h"
#include "wkt_registry/text_error.h"
#include "wkt_registry/timestamp_text.h"
#include "wkt_registry/type_registry.h"
#include "wkt_registry/unicode_case.h"
#include "wkt_registry/wkt_record.h"

namespace velum::wkt {

namespace {

using json::JsonKind;

std::string_view Utf8Of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  return data == nullptr ? std::string_view() : std::string_view(data, static_cast<size_t>(size));
}

// A Timestamp's or Duration's seconds and nanos: plain fields, written in place.
Status StoreInt(PyObject* instance, const FieldSpec& f, long long number) {
  Ref value = Ref::steal(PyLong_FromLongLong(number));
  if (!value) return Status::Pending();
  if (f.in_oneof() || f.has_presence_bit) [[unlikely]]
    return StoreWithPresence(instance, f, std::move(value));
  return WriteFieldSteal(instance, f.access, std::move(value));
}

template <class Source>
class WellKnownReader {
 public:
  WellKnownReader(Source& source, const JsonReadOptions& options, const json::FieldContext* context)
      : source_(source), options_(options), context_(context) {}

  Status Read(const MessageMarshaler& m, PyObject* instance, uint32_t depth) {
    if (depth > kMaxDepth) [[unlikely]]
      return DepthError("parsing");
    const WellKnownRecord& r = RecordOf(m);
    switch (r.kind) {
      case WellKnownType::kTimestamp:
      case WellKnownType::kDuration: return Time(m, r, instance);
      case WellKnownType::kFieldMask: return FieldMask(m, r, instance);
      case WellKnownType::kStruct: return Struct(m, r, instance, depth);
      case WellKnownType::kListValue: return ListValue(m, r, instance, depth);
      case WellKnownType::kValue: return Value(r, instance, depth);
      case WellKnownType::kWrapper: return Wrapper(r, instance);
      case WellKnownType::kAny: return Any(m, r, instance, depth);
      case WellKnownType::kNone: break;
    }
    return Status(ErrorKind::kRuntime, "unknown well-known type");
  }

 private:
  // The form's own errors name the field the value belongs to.
  Status Own(Status status) const {
    if (context_ == nullptr) return status;
    return context_->Attach(std::move(status));
  }

  // "cannot decode {type} from JSON: {value}" for a value of the wrong JSON kind.
  [[gnu::cold, gnu::noinline]] Status TimeError(const MessageMarshaler& m, TextError error, std::string_view text) {
    return Own(ToStatus(error, Utf8Of(m.full_name.get()), text));
  }

  [[gnu::cold, gnu::noinline]] Status WrongKind(const MessageMarshaler& m) {
    Ref value;
    VELUM_TRY(source_.TakeValue(value));
    Ref shown = MessageText(value.get());
    if (!shown) return Status::Pending();
    return Own(FormatError(ErrorKind::kType, "cannot decode %U from JSON: %U", m.full_name.get(), shown.get()));
  }

  Status Expect(const MessageMarshaler& m, JsonKind expected) {
    JsonKind kind{};
    VELUM_TRY(source_.Peek(kind));
    return kind == expected ? Status() : WrongKind(m);
  }

  Status Time(const MessageMarshaler& m, const WellKnownRecord& r, PyObject* instance) {
    VELUM_TRY(Expect(m, JsonKind::kString));
    std::string_view text;
    VELUM_TRY(source_.ReadText(text));
    SecondsNanos value;
    const TextError error =
        r.kind == WellKnownType::kTimestamp ? ParseTimestamp(text, value) : ParseDuration(text, value);
    if (error != TextError::kOk) [[unlikely]]
      return TimeError(m, error, text);
    VELUM_TRY(StoreInt(instance, *r.seconds, value.seconds));
    return StoreInt(instance, *r.nanos, value.nanos);
  }

  // Out of line, as the Value and Struct forms' own code is read far more often.
  [[gnu::noinline]] Status FieldMask(const MessageMarshaler& m, const WellKnownRecord& r, PyObject* instance) {
    VELUM_ASSIGN_OR_RETURN(Ref paths, StoredList(instance, *r.field));
    VELUM_TRY(Expect(m, JsonKind::kString));
    std::string_view text;
    VELUM_TRY(source_.ReadText(text));
    if (text.empty()) return Status();
    const InterpreterCase unicode;
    for (size_t start = 0;;) {
      const size_t comma = text.find(',', start);
      const std::string_view piece = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
      if (piece.find('_') != std::string_view::npos) {
        return Own(ToStatus(TextError::kPathNotLowerCamel, Utf8Of(m.full_name.get()), piece));
      }
      RawString snake;
      switch (SnakeCasePath(piece, &unicode, snake)) {
        case PathCase::kOk: break;
        case PathCase::kMapperFailed: return Status::Pending();
        case PathCase::kNoMemory: return Status(ErrorKind::kMemory, "out of memory");
        default: return Status(ErrorKind::kValue, "FieldMask path is not valid UTF-8");
      }
      Ref path = Ref::steal(PyUnicode_DecodeUTF8(snake.data(), static_cast<Py_ssize_t>(snake.size()), nullptr));
      if (!path || PyList_Append(paths.get(), path.get()) < 0) return Status::Pending();
      if (comma == std::string_view::npos) return Status();
      start = comma + 1;
    }
  }

  // A new message of `handle`'s type read from the next value, one level down.
  // Out of line: the Value read, which every Struct member runs, stays short.
  [[gnu::noinline]] Result<Ref> Nested(MessageHandle* handle, uint32_t depth) {
    VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(handle));
    VELUM_ASSIGN_OR_RETURN(Ref instance, NewDefaultInstance(*nested));
    if (nested->well_known != WellKnownType::kNone) {
      VELUM_TRY(Read(*nested, instance.get(), depth + 1));
    } else {
      VELUM_TRY(json::ReadMessage(*nested, instance.get(), source_, options_, depth + 1));
    }
    return instance;
  }

  using Elements = ContainerElements;

  // The elements of a container of `handle`'s, as an earlier container of
  // the call found them when there was one: the Structs and lists of a
  // batch's records, one reader each, share them.
  Elements ElementsOf(MessageHandle* handle) const noexcept { return options_.elements.Of(handle); }
  void Remember(const Elements& e) noexcept { options_.elements.Remember(e); }

  // Out of line: runs once per call and element type, mostly.
  [[gnu::noinline]] Status Prepare(Elements& e) {
    VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(e.handle));
    if (nested->well_known != WellKnownType::kValue) {
      e.type = nested;
      Remember(e);
      return Status();
    }
    const WellKnownRecord& r = RecordOf(*nested);
    const FieldAccess& first = r.member(ValueMember::kNull).access;
    bool only = KeepsFreed(nested->well_known);
    for (size_t i = 0; i < static_cast<size_t>(ValueMember::kCount); ++i) {
      const FieldAccess& access = r.member(static_cast<ValueMember>(i)).access;
      only = only && HoldsOnlyField(*nested, access) && access.offset() == first.offset();
    }
    e.only_slot = only ? first.offset() : -1;
    e.record = &r;
    e.type = nested;
    Remember(e);
    return Status();
  }

  // An element of Struct or ListValue: a Value read one level down. The
  // elements of a batch of documents are mostly these, so the Value form is
  // entered directly rather than through the general dispatch, and the new
  // Value is made holding its Oneof, taken from the kept ones when it can be.
  // Empty with `failed` set on failure: a plain pair rather than a Result
  // keeps the loops that run this per element short.
  [[gnu::always_inline]] Ref NewElement(Elements& e, uint32_t depth, Status& failed) {
    if (e.record == nullptr) [[unlikely]]
      return FirstOrOtherElement(e, depth, failed);
    return NewValueElement(e, depth, failed);
  }

  [[gnu::always_inline]] Ref NewValueElement(const Elements& e, uint32_t depth, Status& failed) {
    if (depth + 1 > kMaxDepth) [[unlikely]] {
      failed = DepthError("parsing");
      return Ref();
    }
    const MessageMarshaler& m = *e.type;
    const WellKnownRecord& r = *e.record;
    ValueMember which = ValueMember::kNull;
    Ref value;
    if (Status read = ValueMemberOf(r, depth + 1, which, value); !read.ok()) [[unlikely]] {
      failed = std::move(read);
      return Ref();
    }
#ifndef Py_GIL_DISABLED
    auto* type = reinterpret_cast<PyTypeObject*>(m.message_class.get());
    if (e.only_slot >= 0 && type != nullptr && type->tp_new == NativeMessage_new) [[likely]] {
      if (PyObject* self = TakeKeptWhole(m, type); self != nullptr) [[likely]] {
        PyObject** slot = SlotAddress(self, e.only_slot);
        // Kept with its last Oneof, stripped: filled again.
        if (PyObject* stripped = *slot; stripped != nullptr) [[likely]] {
          oneof::Fill(stripped, r.member_name(which), value.release());
          return Ref::steal(self);
        }
        return HoldIn(self, slot, r, which, std::move(value), failed);
      }
    }
#endif
    return NewValueHolding(m, r, which, std::move(value), failed);
  }

  // A kept Value without a Oneof of its own (its last one was shared or held
  // a container) given a new one. Out of line, as NewValueHolding.
  [[gnu::noinline]] static Ref HoldIn(PyObject* self, PyObject** slot, const WellKnownRecord& r, ValueMember which,
                                      Ref value, Status& failed) {
    Ref holder;
    if (Status made = HolderOf(r, which, value.get(), holder); !made.ok()) [[unlikely]] {
      Py_DECREF(self);
      failed = std::move(made);
      return Ref();
    }
    *slot = holder.release();
    return Ref::steal(self);
  }

  // A Value made by the general road: none is kept, or its class is not plain.
  [[gnu::noinline]] static Ref NewValueHolding(const MessageMarshaler& m, const WellKnownRecord& r, ValueMember which,
                                               Ref value, Status& failed) {
    Ref holder;
    if (Status made = HolderOf(r, which, value.get(), holder); !made.ok()) [[unlikely]] {
      failed = std::move(made);
      return Ref();
    }
    Result<Ref> made = NewInstanceWith(m, r.member(which).access, std::move(holder));
    if (!made.ok()) {
      failed = std::move(made).status();
      return Ref();
    }
    return std::move(made).value();
  }

  // The first element of a container (its type found), and every element
  // that is not a Value.
  [[gnu::noinline]] Ref FirstOrOtherElement(Elements& e, uint32_t depth, Status& failed) {
    if (e.type == nullptr) {
      if (Status prepared = Prepare(e); !prepared.ok()) {
        failed = std::move(prepared);
        return Ref();
      }
    }
    if (e.record != nullptr) return NewValueElement(e, depth, failed);
    Result<Ref> nested = Nested(e.handle, depth);
    if (!nested.ok()) {
      failed = std::move(nested).status();
      return Ref();
    }
    return std::move(nested).value();
  }

  Status Struct(const MessageMarshaler& m, const WellKnownRecord& r, PyObject* instance, uint32_t depth) {
    VELUM_ASSIGN_OR_RETURN(Ref fields, StoredDict(instance, *r.field));
    VELUM_TRY(Expect(m, JsonKind::kObject));
    if constexpr (std::is_same_v<Source, json::JsonTreeSource>) {
      // A tree's keys are the entries' keys as they are: no text is needed.
      Elements elements = ElementsOf(r.field->kind.value.handle);
      return source_.ForEachMemberKey([&](PyObject* key) -> Status {
        Status failed;
        Ref value = NewElement(elements, depth, failed);
        if (!value) [[unlikely]]
          return failed;
        return PyDict_SetItem(fields.get(), key, value.get()) == 0 ? Status() : Status::Pending();
      });
    } else {
      // Keys mostly come in the order the object's kind had before: the key
      // that followed the previous one last time is matched in place first.
      StructKeys& keys = options_.struct_keys;
      const uint16_t parent = keys.current();
      uint16_t previous = StructKeys::kNoSlot;
      uint16_t expected = StructKeys::kNoSlot;
      Elements elements = ElementsOf(r.field->kind.value.handle);
      return source_.ForEachMemberGuessing(
          [&]() -> json::MemberGuess { return {keys.Expected(parent, previous, &expected), {}, true}; },
          [&](const json::MemberName& name, bool matched) -> Status {
            Ref key;
            uint16_t slot = expected;
            if (matched) {
              key = Ref::borrow(keys.At(expected));
            } else {
              VELUM_ASSIGN_OR_RETURN(key, keys.Get(name, &slot));
              if (slot == StructKeys::kNoSlot) {
                slot = StructKeys::kLost;
              } else {
                keys.Follows(parent, previous, slot);
              }
            }
            previous = slot;
            keys.set_current(slot);
            Status failed;
            Ref value = NewElement(elements, depth, failed);
            if (!value) [[unlikely]]
              return failed;
            return PyDict_SetItem(fields.get(), key.get(), value.get()) == 0 ? Status() : Status::Pending();
          });
    }
  }

  Status ListValue(const MessageMarshaler& m, const WellKnownRecord& r, PyObject* instance, uint32_t depth) {
    VELUM_ASSIGN_OR_RETURN(Ref values, StoredList(instance, *r.field));
    VELUM_TRY(Expect(m, JsonKind::kArray));
    Elements elements = ElementsOf(r.field->kind.value.handle);
    return source_.ForEachElement([&]() -> Status {
      Status failed;
      Ref value = NewElement(elements, depth, failed);
      if (!value) [[unlikely]]
        return failed;
      return PyList_Append(values.get(), value.get()) == 0 ? Status() : Status::Pending();
    });
  }

  Status Value(const WellKnownRecord& r, PyObject* instance, uint32_t depth) {
    ValueMember which = ValueMember::kNull;
    Ref value;
    VELUM_TRY(ValueMemberOf(r, depth, which, value));
    Ref holder;
    VELUM_TRY(HolderOf(r, which, value.get(), holder));
    return WriteFieldSteal(instance, r.member(which).access, std::move(holder));
  }

  // The member of a Value the next JSON value sets, into `which`, and its
  // value, into `value`. A status and out-parameters rather than a Result:
  // every Struct member and list element runs this.
  Status ValueMemberOf(const WellKnownRecord& r, uint32_t depth, ValueMember& which, Ref& value) {
    if constexpr (std::is_same_v<Source, json::JsonTreeSource>) {
      // The scalars of a parsed document are told by their exact types and
      // held as they are: a float is kept rather than copied, as for double fields.
      PyObject* pending = source_.pending();
      PyTypeObject* type = pending != nullptr ? Py_TYPE(pending) : nullptr;
      if (type == &PyUnicode_Type || type == &PyFloat_Type || type == &PyBool_Type) {
        if (type == &PyFloat_Type && !std::isfinite(PyFloat_AS_DOUBLE(pending))) [[unlikely]]
          return Own(Status(ErrorKind::kValue, "unexpected infinite/NaN number"));
        which = type == &PyUnicode_Type ? ValueMember::kString
                : type == &PyFloat_Type ? ValueMember::kNumber
                                        : ValueMember::kBool;
        return source_.TakeValue(value);
      }
    }
    JsonKind kind{};
    VELUM_TRY(source_.Peek(kind));
    switch (kind) {
      case JsonKind::kNull:
        VELUM_TRY(source_.ReadNull());
        value = Ref::borrow(r.null_value);
        return Status();
      case JsonKind::kBool: {
        bool flag = false;
        VELUM_TRY(source_.ReadBool(flag));
        which = ValueMember::kBool;
        value = Ref::borrow(flag ? Py_True : Py_False);
        return Status();
      }
      case JsonKind::kNumber: {
        which = ValueMember::kNumber;
        if constexpr (std::is_same_v<Source, json::JsonTextSource>) {
          // A literal in its common form is valued and made in one step
          // (always finite); any other takes the general read below.
          Status made;
          if (json::ReadQuickReal(source_, false, value, made)) return made;
        }
        double number = 0;
        VELUM_TRY(Own(source_.ReadFloat(number)));
        // A literal beyond the double range (or a tree's inf/nan) would be stored
        // as a number_value no writer can write back: refuse it as double fields do.
        if (!std::isfinite(number)) return Own(Status(ErrorKind::kValue, "unexpected infinite/NaN number"));
        value = Ref::steal(floats::New(number));
        return value ? Status() : Status::Pending();
      }
      case JsonKind::kString:
        which = ValueMember::kString;
        if constexpr (std::is_same_v<Source, json::JsonTextSource>) {
          return source_.ReadStrInline(value);
        } else {
          return source_.ReadStr(value);
        }
      case JsonKind::kArray:
      case JsonKind::kObject: {
        which = kind == JsonKind::kArray ? ValueMember::kList : ValueMember::kStruct;
        VELUM_ASSIGN_OR_RETURN(value, Nested(r.member(which).kind.value.handle, depth));
        return Status();
      }
    }
    return Status();
  }

  // The Oneof of a Value holding `value` as its `which` member. Holding a
  // float, str or bool it is left out of the collector (see oneof::New), as
  // it can never be part of a reference cycle. A bool's is not shared: the
  // Value's next life, kept, can then fill it again.
  static Status HolderOf(const WellKnownRecord& r, ValueMember which, PyObject* value, Ref& holder) {
    holder = oneof::HoldsNoReference(value) ? oneof::NewOfLeaves(r.member_name(which), value)
                                            : oneof::New(r.member_name(which), value);
    return holder ? Status() : Status::Pending();
  }

  Status Wrapper(const WellKnownRecord& r, PyObject* instance) {
    JsonKind kind{};
    VELUM_TRY(source_.Peek(kind));
    const ScalarType type = r.field->kind.value.scalar;
    Ref value;
    if (kind == JsonKind::kNull) {
      VELUM_TRY(source_.ReadNull());
      value = ScalarZeroValue(type);
      if (!value) return Status::Pending();
    } else {
      VELUM_TRY(Own(json::ReadScalar(source_, type, value)));
    }
    return StoreWithPresence(instance, *r.field, std::move(value));
  }

  // An object whose first member is "@type" is read as it goes: the packed
  // message straight from the text, when a scan shows that this reads what
  // taking the object whole would (see ScanTypeFirstObject). Otherwise, or
  // for a packed well-known type (whose "value" member may come anywhere),
  // the object is taken whole.
  Status Any(const MessageMarshaler& m, const WellKnownRecord& r, PyObject* instance, uint32_t depth) {
    if constexpr (std::is_same_v<Source, json::JsonTextSource>) {
      const auto start = source_.Mark();
      // A plain packed type is read at once, the checks of the scan made on the way.
      Ref direct_type;
      bool gave_up = false;
      Result<Ref> direct = ReadTypeFirstAny(m, source_, options_, depth, direct_type, gave_up);
      if (!gave_up) {
        if (!direct.ok()) return std::move(direct).status();
        return StoreBytes(r, instance, direct_type.get(), std::move(direct).value());
      }
      source_.Rewind(start);
      std::string_view url;
      const bool type_first = source_.ScanTypeFirst(url);
      source_.Rewind(start);
      if (type_first) {
        // The same first member named it: no second lookup.
        Ref packed_object = std::move(direct_type);
        if (!packed_object) {
          VELUM_ASSIGN_OR_RETURN(packed_object, ResolvePacked(m, url, nullptr));
        }
        const MessageMarshaler& packed = *AsMarshaler(packed_object.get());
        if (packed.well_known == WellKnownType::kNone) {
          if (ReadsPackedDirectly(packed)) {
            source_.SkipFirstMember(true);
            bool diverted = false;
            Result<Ref> bytes = ReadPackedJson(packed, source_, options_, depth + 1, diverted);
            source_.SkipFirstMember(false);
            if (!diverted) {
              if (!bytes.ok()) return std::move(bytes).status();
              return StoreBytes(r, instance, packed_object.get(), std::move(bytes).value());
            }
            source_.Rewind(start);
          }
          VELUM_ASSIGN_OR_RETURN(Ref payload, NewDefaultInstance(packed));
          source_.SkipFirstMember(true);
          Status read = json::ReadMessage(packed, payload.get(), source_, options_, depth + 1);
          source_.SkipFirstMember(false);
          VELUM_TRY(std::move(read));
          return StorePacked(r, instance, packed_object.get(), payload.get());
        }
        return AnyFromObject(m, r, instance, depth, packed_object.get());
      }
    }
    return AnyFromObject(m, r, instance, depth, nullptr);
  }

  // The packed type's marshaler object for the type URL `url` (`url_object`
  // is its str when the caller has one).
  Result<Ref> ResolvePacked(const MessageMarshaler& m, std::string_view url, PyObject* url_object) {
    Ref packed_object;
    if (options_.registry != nullptr) {
      VELUM_ASSIGN_OR_RETURN(packed_object,
                             ResolveType(*m.names, options_.registry, TypeNameOfUrl(url), options_.packed_types));
    }
    if (packed_object) return packed_object;
    Ref shown = url_object != nullptr
                    ? Ref::borrow(url_object)
                    : Ref::steal(PyUnicode_DecodeUTF8(url.data(), static_cast<Py_ssize_t>(url.size()), nullptr));
    if (!shown) return Status::Pending();
    return Own(FormatError(ErrorKind::kValue, "cannot decode %U from JSON: %U is not in the type registry",
                           m.full_name.get(), shown.get()));
  }

  // The Any changes only once its payload has been read and encoded.
  Status StorePacked(const WellKnownRecord& r, PyObject* instance, PyObject* packed_object, PyObject* payload) {
    VELUM_ASSIGN_OR_RETURN(Ref bytes, EncodeToBytes(*AsMarshaler(packed_object), payload, true));
    return StoreBytes(r, instance, packed_object, std::move(bytes));
  }

  Status StoreBytes(const WellKnownRecord& r, PyObject* instance, PyObject* packed_object, Ref bytes) {
    const MessageMarshaler& packed = *AsMarshaler(packed_object);
    Ref stored_url = options_.packed_types.StoredUrl(packed_object, packed.full_name.get());
    if (!stored_url) return Status::Pending();
    VELUM_TRY(StoreWithPresence(instance, *r.type_url, std::move(stored_url)));
    return StoreWithPresence(instance, *r.any_value, std::move(bytes));
  }

  // The object taken whole first: "@type" may follow the members it governs.
  // `resolved` is the packed type when the caller already looked it up.
  Status AnyFromObject(const MessageMarshaler& m, const WellKnownRecord& r, PyObject* instance, uint32_t depth,
                       PyObject* resolved) {
    Ref object;
    VELUM_TRY(source_.TakeValue(object));
    if (!PyDict_Check(object.get())) {
      Ref shown = MessageText(object.get());
      if (!shown) return Status::Pending();
      return Own(FormatError(ErrorKind::kType, "cannot decode %U from JSON: %U", m.full_name.get(), shown.get()));
    }
    if (PyDict_GET_SIZE(object.get()) == 0) return Status();
    PyObject* type_key = r.type_key.get();
    Ref url = Ref::borrow(PyDict_GetItemWithError(object.get(), type_key));
    if (!url && PyErr_Occurred()) return Status::Pending();
    if (!url || !PyUnicode_Check(url.get())) {
      Ref shown = MessageText(object.get());
      Ref found = shown ? MessageText(url ? url.get() : Py_None) : Ref();
      if (!found) return Status::Pending();
      return Own(FormatError(ErrorKind::kValue, "cannot decode %U from JSON: %U, @type is invalid: %U",
                             m.full_name.get(), shown.get(), found.get()));
    }
    Ref packed_object = Ref::borrow(resolved);
    if (!packed_object) {
      const std::string_view url_text = Utf8Of(url.get());
      if (url_text.data() == nullptr) return Status::Pending();
      VELUM_ASSIGN_OR_RETURN(packed_object, ResolvePacked(m, url_text, url.get()));
    }
    const MessageMarshaler& packed = *AsMarshaler(packed_object.get());
    // A packed well-known type is read from "value"; any other from the
    // object's other members, walked in place with "@type" left out.
    Ref body;
    if (packed.well_known != WellKnownType::kNone) {
      body = Ref::borrow(PyDict_GetItemWithError(object.get(), r.value_key.get()));
      if (!body && PyErr_Occurred()) return Status::Pending();
    }
    const bool members = !body;
    if (members) body = object.clone();
    if (members && ReadsPackedDirectly(packed)) {
      json::JsonTreeSource payload_source(body.get());
      payload_source.SkipMember(type_key);
      bool diverted = false;
      Result<Ref> bytes = ReadPackedJson(packed, payload_source, options_, depth + 1, diverted);
      if (!diverted) {
        if (!bytes.ok()) return std::move(bytes).status();
        return StoreBytes(r, instance, packed_object.get(), std::move(bytes).value());
      }
    }
    VELUM_ASSIGN_OR_RETURN(Ref payload, NewDefaultInstance(packed));
    json::JsonTreeSource payload_source(body.get());
    if (members) payload_source.SkipMember(type_key);
    VELUM_TRY(json::ReadMessage(packed, payload.get(), payload_source, options_, depth + 1));
    return StorePacked(r, instance, packed_object.get(), payload.get());
  }

  Source& source_;
  const JsonReadOptions& options_;
  const json::FieldContext* context_;
};

}  // namespace

template <class Source>
Status ReadWellKnown(const MessageMarshaler& m, PyObject* instance, Source& source, const JsonReadOptions& options,
                     uint32_t depth, const json::FieldContext* context) {
  return WellKnownReader<Source>(source, options, context).Read(m, instance, depth);
}

template Status ReadWellKnown<json::JsonTextSource>(const MessageMarshaler&, PyObject*, json::JsonTextSource&,
                                                    const JsonReadOptions&, uint32_t, const json::FieldContext*);
template Status ReadWellKnown<json::JsonTreeSource>(const MessageMarshaler&, PyObject*, json::JsonTreeSource&,
                                                    const JsonReadOptions&, uint32_t, const json::FieldContext*);

}  // namespace velum::wkt
