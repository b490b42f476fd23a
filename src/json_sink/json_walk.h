// The JSON writer: walks a message instance with its marshaler and sends
// every JSON event to a sink. A template over the sink, so that the text and
// the value-tree output share one walk without a virtual call per event.
//
// The walk never changes the instance. It may run Python code (attribute
// reads, truth tests, the registry, conversions of foreign numbers), which
// may change lists and dicts under it: lists are re-measured at every step
// and held items kept alive; a dict changed during its walk is an error.
#pragma once

#include <algorithm>
#include <string_view>

#include "common/dict_walk.h"
#include "common/limits.h"
#include "common/py_error.h"
#include "descriptor/encode_plan.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_access.h"
#include "descriptor/instance.h"
#include "descriptor/marshaler.h"
#include "descriptor/message_handle.h"
#include "field_ops/field_default.h"
#include "field_ops/field_select.h"
#include "json_sink/json_events.h"
#include "json_sink/json_scalar.h"
#include "json_sink/json_writer.h"
#include "json_sink/number_text.h"
#include "wkt_registry/wkt_json_write.h"

namespace velum::json_sink {

namespace walk_detail {

// An instance that is not of the marshaler's class.
[[gnu::cold]] Status WrongInstance(const MessageMarshaler& m, PyObject* msg);
[[gnu::cold]] Status WrongMessageType(const MessageMarshaler& declared, PyObject* value);
// The text of a map key that is neither bool nor str: str() of the key.
Result<Ref> KeyText(PyObject* key);
// A key for a map<bool, ...>: "true" or "false".
Result<bool> BoolKey(PyObject* key);

// What a registry says about one stored extension number.
struct Extension {
  Ref value;      // the instance's value for it
  FieldKind kind;  // its classified `value` descriptor
  Ref member;     // "[{type_name}]"
};
// Asks the registry about `number`; an empty `member` means it knows none.
Result<Extension> LookupExtension(const MessageMarshaler& m, PyObject* registry, PyObject* desc, PyObject* msg,
                                  PyObject* number);

}  // namespace walk_detail

template <JsonSink S>
class JsonWalk {
 public:
  JsonWalk(S& sink, const JsonWriteOptions& options) noexcept : sink_(sink), options_(options) {}

  // For the well-known-type forms, which write nested values through the walk.
  S& sink() noexcept { return sink_; }
  const JsonWriteOptions& options() const noexcept { return options_; }

  // One message value: an object, or the form of a well-known type.
  Status WriteMessage(const MessageMarshaler& m, PyObject* msg, uint32_t depth) {
    if (depth > kMaxDepth) return DepthError("serializing");
    // Slots are read at the offsets of `m`'s class.
    auto* cls = reinterpret_cast<PyTypeObject*>(m.message_class.get());
    if (cls == nullptr || !PyObject_TypeCheck(msg, cls) || !IsNativeMessage(msg)) [[unlikely]]
      return walk_detail::WrongInstance(m, msg);
    if (m.well_known != WellKnownType::kNone) return wkt::WriteWellKnown(*this, m, msg, depth);
    // A message of many fields may set few of them: room for a few dozen.
    VELUM_TRY(sink_.BeginObject(static_cast<Py_ssize_t>(std::min<size_t>(m.fields.size(), 32))));
    VELUM_TRY(WriteMembers(m, msg, depth));
    return sink_.EndObject();
  }

  // The members of one message, into an object the caller has begun. The
  // type's field plan (one step per field, in table order) lets the common
  // fields (singular scalars and messages in slots) be selected and
  // written by one dispatch each; the rest go through SelectField.
  Status WriteMembers(const MessageMarshaler& m, PyObject* msg, uint32_t depth) {
    if (!m.oneofs.empty()) VELUM_TRY(CheckOneofs(m, msg));
    const EncodeStep* steps = m.encode_plan.data();
    const size_t count = m.encode_plan.size();
    for (size_t i = 0; i < count; ++i) VELUM_TRY(WriteStep(steps[i], msg, depth));
    PyObject* store = AsNative(msg)->unknown_fields;
    if (options_.registry != nullptr && store != nullptr && PyDict_GET_SIZE(store) != 0) {
      VELUM_TRY(WriteExtensions(m, msg, depth));
    }
    return Status::Ok();
  }

  // A value declared as a message of `handle`'s type, written one level down.
  Status WriteMessageValue(MessageHandle* handle, PyObject* value, uint32_t depth) {
    VELUM_ASSIGN_OR_RETURN(MessageMarshaler * declared, Resolve(handle));
    PyObject* cls = declared->message_class.get();
    if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(cls)) [[likely]]
      return WriteMessage(*declared, value, depth + 1);
    const int is = PyObject_IsInstance(value, cls);
    if (is < 0) return Status::Pending();
    if (!is) return walk_detail::WrongMessageType(*declared, value);
    if (!IsNativeMessage(value)) return TypeCheckError(value, "NativeMessage");
    VELUM_ASSIGN_OR_RETURN(Ref own, MarshalerOfInstance(value));
    return WriteMessage(*AsMarshaler(own.get()), value, depth + 1);
  }

 private:
  [[gnu::always_inline]] Status WriteName(const FieldSpec& f) {
    if (options_.use_proto_field_name) return sink_.MemberName(f.name.get(), std::string_view(f.proto_key));
    return sink_.MemberName(f.json_name.get(), std::string_view(f.json_key));
  }

  // A scalar of type `T` in a slot. Implicit presence: skipped at its default,
  // tested inline for values of the exact type. Explicit: by presence bit. The
  // slot is read first either way: an empty one fails even when not set.
  template <ScalarType T, bool kImplicit>
  Status WriteScalarStep(const EncodeStep& step, PyObject* msg) {
    return WriteScalarStepInline<T, kImplicit>(step, msg);
  }
  template <ScalarType T, bool kImplicit>
  [[gnu::always_inline]] Status WriteScalarStepInline(const EncodeStep& step, PyObject* msg) {
    PyObject* slot = *SlotAddress(msg, step.offset);
    if (slot == nullptr) [[unlikely]]
      return UninitializedSlot();
    if constexpr (!kImplicit) {
      if (!AsNative(msg)->presence.Get(step.number)) return Status::Ok();
    }
    // A value of the type's exact class runs no Python code while written,
    // so it is written from the slot without being held.
    const int set = ExactScalarIsSet<T>(slot);
    if (set < 0) [[unlikely]]
      return WriteForeignScalarStep<T, kImplicit>(step, slot);
    if constexpr (kImplicit) {
      if (set == 0 && !options_.always_emit_implicit) return Status::Ok();
    }
    // A sink that writes a member and such a value together (the text sink)
    // is offered them first.
    if constexpr (requires { sink_.template ExactMember<T>(std::string_view(), slot); }) {
      const FieldSpec& f = *step.field;
      const std::string_view key(options_.use_proto_field_name ? f.proto_key : f.json_key);
      if (!key.empty() && sink_.template ExactMember<T>(key, slot)) [[likely]]
        return Status::Ok();
    }
    // A sink that sets a member and such a value together (the value tree) likewise.
    if constexpr (requires { sink_.template ExactField<T>(slot, slot); }) {
      const FieldSpec& f = *step.field;
      if (sink_.template ExactField<T>(options_.use_proto_field_name ? f.name.get() : f.json_name.get(), slot))
          [[likely]]
        return Status::Ok();
    }
    VELUM_TRY(WriteName(*step.field));
    return WriteScalarOf<T>(sink_, slot);
  }

  // A value of another class (a subclass, a foreign number): held, since its
  // conversion may run code that replaces it in the slot.
  template <ScalarType T, bool kImplicit>
  [[gnu::noinline]] Status WriteForeignScalarStep(const EncodeStep& step, PyObject* slot) {
    Ref value = Ref::borrow(slot);
    if constexpr (kImplicit) {
      if (!options_.always_emit_implicit) {
        const int set = HoldsNonDefault(*step.field, value.get());
        if (set < 0) return Status::Pending();
        if (set == 0) return Status::Ok();
      }
    }
    VELUM_TRY(WriteName(*step.field));
    return WriteScalarOf<T>(sink_, value.get());
  }

  // An enum in a slot, selected as SelectField would: by presence bit when
  // explicit, else skipped at its default. An exact int of 32 bits (what
  // the slot holds nearly always) runs no Python code while tested and
  // written, so it is taken from the slot unheld; any other value goes
  // through the general test and write under a hold.
  Status WriteEnumStep(const EncodeStep& step, PyObject* msg, bool implicit) {
    PyObject* slot = *SlotAddress(msg, step.offset);
    if (slot == nullptr) [[unlikely]]
      return UninitializedSlot();
    if (!implicit) {
      if (!AsNative(msg)->presence.Get(step.number)) return Status::Ok();
    }
    const EnumTable& table = *step.field->kind.value.table;
    long long number = 0;
    if (!PyLong_CheckExact(slot) || !CompactValue(slot, &number) || number < INT32_MIN || number > INT32_MAX)
        [[unlikely]]
      return WriteHeldEnumStep(step, slot, implicit);
    if (implicit && !options_.always_emit_implicit) {
      // HoldsNonDefault's comparison, for an exact int and a compact default.
      PyObject* def = table.default_value.get();
      long long def_number = 0;
      if (def == nullptr || !PyLong_Check(def) || !CompactValue(def, &def_number)) [[unlikely]]
        return WriteHeldEnumStep(step, slot, implicit);
      if (number == def_number) return Status::Ok();
    }
    VELUM_TRY(WriteName(*step.field));
    return WriteEnumNumber(sink_, table, static_cast<int32_t>(number), slot, options_.print_enums_as_ints);
  }

  [[gnu::noinline]] Status WriteHeldEnumStep(const EncodeStep& step, PyObject* slot, bool implicit) {
    Ref value = Ref::borrow(slot);
    if (implicit && !options_.always_emit_implicit) {
      const int set = HoldsNonDefault(*step.field, value.get());
      if (set < 0) return Status::Pending();
      if (set == 0) return Status::Ok();
    }
    VELUM_TRY(WriteName(*step.field));
    return WriteEnum(sink_, *step.field->kind.value.table, value.get(), options_.print_enums_as_ints);
  }

  // The steps most fields take are written here, inside the member loop:
  // out of line, each paid a call, its saved registers and its status
  // passed through memory. The rarer scalar types, explicit presence and
  // enums keep a function of their own.
  [[gnu::always_inline]] Status WriteStep(const EncodeStep& step, PyObject* msg, uint32_t depth) {
    constexpr auto implicit = [](ScalarType t) {
      return static_cast<uint8_t>(static_cast<uint8_t>(EncodeOp::kImplicitScalar) + static_cast<uint8_t>(t));
    };
    switch (step.op) {
      case implicit(ScalarType::kString):
        return WriteScalarStepInline<ScalarType::kString, true>(step, msg);
      case implicit(ScalarType::kInt64):
      case implicit(ScalarType::kSint64):
      case implicit(ScalarType::kSfixed64):
        return WriteScalarStepInline<ScalarType::kInt64, true>(step, msg);
      case implicit(ScalarType::kInt32):
      case implicit(ScalarType::kSint32):
      case implicit(ScalarType::kSfixed32):
        return WriteScalarStepInline<ScalarType::kInt32, true>(step, msg);
      case implicit(ScalarType::kDouble):
        return WriteScalarStepInline<ScalarType::kDouble, true>(step, msg);
      case implicit(ScalarType::kBool):
        return WriteScalarStepInline<ScalarType::kBool, true>(step, msg);
#define VELUM_IMPLICIT_STEP(T) \
  case implicit(T):            \
    return WriteScalarStep<JsonFormOf(T), true>(step, msg);
        VELUM_IMPLICIT_STEP(ScalarType::kFloat)
        VELUM_IMPLICIT_STEP(ScalarType::kUint64)
        VELUM_IMPLICIT_STEP(ScalarType::kFixed64)
        VELUM_IMPLICIT_STEP(ScalarType::kFixed32)
        VELUM_IMPLICIT_STEP(ScalarType::kBytes)
        VELUM_IMPLICIT_STEP(ScalarType::kUint32)
#undef VELUM_IMPLICIT_STEP
#define VELUM_EXPLICIT_STEP(T)                                                      \
  case static_cast<uint8_t>(EncodeOp::kExplicitScalar) + static_cast<uint8_t>(T): \
    return WriteScalarStep<JsonFormOf(T), false>(step, msg);
        VELUM_FOR_EACH_SCALAR_TYPE(VELUM_EXPLICIT_STEP)
#undef VELUM_EXPLICIT_STEP
      case static_cast<uint8_t>(EncodeOp::kImplicitEnum):
        return WriteEnumStep(step, msg, true);
      case static_cast<uint8_t>(EncodeOp::kExplicitEnum):
        return WriteEnumStep(step, msg, false);
      case static_cast<uint8_t>(EncodeOp::kMessage): {
        PyObject* slot = *SlotAddress(msg, step.offset);
        if (slot == nullptr) [[unlikely]]
          return UninitializedSlot();
        // A message field has no JSON form for None: always_emit_implicit
        // does not make an unset one appear.
        if (slot == Py_None) return Status::Ok();
        Ref value = Ref::borrow(slot);
        VELUM_TRY(WriteName(*step.field));
        return WriteMessageValue(step.field->kind.value.handle, value.get(), depth);
      }
      default:
        break;
    }
    // A list or map in a slot holding the exact container (as the slots do):
    // selected as SelectField selects it, by its size, without the general read.
    const FieldSpec& f = *step.field;
    if (step.offset >= 0 && f.shape != FieldShape::kSingular && !f.in_oneof()) {
      PyObject* slot = *SlotAddress(msg, step.offset);
      Py_ssize_t size = -1;
      if (slot == nullptr) [[unlikely]] {
        // SelectField reports it
      } else if (f.shape == FieldShape::kList) {
        if (PyList_CheckExact(slot)) size = PyList_GET_SIZE(slot);
      } else if (PyDict_CheckExact(slot)) {
        size = PyDict_GET_SIZE(slot);
      }
      if (size >= 0) {
        if (size == 0 && !options_.always_emit_implicit) return Status::Ok();
        return WriteContainerField(f, slot, depth);
      }
    }
    return WriteGeneralField(f, msg, depth);
  }

  // A list or map field's container `value`, held while written.
  Status WriteContainerField(const FieldSpec& f, PyObject* value, uint32_t depth) {
    Ref held = Ref::borrow(value);
    VELUM_TRY(WriteName(f));
    return WriteField(f, held.get(), depth);
  }

  // Any field the plan has no step of its own for: lists, maps, oneof
  // members, enums, attributes, required fields.
  Status WriteGeneralField(const FieldSpec& f, PyObject* msg, uint32_t depth) {
    Ref value;
    VELUM_TRY(SelectField(f, msg, options_.always_emit_implicit, value));
    if (!value) return Status::Ok();
    if (value.get() == Py_None && f.shape == FieldShape::kSingular && !f.in_oneof() &&
        f.kind.value.tag == ElementTag::kMessage) {
      return Status::Ok();
    }
    VELUM_TRY(WriteName(f));
    return WriteField(f, value.get(), depth);
  }

  Status WriteField(const FieldSpec& f, PyObject* value, uint32_t depth) {
    switch (f.shape) {
      case FieldShape::kSingular:
        return WriteElement(f.kind.value, value, depth);
      case FieldShape::kList:
        return WriteList(f.kind.value, value, depth);
      case FieldShape::kMap:
        return WriteMap(f.kind.map_key, f.kind.value, value, depth);
    }
    return Status::Ok();
  }

  Status WriteElement(const ElementKind& kind, PyObject* value, uint32_t depth) {
    switch (kind.tag) {
      case ElementTag::kScalar:
        return WriteScalar(sink_, kind.scalar, value);
      case ElementTag::kEnum:
        return WriteEnum(sink_, *kind.table, value, options_.print_enums_as_ints);
      case ElementTag::kMessage:
        break;
    }
    return WriteMessageValue(kind.handle, value, depth);
  }

  // A list, by a loop of its element kind: the kind is dispatched once.
  Status WriteList(const ElementKind& kind, PyObject* list, uint32_t depth) {
    if (!PyList_Check(list)) return TypeCheckError(list, "list");
    VELUM_TRY(sink_.BeginArray(PyList_GET_SIZE(list)));
    switch (kind.tag) {
      case ElementTag::kScalar:
        switch (kind.scalar) {
#define VELUM_SCALAR_LIST(T)                     \
  case T:                                        \
    VELUM_TRY(WriteScalarItems<JsonFormOf(T)>(list)); \
    break;
          VELUM_FOR_EACH_SCALAR_TYPE(VELUM_SCALAR_LIST)
#undef VELUM_SCALAR_LIST
          default:
            return Status(ErrorKind::kRuntime, "unknown scalar type");
        }
        break;
      case ElementTag::kEnum:
        // Python code run for an element may shrink the list: measure every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
          Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
          VELUM_TRY(WriteEnum(sink_, *kind.table, item.get(), options_.print_enums_as_ints));
        }
        break;
      case ElementTag::kMessage:
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
          Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
          VELUM_TRY(WriteMessageValue(kind.handle, item.get(), depth));
        }
        break;
    }
    return sink_.EndArray();
  }

  // The elements of a list of scalars of type `T`. Values of the type's exact
  // class are written without running Python code; any other is held while
  // its conversion runs, and the list is measured again at every step.
  // A sink that writes runs of such values itself (the text sink's number
  // lists) takes every run, and the loop here only the values it left.
  template <ScalarType T>
  Status WriteScalarItems(PyObject* list) {
    for (Py_ssize_t i = 0;; ++i) {
      if constexpr (requires { sink_.template ExactItems<T>(list, i); }) i = sink_.template ExactItems<T>(list, i);
      if (i >= PyList_GET_SIZE(list)) break;
      PyObject* item = PyList_GET_ITEM(list, i);
      if (ExactScalarIsSet<T>(item) >= 0) [[likely]] {
        VELUM_TRY(WriteScalarOf<T>(sink_, item));
        continue;
      }
      Ref held = Ref::borrow(item);
      VELUM_TRY(WriteScalarOf<T>(sink_, held.get()));
    }
    return Status::Ok();
  }

  // A map, by a loop of its value kind: the kind is dispatched once.
  Status WriteMap(ScalarType key_type, const ElementKind& kind, PyObject* dict, uint32_t depth) {
    if (!PyDict_Check(dict)) return TypeCheckError(dict, "dict");
    VELUM_TRY(sink_.BeginObject(PyDict_GET_SIZE(dict)));
    switch (kind.tag) {
      case ElementTag::kScalar:
        switch (kind.scalar) {
#define VELUM_SCALAR_MAP(T)                                      \
  case T:                                                        \
    VELUM_TRY(WriteScalarEntries<JsonFormOf(T)>(key_type, dict)); \
    break;
          VELUM_FOR_EACH_SCALAR_TYPE(VELUM_SCALAR_MAP)
#undef VELUM_SCALAR_MAP
          default:
            return Status(ErrorKind::kRuntime, "unknown scalar type");
        }
        break;
      case ElementTag::kEnum:
        VELUM_TRY(WriteEntries(key_type, dict, [this, &kind](PyObject* value) {
          return WriteEnum(sink_, *kind.table, value, options_.print_enums_as_ints);
        }));
        break;
      case ElementTag::kMessage:
        VELUM_TRY(WriteEntries(key_type, dict, [this, &kind, depth](PyObject* value) {
          return WriteMessageValue(kind.handle, value, depth);
        }));
        break;
    }
    return sink_.EndObject();
  }

  // The entries of a map of scalars. An entry of an exact str key and a
  // value of the type's exact class runs no Python code while written, so
  // it is written from the borrowed key and value; any other is held, and
  // the dict measured again after it, as ForEachEntry does.
  // A sink that writes runs of entries itself (the text sink's maps of str
  // to numbers) takes them, and the loop here only the entries it left.
  template <ScalarType T>
  Status WriteScalarEntries(ScalarType key_type, PyObject* dict) {
    DictCursor entries(dict);
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // The next entry for the loop here: past those the sink wrote itself.
    auto next = [&]() -> bool {
      if constexpr (requires { sink_.template ExactEntries<T>(entries, key, value); }) {
        if (key_type == ScalarType::kString) return sink_.template ExactEntries<T>(entries, key, value);
      }
      if constexpr (requires { sink_.template IntKeyEntries<T>(entries, key, value); }) {
        if (key_type != ScalarType::kString && key_type != ScalarType::kBool) {
          return sink_.template IntKeyEntries<T>(entries, key, value);
        }
      }
      return entries.Next(key, value);
    };
    while (next()) {
      if (key_type == ScalarType::kString && PyUnicode_CheckExact(key) && ExactScalarIsSet<T>(value) >= 0) [[likely]] {
        VELUM_TRY(sink_.MemberName(key));
        VELUM_TRY(WriteScalarOf<T>(sink_, value));
        continue;
      }
      Ref key_ref = Ref::borrow(key);
      Ref value_ref = Ref::borrow(value);
      VELUM_TRY(WriteKey(key_type, key_ref.get()));
      VELUM_TRY(WriteScalarOf<T>(sink_, value_ref.get()));
      VELUM_TRY(entries.Unchanged());
    }
    return entries.Finish();
  }

  // Every entry of a map: its key as the member name, its value by `write_value`.
  template <class WriteValue>
  Status WriteEntries(ScalarType key_type, PyObject* dict, WriteValue&& write_value) {
    return ForEachEntry(dict, [&](PyObject* key, PyObject* value) -> Status {
      VELUM_TRY(WriteKey(key_type, key));
      return write_value(value);
    });
  }

  [[gnu::always_inline]] Status WriteKey(ScalarType key_type, PyObject* key) {
    if (key_type == ScalarType::kString && PyUnicode_Check(key)) [[likely]]
      return sink_.MemberName(key);
    return WriteMapKey(key_type, key);
  }

  Status WriteMapKey(ScalarType type, PyObject* key) {
    if (type == ScalarType::kString) {
      if (!PyUnicode_Check(key)) return TypeCheckError(key, "str");
      return sink_.MemberName(key);
    }
    if (type == ScalarType::kBool) {
      VELUM_ASSIGN_OR_RETURN(const bool flag, walk_detail::BoolKey(key));
      return sink_.MemberName(std::string_view(flag ? "true" : "false"));
    }
    // str() of an int is its digits: common keys are formatted here directly.
    int64_t number = 0;
    if (ReadExactInt(key, &number)) [[likely]] {
      if constexpr (requires { sink_.IntegerMemberName(number); }) return sink_.IntegerMemberName(number);
      char digits[kIntegerTextMax];
      return sink_.MemberName(std::string_view(digits, FormatInteger(number, digits)));
    }
    VELUM_ASSIGN_OR_RETURN(Ref text, walk_detail::KeyText(key));
    return sink_.MemberName(text.get());
  }

  // Extension members, after every regular one, in the order of the stored
  // numbers. The store's keys are copied first: the registry and the
  // subscription run Python code that may change the store.
  Status WriteExtensions(const MessageMarshaler& m, PyObject* msg, uint32_t depth) {
    const RuntimeNames& names = *m.names;
    Ref desc = Ref::steal(PyObject_GetAttr(msg, names.name(Name::kDesc)));
    if (!desc) return Status::Pending();
    Ref keys = Ref::steal(PyDict_Keys(AsNative(msg)->unknown_fields));
    if (!keys) return Status::Pending();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
      VELUM_ASSIGN_OR_RETURN(
          walk_detail::Extension ext,
          walk_detail::LookupExtension(m, options_.registry, desc.get(), msg, PyList_GET_ITEM(keys.get(), i)));
      if (!ext.member) continue;
      // Records that do not decode as the extension's message (a wrong wire
      // type, say) read back as None: like an unset message field, nothing is
      // written, as the binary form keeps them only as unknown records.
      if (ext.kind.kind == ValueKind::kMessage && ext.value.get() == Py_None) continue;
      VELUM_TRY(sink_.MemberName(ext.member.get()));
      switch (ext.kind.kind) {
        case ValueKind::kScalar:
        case ValueKind::kEnum:
        case ValueKind::kMessage:
          VELUM_TRY(WriteElement(ext.kind.value, ext.value.get(), depth));
          break;
        case ValueKind::kList:
          VELUM_TRY(WriteList(ext.kind.value, ext.value.get(), depth));
          break;
        case ValueKind::kMap:
          return Status(ErrorKind::kValue, "map extensions are not supported");
      }
    }
    return Status::Ok();
  }

  S& sink_;
  const JsonWriteOptions& options_;
};

}  // namespace velum::json_sink
