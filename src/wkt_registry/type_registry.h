// The caller's type registry as the Any forms use it: `message(full_name)`
// answers None or an object whose `type` is a generated class, and that
// class's `_ext_marshaler` gives the packed type's tables.
#pragma once

#include <string_view>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "wkt_registry/packed_types.h"

namespace velum::wkt {

// The default prefix of the type URLs the reader stores.
inline constexpr std::string_view kTypeUrlPrefix = "type.googleapis.com/";

// The type name of a type URL: the text after its last "/", or all of it.
std::string_view TypeNameOfUrl(std::string_view url) noexcept;

// The marshaler object of the type `registry` knows as `type_name`; an empty
// Ref when the registry answers None. Errors of the registry propagate; an
// answer without a class, or a class without a marshaler, is a TypeError.
// velum's own Registry, used as it is, is read natively and its answers kept
// in `seen` for the rest of the call (the registry is recognised at the first
// Any of the call); any other registry is called each time.
Result<Ref> ResolveType(const RuntimeNames& names, PyObject* registry, std::string_view type_name,
                        PackedTypes& seen);

}  // namespace velum::wkt
