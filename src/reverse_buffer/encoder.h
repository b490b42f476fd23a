// The binary encoder: writes a message instance into a ReverseBuffer, last byte
// first, so that every length prefix follows the payload it measures.
#pragma once

#include <cstdint>

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "reverse_buffer/reverse_buffer.h"

namespace velum::encoder {

// Puts the encoding of `msg` (an instance of m's class) in front of the
// buffer's content. `depth` is 0 for a top-level message; nested messages are
// written at depth + 1 and a depth above the nesting limit fails. Keeps no
// state outside its frame and `buffer`, so it may be re-entered (Any does).
// The buffer may have failed to grow meanwhile: check buffer.ok() afterwards.
Status EncodeMessage(const MessageMarshaler& m, PyObject* msg, ReverseBuffer& buffer, uint32_t depth,
                     bool write_unknown);

}  // namespace velum::encoder

namespace velum {

// to_binary: the encoding of `msg` as a new bytes object.
Result<Ref> EncodeToBytes(const MessageMarshaler& m, PyObject* msg, bool write_unknown_fields);

}  // namespace velum
