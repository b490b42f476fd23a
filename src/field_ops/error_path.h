// Where an error happened, for the note "while encoding pkg.M.items[3].cents":
// each level puts its segment in front as the error leaves it, so the success
// path builds nothing.
#pragma once

#include <cstdio>

#include "common/status.h"
#include "descriptor/marshaler.h"

namespace velum {

// `status` (failed) with ".{field}" in front of its path; the field's proto name.
[[gnu::cold]] inline Status AtField(Status status, const FieldSpec& f) noexcept {
  PyObject* name = f.name.get();
  if (name != nullptr && PyUnicode_IS_COMPACT_ASCII(name)) {
    // Read in place: no Python call while an exception may be pending.
    const auto* text = static_cast<const char*>(PyUnicode_DATA(name));
    char segment[128];
    const int n = std::snprintf(segment, sizeof segment, ".%.*s", static_cast<int>(PyUnicode_GET_LENGTH(name)), text);
    if (n > 0 && static_cast<size_t>(n) < sizeof segment) status.PrependPath(std::string_view(segment, n));
  }
  return status;
}

// `status` (failed) with "[{index}]" in front of its path.
[[gnu::cold]] inline Status AtIndex(Status status, Py_ssize_t index) noexcept {
  char segment[32];
  const int n = std::snprintf(segment, sizeof segment, "[%zd]", index);
  if (n > 0) status.PrependPath(std::string_view(segment, static_cast<size_t>(n)));
  return status;
}

}  // namespace velum

// VELUM_TRY that records a list index or a field on the way out.
#define VELUM_TRY_AT_INDEX(expr, index)                        \
  do {                                                         \
    ::velum::Status velum_try_status_ = (expr);                 \
    if (!velum_try_status_.ok()) [[unlikely]]                  \
      return ::velum::AtIndex(std::move(velum_try_status_), index); \
  } while (0)
#define VELUM_TRY_AT_FIELD(expr, field)                        \
  do {                                                         \
    ::velum::Status velum_try_status_ = (expr);                 \
    if (!velum_try_status_.ok()) [[unlikely]]                  \
      return ::velum::AtField(std::move(velum_try_status_), field); \
  } while (0)
