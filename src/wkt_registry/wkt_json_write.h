// The JSON forms the writer uses for the well-known types: strings for
// Timestamp, Duration and FieldMask, plain JSON for Struct, ListValue and
// Value, the bare scalar of a wrapper, and the "@type" object of Any. A
// template over the writer's walk, whose sink, options and message writers
// the forms call back into for nested values.
#pragma once

#include <cmath>
#include <type_traits>

#include "common/dict_walk.h"
#include "common/limits.h"
#include "common/py_error.h"
#include "common/raw_alloc.h"
#include "descriptor/field_access.h"
#include "descriptor/marshaler.h"
#include "descriptor/message_handle.h"
#include "json_sink/json_scalar.h"
#include "json_sink/json_value_sink.h"
#include "json_sink/json_writer.h"
#include "oneof/oneof.h"
#include "wkt_registry/packed_fields.h"
#include "wkt_registry/packed_types.h"
#include "wkt_registry/time_text.h"
#include "wkt_registry/wkt_record.h"

namespace velum::wkt {

namespace write_detail {

// The Timestamp or Duration text of `msg`, range-checked.
Status TimeTextOf(const WellKnownRecord& r, PyObject* msg, TimeText& out);
// The lowerCamelCase paths of a FieldMask joined with ",".
Status FieldMaskText(const WellKnownRecord& r, PyObject* msg, RawString& out);
Status NoValueSet();
Status NotFinite();
// Which member of Value a Oneof's `field` names, by equal text; kCount for none.
Result<ValueMember> MemberOf(const WellKnownRecord& r, PyObject* field);
Result<bool> BoolOf(PyObject* value);

// What an Any holds: an empty `url` for an Any without a type URL, else the
// URL, the packed type's marshaler object and the packed bytes (checked to be
// bytes or bytearray).
struct Unpacked {
  Ref url;
  Ref marshaler;
  Ref value;
};
Result<Unpacked> Unpack(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options);
// The packed bytes decoded into a new instance of `packed`'s class.
Result<Ref> DecodePacked(const MessageMarshaler& packed, PyObject* value);
Status TooDeep();

// MemberOf for the common case first: a Oneof holding the interned name
// itself, matched by identity without a call.
inline Result<ValueMember> MemberOfField(const WellKnownRecord& r, PyObject* field) {
  for (size_t i = 0; i < static_cast<size_t>(ValueMember::kCount); ++i) {
    if (field == r.member_names[i].get()) return static_cast<ValueMember>(i);
  }
  return MemberOf(r, field);
}

}  // namespace write_detail

template <class Walk>
Status WriteWellKnown(Walk& walk, const MessageMarshaler& m, PyObject* msg, uint32_t depth);
template <class Walk>
Status WriteHeldValue(Walk& walk, const WellKnownRecord& r, PyObject* msg, uint32_t depth);

// A Struct or ListValue held by a Value, one level down. Of exactly the
// declared class it enters its form directly (what the walk would do after
// its checks), else it is checked and dispatched as any message value.
template <class Walk>
Status WriteNestedDocument(Walk& walk, MessageHandle* handle, PyObject* value, uint32_t depth) {
  VELUM_ASSIGN_OR_RETURN(MessageMarshaler * declared, Resolve(handle));
  if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(declared->message_class.get()) &&
      declared->well_known != WellKnownType::kNone) [[likely]] {
    if (depth + 1 > kMaxDepth) return write_detail::TooDeep();
    return WriteWellKnown(walk, *declared, value, depth + 1);
  }
  return walk.WriteMessageValue(handle, value, depth);
}

// A Value from its Oneof. The common members (a str, an exact float or
// bool, null) are written without running Python code, so the Oneof is read
// from its slot without being held; the others are written under a hold,
// since what they run may replace it and free its members.
template <class Walk>
[[gnu::always_inline]] inline Status WriteValue(Walk& walk, const WellKnownRecord& r, PyObject* msg, uint32_t depth) {
  auto& sink = walk.sink();
  const FieldAccess& access = r.member(ValueMember::kNull).access;
  if (access.is_slot()) [[likely]] {
    PyObject* kind = *SlotAddress(msg, access.offset());
    if (kind != nullptr && oneof::Check(kind)) [[likely]] {
      PyObject* field = oneof::Field(kind);
      PyObject* value = oneof::Value(kind);
      if (field == r.member_name(ValueMember::kString) && PyUnicode_Check(value)) return sink.PythonString(value);
      if (field == r.member_name(ValueMember::kNumber) && PyFloat_CheckExact(value)) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(value))) return write_detail::NotFinite();
        return sink.PythonNumber(value);
      }
      if (field == r.member_name(ValueMember::kBool) && PyBool_Check(value)) return sink.Boolean(value == Py_True);
      if (field == r.member_name(ValueMember::kNull)) return sink.Null();
    }
  }
  return WriteHeldValue(walk, r, msg, depth);
}

template <class Walk>
Status WriteHeldValue(Walk& walk, const WellKnownRecord& r, PyObject* msg, uint32_t depth) {
  auto& sink = walk.sink();
  VELUM_ASSIGN_OR_RETURN(Ref kind, ReadField(msg, r.member(ValueMember::kNull).access));
  if (!oneof::Check(kind.get())) return write_detail::NoValueSet();
  // The Oneof is immutable and held here, so its members stay alive.
  PyObject* field = oneof::Field(kind.get());
  PyObject* value = oneof::Value(kind.get());
  if (!PyUnicode_Check(field)) return TypeCheckError(field, "str");
  VELUM_ASSIGN_OR_RETURN(const ValueMember which, write_detail::MemberOfField(r, field));
  switch (which) {
    case ValueMember::kNull:
      return sink.Null();
    case ValueMember::kBool: {
      VELUM_ASSIGN_OR_RETURN(const bool flag, write_detail::BoolOf(value));
      return sink.Boolean(flag);
    }
    case ValueMember::kNumber: {
      double number = 0;
      VELUM_TRY(json_sink::scalar_detail::FloatValue(value, &number));
      if (!std::isfinite(number)) return write_detail::NotFinite();
      return sink.PythonNumber(value);
    }
    case ValueMember::kString:
      if (!PyUnicode_Check(value)) return TypeCheckError(value, "str");
      return sink.PythonString(value);
    case ValueMember::kStruct:
    case ValueMember::kList:
      return WriteNestedDocument(walk, r.member(which).kind.value.handle, value, depth);
    case ValueMember::kCount:
      break;
  }
  return write_detail::NoValueSet();
}

// An element of Struct or ListValue. Documents are mostly Values of exactly
// the declared class: those enter the Value form directly, anything else is
// checked and dispatched as any message value.
// `declared` caches the element type's marshaler for the container's other
// elements: null until the first one resolves it.
template <class Walk>
[[gnu::always_inline]] inline Status WriteElement(Walk& walk, MessageHandle* handle, PyObject* value, uint32_t depth,
                                                  MessageMarshaler*& declared) {
  if (declared == nullptr) {
    VELUM_ASSIGN_OR_RETURN(declared, Resolve(handle));
  }
  if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(declared->message_class.get()) &&
      declared->well_known == WellKnownType::kValue) [[likely]] {
    if (depth + 1 > kMaxDepth) return write_detail::TooDeep();
    return WriteValue(walk, RecordOf(*declared), value, depth + 1);
  }
  return walk.WriteMessageValue(handle, value, depth);
}

// ReadsPackedDirectly, remembered for the last type of the call (an Any
// batch mostly packs one type).
inline bool ReadsPackedDirectlyInCall(const JsonWriteOptions& options, const Ref& marshaler) {
  const AnyWriteMemo::State* memo = options.any_memo.get();
  if (memo != nullptr && memo->direct_packed.get() == marshaler.get()) return true;
  if (!ReadsPackedDirectly(*AsMarshaler(marshaler.get()))) return false;
  if (AnyWriteMemo::State* made = options.any_memo.Make()) made->direct_packed = Ref::borrow(marshaler.get());
  return true;
}

template <class Walk>
Status WriteAny(Walk& walk, const MessageMarshaler& m, PyObject* msg, uint32_t depth) {
  auto& sink = walk.sink();
  VELUM_ASSIGN_OR_RETURN(write_detail::Unpacked any, write_detail::Unpack(m, msg, walk.options()));
  if (!any.url) {
    VELUM_TRY(sink.BeginObject());
    return sink.EndObject();
  }
  const MessageMarshaler& packed = *AsMarshaler(any.marshaler.get());
  const WellKnownRecord& r = RecordOf(m);
  // Plain payloads are written from their bytes, without an instance between;
  // implicit defaults, which need the type's default values, take the usual road.
  // Text output copies strings from the payload; a value tree needs a str.
  constexpr bool kTextOut = !std::is_same_v<std::remove_cvref_t<decltype(sink)>, json_sink::JsonValueSink>;
  PackedFields fields(packed.fields.size(), any.value.get(), kTextOut);
  const bool direct = !walk.options().always_emit_implicit && ReadsPackedDirectlyInCall(walk.options(), any.marshaler) &&
                      ReadPackedFields(packed, any.value.get(), fields);
  Ref instance;
  if (!direct) {
    VELUM_ASSIGN_OR_RETURN(instance, write_detail::DecodePacked(packed, any.value.get()));
  }
  VELUM_TRY(sink.BeginObject());
  VELUM_TRY(sink.MemberName(r.type_key.get(), std::string_view(",\"@type\":")));
  VELUM_TRY(sink.PythonString(any.url.get()));
  if (packed.well_known != WellKnownType::kNone) {
    VELUM_TRY(sink.MemberName(r.value_key.get()));
    VELUM_TRY(walk.WriteMessage(packed, instance.get(), depth + 1));
  } else {
    if (depth + 1 > kMaxDepth) return write_detail::TooDeep();
    if (direct) {
      VELUM_TRY(WritePackedFields(walk, packed, fields));
    } else {
      VELUM_TRY(walk.WriteMembers(packed, instance.get(), depth + 1));
    }
  }
  return sink.EndObject();
}

template <class Walk>
Status WriteWellKnown(Walk& walk, const MessageMarshaler& m, PyObject* msg, uint32_t depth) {
  const WellKnownRecord& r = RecordOf(m);
  auto& sink = walk.sink();
  switch (r.kind) {
    case WellKnownType::kTimestamp:
    case WellKnownType::kDuration: {
      TimeText text;
      VELUM_TRY(write_detail::TimeTextOf(r, msg, text));
      // The text is digits and separators: nothing to escape.
      if constexpr (requires { sink.PlainString(text.view()); }) {
        return sink.PlainString(text.view());
      } else {
        return sink.String(text.view());
      }
    }
    case WellKnownType::kFieldMask: {
      RawString text;
      VELUM_TRY(write_detail::FieldMaskText(r, msg, text));
      return sink.String(std::string_view(text.data(), text.size()));
    }
    case WellKnownType::kWrapper: {
      VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, r.field->access));
      return json_sink::WriteScalar(sink, r.field->kind.value.scalar, value.get());
    }
    case WellKnownType::kStruct: {
      VELUM_ASSIGN_OR_RETURN(Ref fields, ReadField(msg, r.field->access));
      if (!PyDict_Check(fields.get())) return TypeCheckError(fields.get(), "dict");
      VELUM_TRY(sink.BeginObject(PyDict_GET_SIZE(fields.get())));
      MessageMarshaler* element = nullptr;
      Status walked = ForEachEntry(fields.get(), [&](PyObject* key, PyObject* value) -> Status {
        if (!PyUnicode_Check(key)) return TypeCheckError(key, "str");
        // Objects of a document mostly share their keys: a sink may keep their text.
        if constexpr (requires { sink.RepeatedMemberName(key); }) {
          VELUM_TRY(sink.RepeatedMemberName(key));
        } else {
          VELUM_TRY(sink.MemberName(key));
        }
        return WriteElement(walk, r.field->kind.value.handle, value, depth, element);
      });
      if (!walked.ok()) return walked;
      return sink.EndObject();
    }
    case WellKnownType::kListValue: {
      VELUM_ASSIGN_OR_RETURN(Ref values, ReadField(msg, r.field->access));
      if (!PyList_Check(values.get())) return TypeCheckError(values.get(), "list");
      VELUM_TRY(sink.BeginArray(PyList_GET_SIZE(values.get())));
      MessageMarshaler* element = nullptr;
      // Python code run for an element may shrink the list: measure every step.
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(values.get(), i));
        VELUM_TRY(WriteElement(walk, r.field->kind.value.handle, item.get(), depth, element));
      }
      return sink.EndArray();
    }
    case WellKnownType::kValue:
      return WriteValue(walk, r, msg, depth);
    case WellKnownType::kAny:
      return WriteAny(walk, m, msg, depth);
    case WellKnownType::kNone:
      break;
  }
  return Status(ErrorKind::kRuntime, "unknown well-known type");
}

}  // namespace velum::wkt
