// The binary decoder: wire data into message instances, field by field,
// keeping what it cannot place as unknown records.
#pragma once

#include <cstdint>

#include "common/ref.h"
#include "common/status.h"
#include "parser/marshaler.h"
#include "parser/wire_reader.h"

namespace velum::decoder {

// Slots are written at the offsets of `m`'s class, so only its instances
// (subclasses included) can be decoded into.
Status CheckInstance(const MessageMarshaler& m, PyObject* obj);

// A new instance of `m`'s class filled with defaults (`cls.__new__(cls)`, no
// __init__), as decoding creates messages.
Result<Ref> NewInstance(const MessageMarshaler& m);

// A new instance of `m`'s class holding the records of `reader` (the top
// level). Fields the input does not set get their defaults.
Result<Ref> DecodeNew(const MessageMarshaler& m, WireReader& reader, bool ignore_unknown);

// Decodes every record of `reader` into `msg`, an instance of `m`'s class.
// `depth` is the nesting level of `msg` (0 for the top level). Fields decoded
// before a failure stay in `msg`.
Status DecodeMessage(const MessageMarshaler& m, PyObject* msg, WireReader& reader, bool ignore_unknown,
                     uint32_t depth);

}  // namespace velum::decoder
