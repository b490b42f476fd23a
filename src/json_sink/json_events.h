// The events a JSON writer sends to its sink. Both sinks offer the same
// operations; the writer is a template over the sink, so every event is a
// direct (usually inlined) call rather than a virtual one.
#pragma once

#include <concepts>
#include <span>
#include <cstdint>
#include <string_view>

#include "common/ref.h"
#include "common/status.h"

namespace velum::json_sink {

// PyObject* arguments are borrowed: `str` objects for names and strings, a
// `bytes` or `bytearray` for Bytes (written as standard Base64 text); a
// std::string_view is UTF-8. BeginObject(members) says how many members are
// likely, so the value tree can size its dict once; BeginArray(items) how many
// elements are likely, so it can size its list once. MemberName(name, key)
// offers a field's prepared key text (see FieldSpec), empty when there is
// none, beside its name. The writer pairs every begin with an end and every
// member name with one value; sinks place separators themselves.
template <class S>
concept JsonSink = requires(S& sink, PyObject* object, std::string_view text, int64_t number, bool flag) {
  { sink.BeginObject() } -> std::same_as<Status>;
  { sink.BeginObject(Py_ssize_t{0}) } -> std::same_as<Status>;
  { sink.EndObject() } -> std::same_as<Status>;
  { sink.BeginArray() } -> std::same_as<Status>;
  { sink.BeginArray(Py_ssize_t{0}) } -> std::same_as<Status>;
  { sink.EndArray() } -> std::same_as<Status>;
  { sink.MemberName(object) } -> std::same_as<Status>;
  { sink.MemberName(text) } -> std::same_as<Status>;
  { sink.MemberName(object, text) } -> std::same_as<Status>;
  { sink.Null() } -> std::same_as<Status>;
  { sink.Boolean(flag) } -> std::same_as<Status>;
  { sink.Integer(number) } -> std::same_as<Status>;
  { sink.Integer(number, object) } -> std::same_as<Status>;
  { sink.QuotedInteger(number) } -> std::same_as<Status>;
  { sink.QuotedUnsigned(uint64_t{0}) } -> std::same_as<Status>;
  { sink.String(text) } -> std::same_as<Status>;
  { sink.PythonString(object) } -> std::same_as<Status>;
  { sink.PythonNumber(object) } -> std::same_as<Status>;
  { sink.Bytes(object) } -> std::same_as<Status>;
  { sink.Finish() } -> std::same_as<Result<Ref>>;
};

// The content of a `bytes` or `bytearray` (subclasses included), borrowed.
inline std::span<const uint8_t> ByteContent(PyObject* data) noexcept {
  if (PyBytes_Check(data)) {
    return {reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data)), static_cast<size_t>(PyBytes_GET_SIZE(data))};
  }
  return {reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(data)),
          static_cast<size_t>(PyByteArray_GET_SIZE(data))};
}

}  // namespace velum::json_sink
