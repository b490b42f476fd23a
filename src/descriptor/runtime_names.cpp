#include "descriptor/runtime_names.h"

#include <atomic>
#include <cstring>
#include <iterator>

#include "common/once.h"

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

OnceGate g_gate;
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
