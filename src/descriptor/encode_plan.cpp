#include "descriptor/encode_plan.h"

#include "descriptor/marshaler.h"

namespace velum {

namespace {

uint8_t OpFor(const FieldSpec& f) {
  if (f.shape != FieldShape::kSingular || f.in_oneof() || !f.access.is_slot() || f.presence == Presence::kRequired) {
    return static_cast<uint8_t>(EncodeOp::kGeneral);
  }
  const bool implicit = f.presence == Presence::kImplicit;
  switch (f.kind.value.tag) {
    case ElementTag::kScalar:
      return static_cast<uint8_t>(implicit ? EncodeOp::kImplicitScalar : EncodeOp::kExplicitScalar) +
             static_cast<uint8_t>(f.kind.value.scalar);
    case ElementTag::kEnum:
      return static_cast<uint8_t>(implicit ? EncodeOp::kImplicitEnum : EncodeOp::kExplicitEnum);
    case ElementTag::kMessage:
      break;
  }
  return static_cast<uint8_t>(f.kind.value.delimited ? EncodeOp::kGeneral : EncodeOp::kMessage);
}

}  // namespace

EncodePlan PlanEncoding(const RawVector<FieldSpec>& fields) {
  EncodePlan plan;
  plan.reserve(fields.size());
  for (const FieldSpec& f : fields) {
    EncodeStep step;
    step.offset = f.access.is_slot() ? f.access.offset() : -1;
    step.tag = f.tag;
    step.number = f.number;
    step.op = OpFor(f);
    step.field = &f;
    plan.push_back(step);
  }
  return plan;
}

}  // namespace velum
