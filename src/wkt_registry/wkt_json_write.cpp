#include "wkt_registry/wkt_json_write.h"

#include <cstring>

#include "common/arg_binding.h"
#include "field_ops/scalar_convert.h"
#include "json_sink/json_escape.h"
#include "parser/decode_input.h"
#include "wkt_registry/duration_text.h"
#include "wkt_registry/field_mask_path.h"
#include "wkt_registry/text_error.h"
#include "wkt_registry/timestamp_text.h"
#include "wkt_registry/type_registry.h"
#include "wkt_registry/unicode_case.h"

namespace velum::wkt::write_detail {

namespace {

std::string_view Utf8Of(PyObject* text, Py_ssize_t& size) {
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  return data == nullptr ? std::string_view() : std::string_view(data, static_cast<size_t>(size));
}

}  // namespace

namespace {

// The int in a slot when it is an exact int within [lo, hi]: read without a
// hold, as nothing runs between the read and its use. False for anything
// else, which the general read below checks and reports.
bool SlotInt(PyObject* msg, const FieldAccess& access, int64_t lo, int64_t hi, int64_t* out) noexcept {
  if (!access.is_slot()) return false;
  PyObject* value = *SlotAddress(msg, access.offset());
  return value != nullptr && ReadExactInt(value, out) && *out >= lo && *out <= hi;
}

}  // namespace

Status TimeTextOf(const WellKnownRecord& r, PyObject* msg, TimeText& out) {
  int64_t seconds_fast = 0;
  int64_t nanos_fast = 0;
  if (SlotInt(msg, r.seconds->access, INT64_MIN, INT64_MAX, &seconds_fast) &&
      SlotInt(msg, r.nanos->access, INT32_MIN, INT32_MAX, &nanos_fast)) [[likely]] {
    const SecondsNanos value{seconds_fast, static_cast<int32_t>(nanos_fast)};
    const TextError error =
        r.kind == WellKnownType::kTimestamp ? FormatTimestamp(value, out) : FormatDuration(value, out);
    return error == TextError::kOk ? Status() : ToStatus(error);
  }
  VELUM_ASSIGN_OR_RETURN(Ref seconds_obj, ReadField(msg, r.seconds->access));
  long long seconds = 0;
  // Small exact ints, nearly every time value, are read inline.
  VELUM_TRY(json_sink::scalar_detail::SignedValue(seconds_obj.get(), INT64_MIN, INT64_MAX, "int64", &seconds));
  VELUM_ASSIGN_OR_RETURN(Ref nanos_obj, ReadField(msg, r.nanos->access));
  long long nanos = 0;
  VELUM_TRY(json_sink::scalar_detail::SignedValue(nanos_obj.get(), INT32_MIN, INT32_MAX, "int32", &nanos));
  const SecondsNanos value{seconds, static_cast<int32_t>(nanos)};
  const TextError error = r.kind == WellKnownType::kTimestamp ? FormatTimestamp(value, out) : FormatDuration(value, out);
  return error == TextError::kOk ? Status() : ToStatus(error);
}

Status FieldMaskText(const WellKnownRecord& r, PyObject* msg, RawString& out) {
  VELUM_ASSIGN_OR_RETURN(Ref paths, ReadField(msg, r.field->access));
  if (!PyList_Check(paths.get())) return TypeCheckError(paths.get(), "list");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths.get()); ++i) {
    Ref path = Ref::borrow(PyList_GET_ITEM(paths.get(), i));
    if (!PyUnicode_Check(path.get())) return TypeCheckError(path.get(), "str");
    Py_ssize_t size = 0;
    const std::string_view text = Utf8Of(path.get(), size);
    if (text.data() == nullptr) return Status::Pending();
    if (!IsReversiblePath(text)) {
      return FormatError(ErrorKind::kValue, "invalid FieldMask path: lowerCamelCase of %U is irreversible",
                         path.get());
    }
    try {
      if (i != 0) out.push_back(',');
    } catch (const std::bad_alloc&) {
      return Status(ErrorKind::kMemory, "out of memory");
    }
    // A reversible path is ASCII: no Unicode casing is needed.
    switch (LowerCamelPath(text, nullptr, out)) {
      case PathCase::kOk: break;
      case PathCase::kNoMemory: return Status(ErrorKind::kMemory, "out of memory");
      default: return Status(ErrorKind::kRuntime, "FieldMask path conversion failed");
    }
  }
  return Status();
}

Status NoValueSet() { return Status(ErrorKind::kValue, "value must have exactly one field set"); }

Status NotFinite() { return Status(ErrorKind::kValue, "value cannot be NaN or Infinity"); }

namespace {

// Equality of two str: a str is always stored at its narrowest width, so
// equal texts share width and length and have the same data.
bool SameText(PyObject* a, PyObject* b) noexcept {
  if (a == b) return true;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * PyUnicode_KIND(a)) == 0;
}

}  // namespace

// Called for every Value written: no Python comparison, which would cost more
// than writing the value itself.
Result<ValueMember> MemberOf(const WellKnownRecord& r, PyObject* field) {
  for (size_t i = 0; i < static_cast<size_t>(ValueMember::kCount); ++i) {
    if (SameText(field, r.members[i]->local_name.get())) return static_cast<ValueMember>(i);
  }
  return ValueMember::kCount;
}

Result<bool> BoolOf(PyObject* value) {
  bool flag = false;
  VELUM_TRY(args::ToBool(value, "bool_value", &flag));
  return flag;
}

namespace {

// The packed bytes, checked to be bytes or bytearray.
Status ReadPayload(const WellKnownRecord& r, PyObject* msg, Unpacked& out) {
  VELUM_ASSIGN_OR_RETURN(Ref value, ReadField(msg, r.any_value->access));
  if (!PyBytes_Check(value.get()) && !PyByteArray_Check(value.get())) return TypeCheckError(value.get(), "bytes");
  out.value = std::move(value);
  return Status::Ok();
}

// What ResolveType answers for the URL remembered in `last`, when `url` is
// that very str: its checks passed before and its key is known, so only the
// map is read again (the same lookup ResolveType makes). False when the map
// now answers otherwise; ResolveType then decides as always.
Result<bool> ResolveAsLast(const AnyWriteMemo::State* last, PyObject* url, PyObject* map, Unpacked& out) {
  if (last == nullptr || url != last->url.get() || map == nullptr) return false;
  PyObject* found = PyDict_GetItemWithError(map, last->key.get());
  if (found == nullptr && PyErr_Occurred()) return Status::Pending();
  if (found != last->desc.get()) return false;
  out.marshaler = Ref::borrow(last->marshaler.get());
  return true;
}

// `,"@type":"url"` for a URL of plain ASCII (nothing to escape), written
// whole for every Any that holds that str; else empty.
void PrepareTypeMember(PyObject* url, RawString& out) noexcept {
  out.clear();
  if (!PyUnicode_IS_COMPACT_ASCII(url)) return;
  const auto* text = static_cast<const char*>(PyUnicode_DATA(url));
  const auto size = static_cast<size_t>(PyUnicode_GET_LENGTH(url));
  if (json_sink::PlainRunLength(text, size) != size) return;
  try {
    out.append(",\"@type\":\"");
    out.append(text, size);
    out.push_back('"');
  } catch (const std::bad_alloc&) {
    out.clear();  // the member is then written as any other
  }
}

}  // namespace

Result<Unpacked> Unpack(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options) {
  const WellKnownRecord& r = RecordOf(m);
  PackedTypes& seen = options.packed_types;
  Unpacked out;
  VELUM_ASSIGN_OR_RETURN(Ref url, ReadField(msg, r.type_url->access));
  VELUM_ASSIGN_OR_RETURN(const bool known, ResolveAsLast(options.any_memo.get(), url.get(), seen.own_map(), out));
  if (known) {
    VELUM_TRY(ReadPayload(r, msg, out));
    out.url = std::move(url);
    return out;
  }
  if (!PyUnicode_Check(url.get())) return TypeCheckError(url.get(), "str");
  if (PyUnicode_GET_LENGTH(url.get()) == 0) return out;
  PyObject* registry = options.registry;
  if (registry == nullptr) return FormatError(ErrorKind::kValue, "any \"%U\" is not in the type registry", url.get());
  Py_ssize_t size = 0;
  const std::string_view text = Utf8Of(url.get(), size);
  if (text.data() == nullptr) return Status::Pending();
  if (text.back() == '/') return FormatError(ErrorKind::kValue, "invalid type url: %U", url.get());
  const std::string_view type_name = TypeNameOfUrl(text);
  VELUM_ASSIGN_OR_RETURN(out.marshaler, ResolveType(*m.names, registry, type_name, seen));
  if (!out.marshaler) {
    return FormatError(ErrorKind::kValue, "any: \"%U\" is not in the type registry", url.get());
  }
  // Remember what velum's own registry answered, under the key it was read by.
  if (seen.own_map() != nullptr) {
    const PackedTypes::Entry* entry = seen.Find(type_name.starts_with('.') ? type_name.substr(1) : type_name);
    if (entry != nullptr && entry->marshaler.get() == out.marshaler.get()) {
      if (AnyWriteMemo::State* memo = options.any_memo.Make()) {
        memo->url = Ref::borrow(url.get());
        memo->key = Ref::borrow(entry->name.get());
        memo->desc = Ref::borrow(entry->desc.get());
        memo->marshaler = Ref::borrow(entry->marshaler.get());
        PrepareTypeMember(url.get(), memo->type_member);
      }
    }
  }
  VELUM_TRY(ReadPayload(r, msg, out));
  out.url = std::move(url);
  return out;
}

Result<Ref> DecodePacked(const MessageMarshaler& packed, PyObject* value) {
  return DecodeNew(packed, value, false);
}

}  // namespace velum::wkt::write_detail
