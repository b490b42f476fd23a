#include "json_parse/json_reader.h"

#include <type_traits>
#include <unordered_set>

#include "common/limits.h"
#include "common/py_error.h"
#include "common/raw_alloc.h"
#include "common/string_map.h"
#include "common/text_equal.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_access.h"
#include "descriptor/instance.h"
#include "descriptor/message_handle.h"
#include "field_ops/field_store.h"
#include "field_ops/new_instance.h"
#include "json_parse/field_context.h"
#include "json_parse/json_text_source.h"
#include "json_parse/json_tree_source.h"
#include "json_parse/number_list_read.h"
#include "json_parse/scalar_read.h"
#include "wkt_registry/wkt_json_read.h"

namespace velum {
namespace json {

namespace {

// Which list, map and non-oneof message fields one JSON object has already
// named: a second mention resets the field first, so the last one wins.
class SeenSet {
 public:
  SeenSet() noexcept = default;
  SeenSet(const SeenSet&) = delete;
  SeenSet& operator=(const SeenSet&) = delete;
  ~SeenSet() {
    if (high_ != nullptr) [[unlikely]]
      RawDelete(high_);
  }

  // True when `number` was already recorded.
  bool Insert(uint32_t number) {
    if (number < 64) {
      const uint64_t bit = uint64_t{1} << number;
      const bool seen = (low_ & bit) != 0;
      low_ |= bit;
      return seen;
    }
    if (high_ == nullptr) high_ = RawNew<HighNumbers>();
    return !high_->insert(number).second;
  }

 private:
  using HighNumbers =
      std::unordered_set<uint32_t, std::hash<uint32_t>, std::equal_to<uint32_t>, RawAllocator<uint32_t>>;

  uint64_t low_ = 0;
  // Made only for numbers of 64 and more: every object read has a SeenSet,
  // and nearly all of them name only low numbers.
  HighNumbers* high_ = nullptr;
};

// The refusal of a value of the wrong kind for a list or map, which shows
// the value's Python type.
template <class Source>
Status WrongContainer(Source& source, const char* format, const FieldContext& context) {
  Ref value;
  VELUM_TRY(source.TakeValue(value));
  return context.Attach(FormatError(ErrorKind::kType, format, reinterpret_cast<PyObject*>(Py_TYPE(value.get()))));
}

Status NullElement(const char* what, const FieldContext& context) {
  return context.Attach(FormatError(ErrorKind::kValue, "unexpected null value for %s", what));
}

bool IsValueMessage(const MessageMarshaler& m) noexcept { return m.well_known == WellKnownType::kValue; }

bool SameAccess(const FieldAccess& a, const FieldAccess& b) noexcept {
  if (a.is_slot() || b.is_slot()) return a.offset() == b.offset();
  return a.name() == b.name() || PyUnicode_Compare(a.name(), b.name()) == 0;
}

// A null for a scalar or enum field stores the field's own default, the value
// new instances get, so that an absent field reads as it would after a binary
// round trip (a custom proto2 default, not the type's zero value).
Status ResetToDefault(const MessageMarshaler& m, PyObject* instance, const FieldSpec& f) {
  for (const DefaultEntry& entry : m.defaults) {
    if (SameAccess(entry.access, f.access)) return StoreNullReset(instance, f, entry.value.get());
  }
  Ref zero = f.kind.kind == ValueKind::kEnum ? f.kind.value.table->default_value.clone()
                                              : ScalarZeroValue(f.kind.value.scalar);
  if (!zero) return Status::Pending();
  return StoreNullReset(instance, f, zero.get());
}

template <class Source>
class Reader {
 public:
  Reader(Source& source, const JsonReadOptions& options) : source_(source), options_(options) {}

  // `context` names the field the message is the value of, for the errors
  // of the well-known-type forms.
  Status Message(const MessageMarshaler& m, PyObject* instance, uint32_t depth,
                 const FieldContext* context = nullptr) {
    if (depth > kMaxDepth) [[unlikely]]
      return DepthError("parsing");
    if (m.well_known != WellKnownType::kNone)
      return wkt::ReadWellKnown(m, instance, source_, options_, depth, context);
    JsonKind kind;
    VELUM_TRY(source_.Peek(kind));
    if (kind != JsonKind::kObject) [[unlikely]] {
      Ref value;
      VELUM_TRY(source_.TakeValue(value));
      Ref qualname = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(m.message_class.get())));
      if (!qualname) return Status::Pending();
      Ref shown = MessageText(value.get());
      if (!shown) return Status::Pending();
      return FormatError(ErrorKind::kType, "cannot decode %U from JSON: %U", qualname.get(), shown.get());
    }
    SeenSet seen;
    size_t next = 0;  // the field expected to be named next
    if constexpr (std::is_same_v<Source, JsonTextSource>) {
      // Text: the name expected next is matched in place before any scan.
      return source_.ForEachMemberGuessing(
          [&]() -> MemberGuess {
            if (next >= m.json_members.size()) return {};
            // The prepared key `,"name":` is the name's compact spelling.
            const RawString& key = m.fields[next].json_key;
            if (!key.empty()) return {{}, std::string_view(key).substr(1)};
            return {m.json_members[next].json.text, {}};
          },
          [&](const MemberName& name, bool matched) -> Status {
            return Member(m, instance, name, matched, seen, next, depth);
          });
    } else {
      return source_.ForEachMember(
          [&](const MemberName& name) -> Status { return Member(m, instance, name, false, seen, next, depth); });
    }
  }

 private:
  static bool Same(const JsonMemberKey& key, const MemberName& name) noexcept {
    return name.object == key.str || EqualText(name.text, key.text);
  }

  // `matched`: the source found the member to be the one expected next, by
  // its JSON name.
  Status Member(const MessageMarshaler& m, PyObject* instance, const MemberName& name, bool matched, SeenSet& seen,
                size_t& next, uint32_t depth) {
    // Members mostly come in field-table order: the field after the last one
    // matched is tried before the key map.
    const FieldSpec* f = nullptr;
    if (matched) {
      f = m.json_members[next].json.field;
    } else if (next < m.json_members.size()) {
      const JsonMemberNames& guess = m.json_members[next];
      if (Same(guess.json, name)) {
        f = guess.json.field;
      } else if (Same(guess.proto, name)) {
        f = guess.proto.field;
      }
    }
    if (f == nullptr) {
      if (const uint32_t* number = FindIn(m.json_keys, name.text)) {
        f = m.index.Find(*number);
        if (f == nullptr) [[unlikely]]
          return Status(ErrorKind::kValue, "field table lookup failed");
      }
    }
    if (f != nullptr) [[likely]] {
      next = static_cast<size_t>(f - m.fields.data()) + 1;
      return Field(m, instance, *f, seen, depth);
    }
    if (name.text.size() >= 2 && name.text.front() == '[' && name.text.back() == ']' &&
        options_.registry != nullptr) {
      bool handled = false;
      VELUM_TRY(Extension(m, instance, name.text.substr(1, name.text.size() - 2), depth, handled));
      if (handled) return Status();
    }
    if (options_.ignore_unknown_fields) return source_.SkipValue();
    VELUM_ASSIGN_OR_RETURN(Ref key, MemberNameObject(name));
    return FormatError(ErrorKind::kValue, "cannot decode %U from JSON: key: '%U' is unknown", m.full_name.get(),
                       key.get());
  }

  Status Field(const MessageMarshaler& m, PyObject* instance, const FieldSpec& f, SeenSet& seen, uint32_t depth) {
    const FieldContext context{m.full_name.get(), f.name.get()};
    JsonKind kind{};  // set by Peek on success; the braces quiet a link-time false warning
    VELUM_TRY(source_.Peek(kind));
    const ValueKind value_kind = f.kind.kind;
    if (kind == JsonKind::kNull && f.in_oneof() && value_kind == ValueKind::kScalar) {
      // A null names no member: the oneof stays as it was.
      return source_.ReadNull();
    }
    if (f.shape != FieldShape::kSingular || (value_kind == ValueKind::kMessage && !f.in_oneof())) {
      if (seen.Insert(f.number)) VELUM_TRY(ResetRepeated(instance, f));
    }
    switch (f.shape) {
      case FieldShape::kList: return List(instance, f, kind, context, depth);
      case FieldShape::kMap: return Map(instance, f, kind, context, depth);
      case FieldShape::kSingular: break;
    }
    switch (value_kind) {
      case ValueKind::kEnum: {
        const EnumTable& table = *f.kind.value.table;
        if (kind == JsonKind::kNull && !table.is_null_value) {
          VELUM_TRY(source_.ReadNull());
          return ResetToDefault(m, instance, f);
        }
        Ref value;
        VELUM_TRY(ReadEnum(source_, table, options_.ignore_unknown_fields, value));
        if (!value) return Status();
        return Store(instance, f, std::move(value));
      }
      case ValueKind::kMessage: return SingularMessage(instance, f, kind, context, depth);
      default: {
        if (kind == JsonKind::kNull) {
          VELUM_TRY(source_.ReadNull());
          return ResetToDefault(m, instance, f);
        }
        Ref value;
        bool read = false;
        if constexpr (std::is_same_v<Source, JsonTextSource>) {
          // A bool or string of the field's own kind is read here, without
          // the general read's call and dispatch. A number in its common form
          // is scanned, valued and made in one step, as map values and list
          // elements are. The rest (and every refusal) goes through the
          // general read.
          const ScalarType scalar = f.kind.value.scalar;
          if (scalar == ScalarType::kBool && kind == JsonKind::kBool) {
            bool flag = false;
            VELUM_TRY(source_.ReadBool(flag));
            value = Ref::borrow(flag ? Py_True : Py_False);
            read = true;
          } else if (scalar == ScalarType::kString && kind == JsonKind::kString) {
            VELUM_TRY(source_.ReadStrInline(value));
            read = true;
          } else if (IsQuickNumberType(scalar)) {
            Status made;
            read = ReadQuickNumber(source_, scalar, value, made);
            VELUM_TRY(std::move(made));
          }
        }
        if (!read) VELUM_TRY(context.Attach(ReadScalar(source_, f.kind.value.scalar, kind, value)));
        // One call site: Store stays inline.
        return Store(instance, f, std::move(value));
      }
    }
  }

  // Store with presence; most fields are outside oneofs and are stored here
  // directly rather than through the general routine.
  static Status Store(PyObject* instance, const FieldSpec& f, Ref value) {
    if (f.in_oneof()) return StoreWithPresence(instance, f, std::move(value));
    VELUM_TRY(WriteFieldSteal(instance, f.access, std::move(value)));
    return f.has_presence_bit ? SetPresent(instance, f.number) : Status();
  }

  // Containers and nested messages are read out of line: Field's own code,
  // which every scalar member runs, stays short.
  [[gnu::noinline]] Status SingularMessage(PyObject* instance, const FieldSpec& f, JsonKind kind,
                                           const FieldContext& context, uint32_t depth) {
    VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(f.kind.value.handle));
    if (kind == JsonKind::kNull && !IsValueMessage(*nested)) {
      VELUM_TRY(source_.ReadNull());
      return StoreNullReset(instance, f, Py_None);
    }
    // A slot holding None (every such field of a new instance) has nothing to
    // merge into: the new message is made without the general lookup.
    Ref target;
    if (f.access.is_slot() && !f.in_oneof() && *SlotAddress(instance, f.access.offset()) == Py_None) [[likely]] {
      VELUM_ASSIGN_OR_RETURN(target, NewDefaultInstance(*nested));
    } else {
      VELUM_ASSIGN_OR_RETURN(target, SubMessageToMerge(instance, f, *nested));
    }
    VELUM_TRY(Message(*nested, target.get(), depth + 1, &context));
    return Store(instance, f, std::move(target));
  }

  [[gnu::noinline]] Status List(PyObject* instance, const FieldSpec& f, JsonKind kind, const FieldContext& context,
                                uint32_t depth) {
    if (kind == JsonKind::kNull) return source_.ReadNull();
    if (kind != JsonKind::kArray) return WrongContainer(source_, "expected list got %S", context);
    VELUM_ASSIGN_OR_RETURN(Ref list, StoredList(instance, f));
    const ElementKind& element = f.kind.value;
    if (element.tag == ElementTag::kScalar && element.scalar == ScalarType::kString) {
      // Lists of strings are common and long: a string element goes straight
      // to the str read, anything else to the general element read.
      return source_.ForEachElement([&]() -> Status {
        JsonKind item_kind;
        VELUM_TRY(source_.Peek(item_kind));
        Ref item;
        if (item_kind == JsonKind::kString) [[likely]] {
          if constexpr (std::is_same_v<Source, JsonTextSource>) {
            VELUM_TRY(context.Attach(source_.ReadStrInline(item)));
          } else {
            VELUM_TRY(context.Attach(source_.ReadStr(item)));
          }
        } else {
          VELUM_TRY(Element(element, "list item", context, depth, item));
        }
        return PyList_Append(list.get(), item.get()) == 0 ? Status() : Status::Pending();
      });
    }
    if constexpr (std::is_same_v<Source, JsonTextSource>) {
      if (element.tag == ElementTag::kScalar && IsQuickNumberType(element.scalar)) {
        return NumberList(element, list.get(), context, depth);
      }
    }
    return source_.ForEachElement([&]() -> Status {
      Ref item;
      VELUM_TRY(Element(element, "list item", context, depth, item));
      if (!item) return Status();
      return PyList_Append(list.get(), item.get()) == 0 ? Status() : Status::Pending();
    });
  }

  // Numbers in place, the general element read for the rest.
  Status NumberList(const ElementKind& element, PyObject* list, const FieldContext& context, uint32_t depth) {
    struct General {
      Reader* reader;
      const ElementKind& element;
      const FieldContext& context;
      uint32_t depth;
    } general{this, element, context, depth};
    return ReadNumberList(source_, element.scalar, list, [](void* state, Ref& item) -> Status {
      auto& g = *static_cast<General*>(state);
      return g.reader->Element(g.element, "list item", g.context, g.depth, item);
    }, &general);
  }

  [[gnu::noinline]] Status Map(PyObject* instance, const FieldSpec& f, JsonKind kind, const FieldContext& context,
                               uint32_t depth) {
    if (kind == JsonKind::kNull) return source_.ReadNull();
    if (kind != JsonKind::kObject) return WrongContainer(source_, "expected dict got %S", context);
    VELUM_ASSIGN_OR_RETURN(Ref dict, StoredDict(instance, f));
    const bool string_keys = f.kind.map_key == ScalarType::kString;
    [[maybe_unused]] const bool quick_numbers =
        f.kind.value.tag == ElementTag::kScalar && IsQuickNumberType(f.kind.value.scalar);
    return source_.ForEachMember([&](const MemberName& name) -> Status {
      Ref key;
      if (string_keys) {
        // The name itself, as ReadMapKey gives it, without its dispatch per entry.
        VELUM_ASSIGN_OR_RETURN(key, MemberNameObject(name));
      } else {
        VELUM_TRY(context.Attach(ReadMapKey(name, f.kind.map_key, key)));
      }
      Ref value;
      bool quick = false;
      if constexpr (std::is_same_v<Source, JsonTextSource>) {
        // No peek yet: the value's white space is skipped here.
        if (quick_numbers && source_.tokenizer().ValueAhead() != nullptr) {
          Status made;
          quick = ReadQuickNumber(source_, f.kind.value.scalar, value, made);
          VELUM_TRY(std::move(made));
        }
      }
      if (!quick) VELUM_TRY(Element(f.kind.value, "map value", context, depth, value));
      if (!value) return Status();
      return PyDict_SetItem(dict.get(), key.get(), value.get()) == 0 ? Status() : Status::Pending();
    });
  }

  // One list element or map value; `out` stays empty for an enum value
  // skipped as unknown. Elements never merge into earlier values.
  Status Element(const ElementKind& element, const char* what, const FieldContext& context, uint32_t depth,
                 Ref& out) {
    JsonKind kind{};  // as in Field
    VELUM_TRY(source_.Peek(kind));
    switch (element.tag) {
      case ElementTag::kScalar:
        if (kind == JsonKind::kNull) return NullElement(what, context);
        return context.Attach(ReadScalar(source_, element.scalar, kind, out));
      case ElementTag::kEnum:
        if (kind == JsonKind::kNull && !element.table->is_null_value) return NullElement(what, context);
        return ReadEnum(source_, *element.table, options_.ignore_unknown_fields, out);
      case ElementTag::kMessage: {
        VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(element.handle));
        if (kind == JsonKind::kNull && !IsValueMessage(*nested)) return NullElement(what, context);
        VELUM_ASSIGN_OR_RETURN(out, NewDefaultInstance(*nested));
        return Message(*nested, out.get(), depth + 1, &context);
      }
    }
    return Status();
  }

  // `[full.name]` members: an extension of this message is read, one of
  // another message skipped; `handled` stays false for a name the registry
  // does not know.
  [[gnu::cold, gnu::noinline]] Status Extension(const MessageMarshaler& m, PyObject* instance,
                                                std::string_view full_name, uint32_t depth, bool& handled) {
    Ref name = Ref::steal(PyUnicode_DecodeUTF8(full_name.data(), static_cast<Py_ssize_t>(full_name.size()), nullptr));
    if (!name) return Status::Pending();
    // A free slot before the arguments, which PY_VECTORCALL_ARGUMENTS_OFFSET lets the call use.
    PyObject* args[] = {nullptr, options_.registry, name.get()};
    Ref extension = Ref::steal(PyObject_VectorcallMethod(m.names->name(Name::kExtension), args + 1,
                                                         2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!extension) return Status::Pending();
    if (extension.get() == Py_None) return Status();
    handled = true;
    Ref extendee = Ref::steal(PyObject_GetAttrString(extension.get(), "extendee"));
    if (!extendee) return Status::Pending();
    Ref extendee_name = Ref::steal(PyObject_GetAttr(extendee.get(), m.names->name(Name::kTypeName)));
    if (!extendee_name) return Status::Pending();
    if (!PyUnicode_Check(extendee_name.get())) return TypeCheckError(extendee_name.get(), "str");
    const int same = PyUnicode_Compare(extendee_name.get(), m.full_name.get());
    if (same == -1 && PyErr_Occurred()) return Status::Pending();
    if (same != 0) return source_.SkipValue();
    return ExtensionValue(*m.names, instance, extension.get(), depth);
  }

  Status ExtensionValue(const RuntimeNames& names, PyObject* instance, PyObject* extension, uint32_t depth) {
    Ref key = Ref::steal(PyObject_GetAttr(extension, names.name(Name::kType)));
    if (!key) return Status::Pending();
    Ref full_name = Ref::steal(PyObject_GetAttr(extension, names.name(Name::kTypeName)));
    if (!full_name) return Status::Pending();
    if (!PyUnicode_Check(full_name.get())) return TypeCheckError(full_name.get(), "str");
    Ref value_desc = Ref::steal(PyObject_GetAttr(extension, names.name(Name::kValue)));
    if (!value_desc) return Status::Pending();
    VELUM_ASSIGN_OR_RETURN(FieldKind kind, ClassifyFieldValue(names, value_desc.get()));
    const FieldContext context{nullptr, full_name.get()};
    auto set = [&](Ref value) -> Status {
      return PyObject_SetItem(instance, key.get(), value.get()) == 0 ? Status() : Status::Pending();
    };
    auto remove = [&]() -> Status {
      VELUM_TRY(source_.ReadNull());
      return PyObject_DelItem(instance, key.get()) == 0 ? Status() : Status::Pending();
    };
    JsonKind json_kind{};  // as in Field
    VELUM_TRY(source_.Peek(json_kind));
    switch (kind.kind) {
      case ValueKind::kScalar: {
        if (json_kind == JsonKind::kNull) return remove();
        Ref value;
        VELUM_TRY(context.Attach(ReadScalar(source_, kind.value.scalar, value)));
        return set(std::move(value));
      }
      case ValueKind::kEnum: {
        if (json_kind == JsonKind::kNull && !kind.value.table->is_null_value) return remove();
        Ref value;
        VELUM_TRY(ReadEnum(source_, *kind.value.table, options_.ignore_unknown_fields, value));
        return value ? set(std::move(value)) : Status();
      }
      case ValueKind::kMessage: {
        VELUM_ASSIGN_OR_RETURN(MessageMarshaler * nested, Resolve(kind.value.handle));
        if (json_kind == JsonKind::kNull && !IsValueMessage(*nested)) return remove();
        VELUM_ASSIGN_OR_RETURN(Ref value, NewDefaultInstance(*nested));
        VELUM_TRY(Message(*nested, value.get(), depth + 1, &context));
        return set(std::move(value));
      }
      case ValueKind::kList: {
        if (json_kind == JsonKind::kNull) return source_.ReadNull();
        if (json_kind != JsonKind::kArray) return WrongContainer(source_, "expected list got %S", context);
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return Status::Pending();
        auto element = [&]() -> Status {
          Ref item;
          VELUM_TRY(Element(kind.value, "list item", context, depth, item));
          if (!item) return Status();
          return PyList_Append(list.get(), item.get()) == 0 ? Status() : Status::Pending();
        };
        VELUM_TRY(source_.ForEachElement(element));
        return set(std::move(list));
      }
      case ValueKind::kMap: break;
    }
    return Status(ErrorKind::kValue, "map extensions are not supported");
  }

  Source& source_;
  const JsonReadOptions& options_;
};

}  // namespace

template <class Source>
Status ReadMessage(const MessageMarshaler& m, PyObject* instance, Source& source, const JsonReadOptions& options,
                   uint32_t depth) {
  return Reader<Source>(source, options).Message(m, instance, depth);
}

template Status ReadMessage<JsonTextSource>(const MessageMarshaler&, PyObject*, JsonTextSource&,
                                            const JsonReadOptions&, uint32_t);
template Status ReadMessage<JsonTreeSource>(const MessageMarshaler&, PyObject*, JsonTreeSource&,
                                            const JsonReadOptions&, uint32_t);

}  // namespace json

Result<Ref> ReadJsonNew(const MessageMarshaler& m, PyObject* input, bool from_text, const JsonReadOptions& options,
                        PyTypeObject* cls) {
  if (from_text) {
    json::JsonTextSource source;
    VELUM_TRY(source.Open(input));
    VELUM_ASSIGN_OR_RETURN(Ref instance, NewDefaultInstance(m, cls));
    VELUM_TRY(json::ReadMessage(m, instance.get(), source, options, 0));
    VELUM_TRY(source.EndCheck());
    return instance;
  }
  json::JsonTreeSource source(input);
  VELUM_ASSIGN_OR_RETURN(Ref instance, NewDefaultInstance(m, cls));
  VELUM_TRY(json::ReadMessage(m, instance.get(), source, options, 0));
  return instance;
}

Status ReadJsonInto(const MessageMarshaler& m, PyObject* msg, PyObject* json, const JsonReadOptions& options) {
  json::JsonTextSource source;
  VELUM_TRY(source.Open(json));
  VELUM_TRY(json::ReadMessage(m, msg, source, options, 0));
  return source.EndCheck();
}

}  // namespace velum
