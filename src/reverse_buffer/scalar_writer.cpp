#include "reverse_buffer/scalar_writer.h"

namespace velum::encoder {

Status WriteScalar(ReverseBuffer& buf, ScalarType type, PyObject* value) {
  ScalarValue v;
  VELUM_TRY(ConvertScalar(type, value, &v));
  switch (type) {
    case ScalarType::kDouble:
      buf.PutFixed64(std::bit_cast<uint64_t>(v.f64));
      break;
    case ScalarType::kFloat:
      buf.PutFixed32(std::bit_cast<uint32_t>(static_cast<float>(v.f64)));
      break;
    case ScalarType::kInt64:
    case ScalarType::kInt32:
      buf.PutVarint(wire::SignExtend(v.i64));
      break;
    case ScalarType::kUint64:
    case ScalarType::kUint32:
      buf.PutVarint(v.u64);
      break;
    case ScalarType::kFixed64:
      buf.PutFixed64(v.u64);
      break;
    case ScalarType::kFixed32:
      buf.PutFixed32(static_cast<uint32_t>(v.u64));
      break;
    case ScalarType::kSfixed32:
      buf.PutFixed32(static_cast<uint32_t>(static_cast<int32_t>(v.i64)));
      break;
    case ScalarType::kSint32:
      buf.PutVarint(wire::ZigZagEncode32(static_cast<int32_t>(v.i64)));
      break;
    case ScalarType::kSfixed64:
      buf.PutFixed64(static_cast<uint64_t>(v.i64));
      break;
    case ScalarType::kSint64:
      buf.PutVarint(wire::ZigZagEncode64(v.i64));
      break;
    case ScalarType::kBool:
      buf.PutByte(v.b ? 1 : 0);
      break;
    case ScalarType::kString:
    case ScalarType::kBytes:
      buf.PutBytes(v.data, static_cast<size_t>(v.size));
      buf.PutVarint(static_cast<uint64_t>(v.size));
      break;
  }
  return Status::Ok();
}

Status WriteEnum(ReverseBuffer& buf, const EnumTable& table, PyObject* value) {
  VELUM_ASSIGN_OR_RETURN(int32_t number, ConvertEnum(table, value));
  buf.PutVarint(wire::SignExtend(number));
  return Status::Ok();
}

}  // namespace velum::encoder
