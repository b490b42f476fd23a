#include "wkt_registry/wkt_record.h"

#include <new>

#include "common/raw_alloc.h"
#include "descriptor/enum_table.h"

namespace velum::wkt {

namespace {

// In the order of ValueMember.
constexpr const char* kValueMemberNames[] = {"null_value", "number_value", "string_value",
                                             "bool_value", "struct_value", "list_value"};

const FieldSpec* FieldNamed(const MessageMarshaler& m, const char* local_name) noexcept {
  for (const FieldSpec& f : m.fields) {
    if (PyUnicode_CompareWithASCIIString(f.local_name.get(), local_name) == 0) return &f;
  }
  return nullptr;
}

bool IsSingular(const FieldSpec* f, ValueKind kind) noexcept { return f != nullptr && f->kind.kind == kind; }

bool IsScalar(const FieldSpec* f, ScalarType type) noexcept {
  return IsSingular(f, ValueKind::kScalar) && f->kind.value.scalar == type;
}

bool IsListOf(const FieldSpec* f, ElementTag tag) noexcept {
  return IsSingular(f, ValueKind::kList) && f->kind.value.tag == tag;
}

// Fills `r` from `m`'s fields; false when a field is missing or of another kind.
bool Recognise(const MessageMarshaler& m, WellKnownRecord& r) {
  switch (r.kind) {
    case WellKnownType::kTimestamp:
    case WellKnownType::kDuration:
      r.seconds = FieldNamed(m, "seconds");
      r.nanos = FieldNamed(m, "nanos");
      return IsScalar(r.seconds, ScalarType::kInt64) && IsScalar(r.nanos, ScalarType::kInt32);
    case WellKnownType::kFieldMask:
      r.field = FieldNamed(m, "paths");
      return IsListOf(r.field, ElementTag::kScalar) && r.field->kind.value.scalar == ScalarType::kString;
    case WellKnownType::kStruct:
      r.field = FieldNamed(m, "fields");
      return IsSingular(r.field, ValueKind::kMap) && r.field->kind.map_key == ScalarType::kString &&
             r.field->kind.value.tag == ElementTag::kMessage;
    case WellKnownType::kListValue:
      r.field = FieldNamed(m, "values");
      return IsListOf(r.field, ElementTag::kMessage);
    case WellKnownType::kWrapper:
      r.field = FieldNamed(m, "value");
      return IsSingular(r.field, ValueKind::kScalar);
    case WellKnownType::kAny:
      r.type_url = FieldNamed(m, "type_url");
      r.any_value = FieldNamed(m, "value");
      return IsScalar(r.type_url, ScalarType::kString) && IsScalar(r.any_value, ScalarType::kBytes);
    case WellKnownType::kValue: {
      for (size_t i = 0; i < std::size(kValueMemberNames); ++i) {
        r.members[i] = FieldNamed(m, kValueMemberNames[i]);
        // The form reads and writes one oneof attribute: all six must share it.
        if (r.members[i] == nullptr || !r.members[i]->in_oneof() ||
            r.members[i]->kind.kind == ValueKind::kList || r.members[i]->kind.kind == ValueKind::kMap) {
          return false;
        }
        if (r.members[i]->kind.oneof_name.get() != r.members[0]->kind.oneof_name.get() &&
            PyUnicode_Compare(r.members[i]->kind.oneof_name.get(), r.members[0]->kind.oneof_name.get()) != 0) {
          PyErr_Clear();
          return false;
        }
      }
      const FieldSpec& null_member = r.member(ValueMember::kNull);
      if (null_member.kind.value.tag != ElementTag::kEnum) return false;
      r.null_value = null_member.kind.value.table->default_value.get();
      return r.member(ValueMember::kNumber).kind.value.tag == ElementTag::kScalar &&
             r.member(ValueMember::kNumber).kind.value.scalar == ScalarType::kDouble &&
             IsScalar(&r.member(ValueMember::kString), ScalarType::kString) &&
             IsScalar(&r.member(ValueMember::kBool), ScalarType::kBool) &&
             r.member(ValueMember::kStruct).kind.value.tag == ElementTag::kMessage &&
             r.member(ValueMember::kList).kind.value.tag == ElementTag::kMessage;
    }
    case WellKnownType::kNone:
      break;
  }
  return false;
}

Result<WellKnownRecord*> Build(const MessageMarshaler& m, WellKnownType kind) {
  WellKnownRecord* record = nullptr;
  try {
    record = RawNew<WellKnownRecord>();
  } catch (const std::bad_alloc&) {
    return Status(ErrorKind::kMemory, "out of memory");
  }
  record->kind = kind;
  if (!Recognise(m, *record)) {
    RawDelete(record);
    return static_cast<WellKnownRecord*>(nullptr);
  }
  if (kind == WellKnownType::kValue) {
    for (size_t i = 0; i < std::size(kValueMemberNames); ++i) {
      record->member_names[i] = Ref::steal(PyUnicode_InternFromString(kValueMemberNames[i]));
      if (!record->member_names[i]) {
        RawDelete(record);
        return Status::Pending();
      }
    }
  }
  if (kind == WellKnownType::kAny) {
    record->type_key = Ref::steal(PyUnicode_InternFromString("@type"));
    record->value_key = Ref::steal(PyUnicode_InternFromString("value"));
    if (!record->type_key || !record->value_key) {
      RawDelete(record);
      return Status::Pending();
    }
  }
  return record;
}

void Release(WellKnownRecord* record) noexcept { RawDelete(record); }

}  // namespace

void InstallWellKnownHooks() noexcept { SetWellKnownHooks(WellKnownHooks{Build, Release}); }

}  // namespace velum::wkt
