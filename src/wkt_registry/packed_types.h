// The packed types of Any that one call has resolved through velum's own
// registry. Its `message()` is a plain lookup, so within a call the same
// descriptor always leads to the same class: the class and its marshaler are
// looked up once per type, not once per Any, and the registry itself is
// recognised once per call. A registry of any other kind is called every
// time and never reaches the entries.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>

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

  // The type URL the reader stores for `marshaler` (the default prefix and
  // its full name): made once per call and type, since a str is immutable.
  Ref StoredUrl(PyObject* marshaler, PyObject* full_name);

  // The call's registry is looked at once: whether it is velum's own, and
  // then the map its `message()` reads.
  bool registry_checked() const noexcept { return registry_checked_; }
  PyObject* own_map() const noexcept { return own_map_.get(); }
  void SetOwnMap(Ref map) noexcept {
    own_map_ = std::move(map);
    registry_checked_ = true;
  }

 private:
  // Events and API payloads pack few distinct types per call.
  static constexpr size_t kEntries = 4;
  Entry entries_[kEntries];
  size_t next_ = 0;
  bool registry_checked_ = false;
  Ref own_map_;  // empty for any other registry
  Ref url_marshaler_;  // the type of url_
  Ref url_;
};

}  // namespace velum::wkt
