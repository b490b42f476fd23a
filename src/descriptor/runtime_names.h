// Interned attribute names and runtime classes, built once per process from
// velum._descriptors so that no hot path creates a name string.
#pragma once

#include "common/ref.h"
#include "common/status.h"

namespace velum {

enum class Name : uint8_t {
  kDefaults,
  kDelimitedEncoding,
  kDesc,
  kElement,
  kEnum,
  kExtension,
  kExtensionFor,
  kExtMarshaler,
  kExtValueType,
  kFields,
  kFieldsByName,
  kFile,
  kJsonName,
  kKey,
  kLocalName,
  kMessage,
  kName,
  kNumber,
  kOneof,
  kOneofsByLocalName,
  kOpen,
  kPacked,
  kPresence,
  kRequiresPresence,
  kScalar,
  kTypeName,
  kType,
  kValue,
  kValues,
  kNew,
  kCount,
};

enum class RuntimeClass : uint8_t {
  kDescField,
  kDescFieldValueScalar,
  kDescFieldValueEnum,
  kDescFieldValueMessage,
  kDescFieldValueList,
  kDescFieldValueMap,
  kScalarType,
  kDescMessage,
  kDescEnum,
  kCount,
};

struct RuntimeNames {
  Ref names[static_cast<int>(Name::kCount)];
  Ref classes[static_cast<int>(RuntimeClass::kCount)];

  PyObject* name(Name n) const noexcept { return names[static_cast<int>(n)].get(); }
  PyObject* cls(RuntimeClass c) const noexcept { return classes[static_cast<int>(c)].get(); }
};

// The process-wide record, built on first call. It is never freed, so the
// pointer stays valid for the life of the process.
Result<const RuntimeNames*> GetRuntimeNames();

// Null until GetRuntimeNames has succeeded once.
const RuntimeNames* RuntimeNamesIfReady() noexcept;

}  // namespace velum
