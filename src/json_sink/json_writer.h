// The JSON writing entry points: a message to compact JSON text (`to_json`)
// or to a tree of plain Python values (`_to_json_value`).
#pragma once

#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/status.h"
#include "descriptor/marshaler.h"
#include "wkt_registry/packed_types.h"

namespace velum {

// What writing Any values remembers within one call, made when the call
// meets its first Any (most calls never do): the last packed type found
// plain enough to be written from its bytes, and the last type URL resolved
// through velum's own registry, with the key its map was read by, what
// that gave, and for text output its "@type" member (`,"@type":"url"`,
// empty unless the URL is plain ASCII).
class AnyWriteMemo {
 public:
  struct State {
    Ref direct_packed;
    Ref url;
    Ref key;
    Ref desc;
    Ref marshaler;
    RawString type_member;
  };
  AnyWriteMemo() noexcept = default;
  AnyWriteMemo(const AnyWriteMemo&) = delete;
  AnyWriteMemo& operator=(const AnyWriteMemo&) = delete;
  ~AnyWriteMemo() {
    if (state_ != nullptr) RawDelete(state_);
  }
  // Null until Make() made it.
  State* get() const noexcept { return state_; }
  // Null when no memory was left: nothing is remembered then.
  State* Make() noexcept {
    if (state_ == nullptr) {
      try {
        state_ = RawNew<State>();
      } catch (...) {
        state_ = nullptr;
      }
    }
    return state_;
  }

 private:
  State* state_ = nullptr;
};

struct JsonWriteOptions {
  PyObject* registry = nullptr;  // borrowed; null when absent
  bool always_emit_implicit = false;
  bool print_enums_as_ints = false;
  bool use_proto_field_name = false;
  mutable wkt::PackedTypes packed_types;  // filled as the call meets Any values
  mutable AnyWriteMemo any_memo;  // made as the call meets its first Any
};

// Both write `msg`, an instance of `m`'s class, without changing it.
Result<Ref> WriteJsonText(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options);
Result<Ref> WriteJsonValue(const MessageMarshaler& m, PyObject* msg, const JsonWriteOptions& options);

}  // namespace velum
