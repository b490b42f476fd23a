// The binary decoder: wire data into message instances, field by field,
// keeping what it cannot place as unknown records.
#pragma once

#include <cstdint>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "parser/wire_reader.h"

namespace velum::decoder {

// A new instance of `m`'s class holding the records of `reader` (the top
// level). Fields the input does not set get their defaults.
// `cls`, when given, is the class to create: a subclass of m's class.
Result<Ref> DecodeNew(const MessageMarshaler& m, WireReader& reader, bool ignore_unknown,
                      PyTypeObject* cls = nullptr);

// Decodes every record of `reader` into `msg`, an instance of `m`'s class.
// `depth` is the nesting level of `msg` (0 for the top level). Fields decoded
// before a failure stay in `msg`.
Status DecodeMessage(const MessageMarshaler& m, PyObject* msg, WireReader& reader, bool ignore_unknown,
                     uint32_t depth);

}  // namespace velum::decoder
