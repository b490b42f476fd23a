#include "descriptor/runtime_names.h"

#include <atomic>
#include <cstring>
#include <iterator>

#include "common/once.h"

#include <structmember.h>

namespace velum {

namespace {

constexpr const char* kNameTexts[] = {
    "_defaults", "delimited_encoding", "_desc", "element", "enum", "extension", "extension_for",
    "_ext_marshaler", "_ext_value_type", "fields", "_fields_by_name", "file", "json_name", "key",
    "local_name", "message", "name", "number", "oneof", "_oneofs_by_local_name", "open", "packed",
    "presence", "_requires_presence", "scalar", "type_name", "type", "value", "values", "__new__",
};
static_assert(std::size(kNameTexts) == static_cast<size_t>(Name::kCount));

constexpr const char* kClassNames[] = {
    "DescField",          "DescFieldValueScalar", "DescFieldValueEnum", "DescFieldValueMessage",
    "DescFieldValueList", "DescFieldValueMap",    "ScalarType",         "DescMessage",
    "DescEnum",
};
static_assert(std::size(kClassNames) == static_cast<size_t>(RuntimeClass::kCount));

constexpr const char* kRawSlotKeys[] = {
    "DescMessage.type",    "DescMessage._resolve",   "DescMessage.fields",  "DescMessage._fields_by_name",
    "DescMessage._oneofs_by_local_name", "DescMessage._defaults", "DescEnum.type", "DescEnum._ext_table",
};
static_assert(std::size(kRawSlotKeys) == static_cast<size_t>(RawSlot::kCount));

OnceGate g_gate;

// Offsets of the slots the runtime publishes in `_NATIVE_SLOTS`; a missing or
// unusable entry leaves its offset at -1.
Status ReadRawSlots(PyObject* module, RuntimeNames* record) {
  for (Py_ssize_t& offset : record->raw_slots) offset = -1;
  Ref slots = Ref::steal(PyObject_GetAttrString(module, "_NATIVE_SLOTS"));
  if (!slots || !PyDict_Check(slots.get())) {
    PyErr_Clear();
    return Status::Ok();
  }
  for (size_t i = 0; i < std::size(kRawSlotKeys); ++i) {
    PyObject* member = PyDict_GetItemString(slots.get(), kRawSlotKeys[i]);
    if (member == nullptr || !Py_IS_TYPE(member, &PyMemberDescr_Type)) continue;
    const PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
    if (def != nullptr && def->type == Py_T_OBJECT_EX && def->offset > 0) record->raw_slots[i] = def->offset;
  }
  record->enum_default_class = Ref::steal(PyObject_GetAttrString(module, "EnumDefault"));
  if (!record->enum_default_class || !PyType_Check(record->enum_default_class.get())) {
    PyErr_Clear();
    record->enum_default_class.reset();
  }
  return Status::Ok();
}
std::atomic<const RuntimeNames*> g_names{nullptr};

Status Build() {
  Ref module = Ref::steal(PyImport_ImportModule("velum._descriptors"));
  if (!module) return Status::Pending();
  // Built in a raw block so that a failure part-way releases what was made.
  RuntimeNames* record = RawNew<RuntimeNames>();
  auto discard = [&] { RawDelete(record); };
  for (size_t i = 0; i < std::size(kNameTexts); ++i) {
    PyObject* text = PyUnicode_FromStringAndSize(kNameTexts[i], static_cast<Py_ssize_t>(strlen(kNameTexts[i])));
    if (text == nullptr) {
      discard();
      return Status::Pending();
    }
    PyUnicode_InternInPlace(&text);
    record->names[i] = Ref::steal(text);
  }
  for (size_t i = 0; i < std::size(kClassNames); ++i) {
    Ref cls = Ref::steal(PyObject_GetAttrString(module.get(), kClassNames[i]));
    if (!cls) {
      discard();
      return Status::Pending();
    }
    if (!PyType_Check(cls.get())) {
      discard();
      return Status(ErrorKind::kType, RawString("velum._descriptors.") + kClassNames[i] +
                                          " cannot be converted to a type");
    }
    record->classes[i] = std::move(cls);
  }
  if (Status read = ReadRawSlots(module.get(), record); !read.ok()) {
    discard();
    return read;
  }
  g_names.store(record, std::memory_order_release);
  return Status::Ok();
}

}  // namespace

Result<const RuntimeNames*> GetRuntimeNames() {
  if (const RuntimeNames* ready = g_names.load(std::memory_order_acquire)) [[likely]] {
    return ready;
  }
  VELUM_TRY(g_gate.Run(Build));
  return g_names.load(std::memory_order_acquire);
}

const RuntimeNames* RuntimeNamesIfReady() noexcept { return g_names.load(std::memory_order_acquire); }

}  // namespace velum
