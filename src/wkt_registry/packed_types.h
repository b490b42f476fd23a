// The packed types of Any that one call has resolved through velum's own
// registry. Its `message()` is a plain lookup, so within a call the same
// descriptor always leads to the same class: the class and its marshaler are
// looked up once per type, not once per Any. A registry of any other kind is
// called every time and never reaches this cache.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/ref.h"

namespace velum::wkt {

class PackedTypes {
 public:
  struct Entry {
    Ref name;       // the str the registry was asked for
    Ref desc;       // what it answered
    Ref marshaler;  // the marshaler of desc's class
  };

  // The entry asked for as `type_name`, or null.
  Entry* Find(std::string_view type_name) noexcept;
  // An entry to fill: a free one, else the oldest (its references dropped).
  Entry& Claim() noexcept;

 private:
  // Events and API payloads pack few distinct types per call.
  static constexpr size_t kEntries = 4;
  Entry entries_[kEntries];
  size_t next_ = 0;
};

}  // namespace velum::wkt
