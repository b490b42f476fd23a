// The packed message of an Any written straight from its bytes, for the
// common payloads: scalar, enum and list fields only. The values are read
// into a small array by field instead of a new instance, so writing skips
// the instance, its presence bits, its defaults and its deallocation.
//
// Anything the short road does not cover exactly as decode-then-write would
// (an unknown or misplaced record, a malformed one, a closed enum's unknown
// number, a failed conversion) makes the reading report "not read", and the
// caller decodes and writes the usual way, which then reports what it finds.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "field_ops/field_default.h"
#include "json_sink/json_scalar.h"
#include "parser/wire_reader.h"

namespace velum::wkt {

// The field values of one packed message, by field-table position: the last
// value of a singular field, a list of every element of a list field; null
// for a field with no record. For JSON text, string fields keep their text
// in the payload instead: the last text of a singular one, the number of
// texts of a list (read again in order when written); a value tree needs
// the str anyway. Only the type's own fields are set up.
class PackedFields {
 public:
  static constexpr size_t kMaxFields = 32;

  PackedFields(size_t count, PyObject* payload, bool texts_in_payload) noexcept
      : count_(count < kMaxFields ? count : kMaxFields), payload_(payload), texts_in_payload_(texts_in_payload) {
    for (size_t i = 0; i < count_; ++i) {
      values_[i] = nullptr;
      texts_[i] = {};
    }
  }
  PackedFields(const PackedFields&) = delete;
  PackedFields& operator=(const PackedFields&) = delete;
  ~PackedFields() {
    for (size_t i = 0; i < count_; ++i) Py_XDECREF(values_[i]);
  }

  PyObject* get(size_t i) const noexcept { return values_[i]; }
  // Takes `value` (a new reference) as field i's, dropping the one held.
  void Set(size_t i, PyObject* value) noexcept {
    PyObject* old = values_[i];
    values_[i] = value;
    Py_XDECREF(old);
  }
  void Clear() noexcept {
    for (size_t i = 0; i < count_; ++i) {
      Py_CLEAR(values_[i]);
      texts_[i] = {};
    }
  }

  // Text fields: `data` is null while the field has no record. Plain data,
  // so that the array below is not cleared whole for every payload: only
  // the type's own fields are set up.
  struct Text {
    const char* data;
    size_t size;  // singular: the text's bytes; list: how many texts
  };
  const Text& text(size_t i) const noexcept { return texts_[i]; }
  Text& text(size_t i) noexcept { return texts_[i]; }
  PyObject* payload() const noexcept { return payload_; }
  // Whether `f`, a field of the type, keeps its text in the payload.
  bool InPayload(const FieldSpec& f) const noexcept {
    return texts_in_payload_ && f.kind.value.tag == ElementTag::kScalar && f.kind.value.scalar == ScalarType::kString;
  }

 private:
  size_t count_;
  PyObject* payload_;  // borrowed: the bytes object read
  bool texts_in_payload_;
  PyObject* values_[kMaxFields];
  Text texts_[kMaxFields];
};

// The texts of one list field of a payload, in order. Every record was
// checked by ReadPackedFields.
class PayloadTexts {
 public:
  // `payload` is a bytes object, alive while this is.
  PayloadTexts(PyObject* payload, uint32_t number) noexcept
      : input_(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(payload)),
               static_cast<size_t>(PyBytes_GET_SIZE(payload))),
        reader_(input_.ref()),
        number_(number) {}
  PayloadTexts(const PayloadTexts&) = delete;
  PayloadTexts& operator=(const PayloadTexts&) = delete;
  // False at the end, or at a record that no longer reads.
  bool Next(std::string_view& text) noexcept;

 private:
  wire::ScopedInput input_;  // declared first: the reader's handle on it goes first
  wire::WireReader reader_;
  uint32_t number_;
};

// Whether messages of `m` can take the short road: a plain message type whose
// instances live in slots and are created natively, with at most kMaxFields
// scalar, enum or list fields, none of them required, in a oneof, or with
// presence that is not tracked.
bool ReadsPackedDirectly(const MessageMarshaler& m) noexcept;

// Reads `data`, the packed bytes of a message of `m` (ReadsPackedDirectly),
// into `out`. False when they are not for the short road (a bytearray among
// them, which Python code run for an enum could change under the reading);
// no Python error is left set then.
bool ReadPackedFields(const MessageMarshaler& m, PyObject* data, PackedFields& out);

// The members of `fields` into an object the caller has begun, as the walk
// writes the members of a decoded instance: field-table order, implicit
// presence skipped at the default, empty lists skipped. Only for calls that
// do not emit implicit defaults.
template <class Walk>
Status WritePackedFields(Walk& walk, const MessageMarshaler& m, const PackedFields& fields) {
  auto& sink = walk.sink();
  const auto& options = walk.options();
  for (size_t i = 0; i < m.fields.size(); ++i) {
    const FieldSpec& f = m.fields[i];
    const bool text = fields.InPayload(f);
    PyObject* value = fields.get(i);
    const PackedFields::Text& texts = fields.text(i);
    if (text ? texts.data == nullptr : value == nullptr) continue;
    if (f.shape == FieldShape::kList) {
      if (!text && PyList_GET_SIZE(value) == 0) continue;
    } else if (f.presence == Presence::kImplicit) {
      // A string is at its default when empty.
      const int set = text ? texts.size != 0 : HoldsNonDefault(f, value);
      if (set < 0) return Status::Pending();
      if (set == 0) continue;
    }
    if (options.use_proto_field_name) {
      VELUM_TRY(sink.MemberName(f.name.get(), std::string_view(f.proto_key)));
    } else {
      VELUM_TRY(sink.MemberName(f.json_name.get(), std::string_view(f.json_key)));
    }
    if (text) {
      if (f.shape != FieldShape::kList) {
        VELUM_TRY(sink.String(std::string_view(texts.data, texts.size)));
        continue;
      }
      VELUM_TRY(sink.BeginArray());
      PayloadTexts items(fields.payload(), f.number);
      std::string_view item;
      for (size_t k = 0; k < texts.size; ++k) {
        if (!items.Next(item)) return Status(ErrorKind::kRuntime, "packed payload changed while written");
        VELUM_TRY(sink.String(item));
      }
      VELUM_TRY(sink.EndArray());
      continue;
    }
    const ElementKind& kind = f.kind.value;
    const auto write_one = [&](PyObject* item) -> Status {
      if (kind.tag == ElementTag::kEnum) {
        return json_sink::WriteEnum(sink, *kind.table, item, options.print_enums_as_ints);
      }
      return json_sink::WriteScalar(sink, kind.scalar, item);
    };
    if (f.shape != FieldShape::kList) {
      VELUM_TRY(write_one(value));
      continue;
    }
    VELUM_TRY(sink.BeginArray());
    // The list is private to this call: nothing can change it under the walk.
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(value); ++k) VELUM_TRY(write_one(PyList_GET_ITEM(value, k)));
    VELUM_TRY(sink.EndArray());
  }
  return Status::Ok();
}

}  // namespace velum::wkt
