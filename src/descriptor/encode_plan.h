// The encoder's per-type plan: one compact step per field, with the operation
// decided once from the field's shape, kind and presence, so that the common
// fields (scalars, enums and messages in slots) are written by a single
// dispatch instead of a walk through the field's description.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/raw_alloc.h"

namespace velum {

struct FieldSpec;

enum class EncodeOp : uint8_t {
  kGeneral = 0,   // anything else: lists, maps, oneof members, attributes, required fields
  kMessage = 1,   // singular length-delimited message in a slot
  kImplicitEnum = 2,
  kExplicitEnum = 3,
  // Scalars in slots: the base plus the ScalarType code (1 to 18).
  kImplicitScalar = 32,
  kExplicitScalar = 64,
};

struct EncodeStep {
  ptrdiff_t offset = -1;  // the slot's offset in the instance
  uint32_t tag = 0;
  uint32_t number = 0;  // the presence bit of explicit fields
  uint8_t op = 0;       // an EncodeOp, plus the scalar code for scalars
  const FieldSpec* field = nullptr;
};

using EncodePlan = RawVector<EncodeStep>;

// The plan for `fields` (kept alive and unmoved by the caller), in their order.
EncodePlan PlanEncoding(const RawVector<FieldSpec>& fields);

}  // namespace velum
