// Core unit: no Python.
#include "json_sink/unit_buffer.h"

namespace velum::json_sink {

bool UnitBuffer::Widen(uint32_t max_char) noexcept {
  const unsigned shift = UnitShift(max_char);
  if (shift > shift_) {
    const size_t n = length();
    // Room for the wider copy of what is there; it is rewritten in place.
    if (n != 0 && bytes_.Reserve((n << shift) - bytes_.size()) == nullptr) return false;
    char* data = bytes_.data();
    if (shift_ == 0 && shift == 1) {
      WidenInPlace<uint8_t, uint16_t>(data, n);
    } else if (shift_ == 0) {
      WidenInPlace<uint8_t, uint32_t>(data, n);
    } else {
      WidenInPlace<uint16_t, uint32_t>(data, n);
    }
    bytes_.Commit((n << shift) - bytes_.size());
    shift_ = shift;
  }
  max_char_ = shift == 0 ? 0xff : shift == 1 ? 0xffff : 0x10ffff;
  return true;
}

}  // namespace velum::json_sink
