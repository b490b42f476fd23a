// Reading the JSON forms of the well-known types into their instances, over
// both JSON sources (instantiated for each in wkt_json_read.cpp). The
// reader's walk hands every message with a well-known-type record here.
#pragma once

#include "common/status.h"
#include "descriptor/marshaler.h"
#include "json_parse/field_context.h"
#include "json_parse/json_reader.h"

namespace velum::wkt {

// Reads the next JSON value into `instance`, a message of `m`'s well-known
// kind, at nesting `depth`. `context` (null at the top level and inside Any
// payloads) names the field the value belongs to; the form's own errors carry it.
template <class Source>
Status ReadWellKnown(const MessageMarshaler& m, PyObject* instance, Source& source, const JsonReadOptions& options,
                     uint32_t depth, const json::FieldContext* context);

}  // namespace velum::wkt
