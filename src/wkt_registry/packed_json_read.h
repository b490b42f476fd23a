// The packed message of an Any read from JSON straight into its binary
// encoding, for the plain payload types the writer also takes straight from
// bytes (ReadsPackedDirectly: scalar, enum and list fields). The members are
// read exactly as into an instance (the same conversions, the same errors in
// the same order, the last mention of a field winning) but into a small array
// by field, which is then encoded as the instance would be: no instance is
// made, filled, encoded and freed.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "json_parse/json_reader.h"
#include "json_parse/json_text_source.h"

namespace velum::wkt {

// Reads the next JSON value, an object holding a message of `m`
// (ReadsPackedDirectly), at nesting `depth`, and returns its encoding. For
// an object the instance road must read instead (not an object, or a
// "[name]" member that may name an extension of `m`), `diverted` is set and
// an empty Ref returned; the source has then moved and must be rewound.
template <class Source>
Result<Ref> ReadPackedJson(const MessageMarshaler& m, Source& source, const JsonReadOptions& options, uint32_t depth,
                           bool& diverted);

// An Any object (of `any`'s type) read from the text ahead when its first
// member is "@type" naming a plain type: without a scan of the object first,
// and with the packed message's encoding returned and its type in
// `packed_object`. Anything that could read differently from taking the
// object whole (a repeated name, a number a tree holds differently, a member
// skipped, any error at all) sets `diverted` instead, with no Python error
// left: the caller rewinds and reads the usual way, which reports the error.
Result<Ref> ReadTypeFirstAny(const MessageMarshaler& any, json::JsonTextSource& source,
                             const JsonReadOptions& options, uint32_t depth, Ref& packed_object, bool& diverted);

}  // namespace velum::wkt
