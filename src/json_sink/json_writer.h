// The JSON writing entry points: a message to compact JSON text (`to_json`)
// or to a tree of plain Python values (`_to_json_value`).
#pragma once

#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "wkt_registry/packed_types.h"

namespace velum {

struct JsonWriteOptions {
  PyObject* registry = nullptr;  // borrowed; null when absent
  bool always_emit_implicit = false;
  bool print_enums_as_ints = false;
  bool use_proto_field_name = false;
  mutable wkt::PackedTypes packed_types;  // filled as the call meets Any values
  // The marshaler of the last packed type found plain enough to be written
  // from its bytes: an Any of the same type is not examined again.
  mutable Ref direct_packed;
  // The last type URL resolved through velum's own registry: the key its
  // map was read with and what that gave. An Any holding that very str
  // reads the map again by the key, without parsing the URL.
  struct LastAnyType {
    Ref url;
    Ref key;
    Ref desc;
    Ref marshaler;
  };
  mutable LastAnyType last_any;
};

// Both write `msg`, an instance of `m`'s class, without changing it.
Result<Ref> WriteJsonText(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options);
Result<Ref> WriteJsonValue(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options);

}  // namespace velum
