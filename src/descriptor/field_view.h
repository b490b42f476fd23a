// Core unit: no Python.
// What the load-time check reads of a message's field records while they are
// still bytes: schema loading keeps each message's fields in the file's bytes
// until they are resolved (most loaded messages never are) and records, per
// field, this summary of where its texts are and its numbers. The reader
// (parser/schema_records) fills it; the check (field_check) reads it.
#pragma once

#include <cstdint>

namespace velum {

// A text of a field record: [offset, offset + size) of the file's bytes, valid
// UTF-8; size kNoText when the record does not hold it.
struct TextSpan {
  static constexpr uint32_t kNoText = UINT32_MAX;
  uint32_t offset = 0;
  uint32_t size = kNoText;
  bool present() const { return size != kNoText; }
};

struct FieldView {
  uint32_t offset = 0;  // the whole record, in the file's bytes
  uint32_t size = 0;
  TextSpan name, type_name, default_value;
  int32_t number = 0;
  int32_t label = 1;  // LABEL_OPTIONAL when absent
  int32_t type = 0;
};

}  // namespace velum
