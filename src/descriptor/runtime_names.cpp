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
    "DescEnum",           "DescEnumValue",
};
static_assert(std::size(kClassNames) == static_cast<size_t>(RuntimeClass::kCount));

constexpr const char* kRawSlotKeys[] = {
    "DescMessage.type",    "DescMessage._resolve",   "DescMessage.fields",  "DescMessage._fields_by_name",
    "DescMessage._oneofs_by_local_name", "DescMessage._defaults", "DescEnum.type", "DescEnum._ext_table",
};
static_assert(std::size(kRawSlotKeys) == static_cast<size_t>(RawSlot::kCount));

OnceGate g_gate;

// The byte offset of a plain object slot behind `member`, or -1.
Py_ssize_t SlotOffset(PyObject* member) {
  if (member == nullptr || !Py_IS_TYPE(member, &PyMemberDescr_Type)) return -1;
  const PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(member)->d_member;
  return def != nullptr && def->type == Py_T_OBJECT_EX && def->offset > 0 ? def->offset : -1;
}

// Plain slots of the runtime classes, found by name in each class's dict.
Status ReadPlainSlots(RuntimeNames* record) {
  for (size_t c = 0; c < std::size(kClassNames); ++c) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(record->classes[c].get())->tp_dict;
    for (size_t n = 0; n < std::size(kNameTexts); ++n) {
      PyObject* member = dict == nullptr ? nullptr : PyDict_GetItemWithError(dict, record->names[n].get());
      if (member == nullptr && PyErr_Occurred()) return Status::Pending();
      record->offsets[c][n] = SlotOffset(member);
    }
  }
  return Status::Ok();
}

// The slots the runtime publishes in `_NATIVE_SLOTS` (those behind its lazy
// properties) and its EnumDefault class; whatever is missing stays unused.
void ReadHiddenSlots(PyObject* module, RuntimeNames* record) {
  for (Py_ssize_t& offset : record->raw_slots) offset = -1;
  Ref slots = Ref::steal(PyObject_GetAttrString(module, "_NATIVE_SLOTS"));
  if (!slots) PyErr_Clear();
  if (slots && PyDict_Check(slots.get())) {
    for (size_t i = 0; i < std::size(kRawSlotKeys); ++i) {
      record->raw_slots[i] = SlotOffset(PyDict_GetItemString(slots.get(), kRawSlotKeys[i]));
    }
  }
  record->enum_default_class = Ref::steal(PyObject_GetAttrString(module, "EnumDefault"));
  if (!record->enum_default_class || !PyType_Check(record->enum_default_class.get())) {
    record->enum_default_class.reset();
  }
  PyErr_Clear();
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
  if (Status read = ReadPlainSlots(record); !read.ok()) {
    discard();
    return read;
  }
  ReadHiddenSlots(module.get(), record);
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
