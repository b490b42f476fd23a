// The interpreter's full Unicode casing for FieldMask paths, so that a
// non-ASCII path converts exactly as `str.upper` / `str.lower` would.
// Only characters outside ASCII reach it.
#pragma once

#include "wkt_registry/field_mask_path.h"

namespace velum::wkt {

// Needs the interpreter lock. A failed mapping leaves a Python exception set
// (the caller reports it as a pending error) and may also be MemoryError.
class InterpreterCase final : public CaseMapper {
 public:
  bool IsUpper(char32_t c, bool& upper) const override;
  bool AppendUpper(char32_t c, RawString& out) const override;
  bool AppendLower(char32_t c, RawString& out) const override;
};

}  // namespace velum::wkt
