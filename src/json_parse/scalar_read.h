// The accepted JSON forms of one scalar, enum value or map key, and the
// Python object each becomes. Written once over both sources (explicitly
// instantiated for each in scalar_read.cpp).
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/enum_table.h"
#include "descriptor/field_kind.h"
#include "json_parse/source_values.h"

namespace velum::json {

// Reads the next value (never null) as a scalar of `type`. The errors are
// about the value alone; the caller adds the field it belongs to.
template <class Source>
Status ReadScalar(Source& source, ScalarType type, Ref& out);
// As ReadScalar, for a caller that has just peeked the value's `kind`.
template <class Source>
Status ReadScalar(Source& source, ScalarType type, JsonKind kind, Ref& out);

// Reads the next value as a member of the enum; `out` stays empty when an
// unknown name or number is skipped under `ignore_unknown`. A null gives the
// default member. Its refusals name the enum and never get a field context.
template <class Source>
Status ReadEnum(Source& source, const EnumTable& table, bool ignore_unknown, Ref& out);

// The key of a map entry from the member name, by the map's key type.
Status ReadMapKey(const MemberName& name, ScalarType key_type, Ref& out);

}  // namespace velum::json
