// Reading the JSON mapping into message instances: one walk, written once and
// instantiated for JSON text and for trees of Python values. Values are stored
// as soon as they are converted; a failure leaves what was stored before it.
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "wkt_registry/container_elements.h"
#include "wkt_registry/packed_types.h"
#include "wkt_registry/struct_keys.h"

namespace velum {

struct JsonReadOptions {
  PyObject* registry = nullptr;  // borrowed; null when absent
  bool ignore_unknown_fields = false;
  mutable wkt::PackedTypes packed_types;  // filled as the call meets Any values
  mutable wkt::StructKeys struct_keys;    // and Struct members
  mutable wkt::KnownElements elements;    // and Struct and ListValue elements
};

// A new instance of `m`'s class (of `cls` when it is a subclass of it) read
// from JSON text (`from_text`) or from a tree of Python values.
Result<Ref> ReadJsonNew(const MessageMarshaler& m, PyObject* input, bool from_text, const JsonReadOptions& options,
                        PyTypeObject* cls = nullptr);

// JSON text merged into `msg`, an instance of `m`'s class.
Status ReadJsonInto(const MessageMarshaler& m, PyObject* msg, PyObject* json, const JsonReadOptions& options);

namespace json {

// Reads the next JSON value into `instance` (an instance of `m`'s class) at
// nesting `depth`. For the well-known-type forms, which read nested messages.
template <class Source>
Status ReadMessage(const MessageMarshaler& m, PyObject* instance, Source& source, const JsonReadOptions& options,
                   uint32_t depth);

}  // namespace json
}  // namespace velum
