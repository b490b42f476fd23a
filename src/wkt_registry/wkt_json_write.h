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
[[gnu::cold]] Status NoValueSet();
[[gnu::cold]] Status NotFinite();
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
    if (depth + 1 > kMaxDepth) return DepthError("serializing");
    return WriteWellKnown(walk, *declared, value, depth + 1);
  }
  return walk.WriteMessageValue(handle, value, depth);
}

// A Value whose member runs no Python code when written (a str, an exact
// float or bool, null), written from its Oneof: the Oneof is read from its
// slot without being held. False, with nothing written, for any other.
template <class Sink>
[[gnu::always_inline]] inline bool WritePlainValue(Sink& sink, const WellKnownRecord& r, PyObject* msg,
                                                   Status& written) {
  const FieldAccess& access = r.member(ValueMember::kNull).access;
  if (!access.is_slot()) [[unlikely]]
    return false;
  PyObject* kind = *SlotAddress(msg, access.offset());
  if (kind == nullptr || !oneof::Check(kind)) [[unlikely]]
    return false;
  PyObject* field = oneof::Field(kind);
  PyObject* value = oneof::Value(kind);
  if (field == r.member_name(ValueMember::kString) && PyUnicode_Check(value)) {
    written = sink.PythonString(value);
  } else if (field == r.member_name(ValueMember::kNumber) && PyFloat_CheckExact(value)) {
    written = std::isfinite(PyFloat_AS_DOUBLE(value)) ? sink.PythonNumber(value) : write_detail::NotFinite();
  } else if (field == r.member_name(ValueMember::kBool) && PyBool_Check(value)) {
    written = sink.Boolean(value == Py_True);
  } else if (field == r.member_name(ValueMember::kNull)) {
    written = sink.Null();
  } else {
    return false;
  }
  return true;
}

// A Value from its Oneof: the plain members as above, the others under a
// hold, since what they run may replace the Oneof and free its members.
template <class Walk>
[[gnu::always_inline]] inline Status WriteValue(Walk& walk, const WellKnownRecord& r, PyObject* msg, uint32_t depth) {
  Status written;
  if (WritePlainValue(walk.sink(), r, msg, written)) [[likely]]
    return written;
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
    if (depth + 1 > kMaxDepth) return DepthError("serializing");
    return WriteValue(walk, RecordOf(*declared), value, depth + 1);
  }
  return walk.WriteMessageValue(handle, value, depth);
}

// An element of Struct or ListValue that is a plain Value of exactly the
// declared class (see WritePlainValue): written without a hold, as writing
// it runs no Python code. False, with nothing written, for any other.
// `declared` as for WriteElement.
template <class Walk>
[[gnu::always_inline]] inline bool WritePlainElement(Walk& walk, MessageHandle* handle, PyObject* value,
                                                     uint32_t depth, MessageMarshaler*& declared, Status& written) {
  if (declared == nullptr) [[unlikely]] {
    Result<MessageMarshaler*> resolved = Resolve(handle);
    if (!resolved.ok()) {
      written = std::move(resolved).status();
      return true;
    }
    declared = resolved.value();
  }
  if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(declared->message_class.get()) ||
      declared->well_known != WellKnownType::kValue || depth + 1 > kMaxDepth) [[unlikely]]
    return false;
  return WritePlainValue(walk.sink(), RecordOf(*declared), value, written);
}

// An element of a Struct or ListValue, borrowed: a plain Value is written as
// it is; any other is held while written, as writing it may run Python code.
template <class Walk>
[[gnu::always_inline]] inline Status WriteContainerElement(Walk& walk, MessageHandle* handle, PyObject* value,
                                                           uint32_t depth, MessageMarshaler*& declared) {
  Status written;
  if (WritePlainElement(walk, handle, value, depth, declared, written)) [[likely]]
    return written;
  Ref held = Ref::borrow(value);
  return WriteElement(walk, handle, held.get(), depth, declared);
}

// The members of a Struct. The common entry (a str key, a plain Value) runs
// no Python code while written, so nothing can change the dict under it and
// it is written from the borrowed key and value; any other value is held
// while written, and the dict measured again after it.
template <class Walk>
Status WriteStructFields(Walk& walk, const WellKnownRecord& r, PyObject* dict, uint32_t depth) {
  auto& sink = walk.sink();
  MessageHandle* const handle = r.field->kind.value.handle;
  MessageMarshaler* element = nullptr;
  DictCursor entries(dict);
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (entries.Next(key, value)) {
    if (!PyUnicode_Check(key)) [[unlikely]]
      return TypeCheckError(key, "str");
    // Objects of a document mostly share their keys: a sink may keep their text.
    if constexpr (requires { sink.RepeatedMemberName(key); }) {
      VELUM_TRY(sink.RepeatedMemberName(key));
    } else {
      VELUM_TRY(sink.MemberName(key));
    }
    VELUM_TRY(WriteContainerElement(walk, handle, value, depth, element));
    VELUM_TRY(entries.Unchanged());
  }
  return entries.Finish();
}

// The elements of a ListValue, as WriteStructFields: plain Values borrowed,
// the others held. Python code run for an element may shrink the list, so
// it is measured at every step.
template <class Walk>
Status WriteListValues(Walk& walk, const WellKnownRecord& r, PyObject* list, uint32_t depth) {
  MessageHandle* const handle = r.field->kind.value.handle;
  MessageMarshaler* element = nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    VELUM_TRY(WriteContainerElement(walk, handle, PyList_GET_ITEM(list, i), depth, element));
  }
  return Status::Ok();
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

// The "@type" member of an Any: from the text the call prepared for its last
// URL when the sink takes prepared members and `url` is that very str.
template <class Sink>
[[gnu::always_inline]] inline Status WriteTypeMember(Sink& sink, const JsonWriteOptions& options,
                                                     const WellKnownRecord& r, PyObject* url) {
  if constexpr (requires { sink.PreparedMember(std::string_view()); }) {
    const AnyWriteMemo::State* memo = options.any_memo.get();
    if (memo != nullptr && memo->url.get() == url && !memo->type_member.empty()) [[likely]]
      return sink.PreparedMember(std::string_view(memo->type_member.data(), memo->type_member.size()));
  }
  VELUM_TRY(sink.MemberName(r.type_key.get(), std::string_view(",\"@type\":")));
  return sink.PythonString(url);
}

// An Any whose payload is decoded into an instance first: packed well-known
// types, and payloads the short road does not take. Out of line, so that the
// common road stays short.
template <class Walk>
[[gnu::noinline]] Status WriteDecodedAny(Walk& walk, const WellKnownRecord& r, const MessageMarshaler& packed,
                                         PyObject* url, PyObject* value, uint32_t depth) {
  auto& sink = walk.sink();
  VELUM_ASSIGN_OR_RETURN(Ref instance, write_detail::DecodePacked(packed, value));
  VELUM_TRY(sink.BeginObject());
  VELUM_TRY(WriteTypeMember(sink, walk.options(), r, url));
  if (packed.well_known != WellKnownType::kNone) {
    VELUM_TRY(sink.MemberName(r.value_key.get()));
    VELUM_TRY(walk.WriteMessage(packed, instance.get(), depth + 1));
  } else {
    if (depth + 1 > kMaxDepth) return DepthError("serializing");
    VELUM_TRY(walk.WriteMembers(packed, instance.get(), depth + 1));
  }
  return sink.EndObject();
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
  if (!direct) [[unlikely]]
    return WriteDecodedAny(walk, r, packed, any.url.get(), any.value.get(), depth);
  VELUM_TRY(sink.BeginObject());
  VELUM_TRY(WriteTypeMember(sink, walk.options(), r, any.url.get()));
  // A packed well-known type never takes the short road (ReadsPackedDirectly).
  if (depth + 1 > kMaxDepth) return DepthError("serializing");
  VELUM_TRY(WritePackedFields(walk, packed, fields));
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
      VELUM_TRY(WriteStructFields(walk, r, fields.get(), depth));
      return sink.EndObject();
    }
    case WellKnownType::kListValue: {
      VELUM_ASSIGN_OR_RETURN(Ref values, ReadField(msg, r.field->access));
      if (!PyList_Check(values.get())) return TypeCheckError(values.get(), "list");
      VELUM_TRY(sink.BeginArray(PyList_GET_SIZE(values.get())));
      VELUM_TRY(WriteListValues(walk, r, values.get(), depth));
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
