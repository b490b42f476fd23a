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

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "field_ops/field_default.h"
#include "json_sink/json_scalar.h"

namespace velum::wkt {

// The field values of one packed message, by field-table position: the last
// value of a singular field, a list of every element of a list field; null
// for a field with no record. Only the type's own fields are set up.
class PackedFields {
 public:
  static constexpr size_t kMaxFields = 32;

  explicit PackedFields(size_t count) noexcept : count_(count < kMaxFields ? count : kMaxFields) {
    for (size_t i = 0; i < count_; ++i) values_[i] = nullptr;
  }
  PackedFields(const PackedFields&) = delete;
  PackedFields& operator=(const PackedFields&) = delete;
  ~PackedFields() { Clear(); }

  PyObject* get(size_t i) const noexcept { return values_[i]; }
  // Takes `value` (a new reference) as field i's, dropping the one held.
  void Set(size_t i, PyObject* value) noexcept {
    PyObject* old = values_[i];
    values_[i] = value;
    Py_XDECREF(old);
  }
  void Clear() noexcept {
    for (size_t i = 0; i < count_; ++i) Py_CLEAR(values_[i]);
  }

 private:
  size_t count_;
  PyObject* values_[kMaxFields];
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
    PyObject* value = fields.get(i);
    if (value == nullptr) continue;
    if (f.shape == FieldShape::kList) {
      if (PyList_GET_SIZE(value) == 0) continue;
    } else if (f.presence == Presence::kImplicit) {
      const int set = HoldsNonDefault(f, value);
      if (set < 0) return Status::Pending();
      if (set == 0) continue;
    }
    if (options.use_proto_field_name) {
      VELUM_TRY(sink.MemberName(f.name.get(), std::string_view(f.proto_key)));
    } else {
      VELUM_TRY(sink.MemberName(f.json_name.get(), std::string_view(f.json_key)));
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
