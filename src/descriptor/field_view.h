// Core unit: no Python.
// What the load-time check and resolving read of a message's field records while
// they are still bytes: schema loading keeps each message's fields in the file's
// bytes until they are resolved (most loaded messages never are) and records, per
// field, this summary of where its texts are and its numbers. The reader
// (parser/schema_records) fills it; the check (field_check) and the resolver
// (field_resolve) read it, the resolver only when no field of the message has
// options that set features (which the runtime merges from the records).
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
  TextSpan name, type_name, default_value, json_name;
  int32_t number = 0;
  int32_t label = 1;  // LABEL_OPTIONAL when absent
  int32_t type = 0;
  int32_t oneof_index = 0;  // meaningful when has_oneof_index
  bool has_oneof_index = false;
  bool proto3_optional = false;
  bool has_options = false;
  // Of the options: the legacy `packed` (-1 when not given) and whether they
  // set features of their own.
  int8_t packed = -1;
  bool has_features = false;
};

}  // namespace velum
