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

#include "common/raw_alloc.h"
#include "common/ref.h"

namespace velum::wkt {

class PackedTypes {
 public:
  struct Entry {
    Ref name;       // the str the registry was asked for
    Ref desc;       // what it answered
    Ref marshaler;  // the marshaler of desc's class
  };

  // Empty until the call meets its first Any: the options of every JSON
  // call hold one, and most calls never need it.
  PackedTypes() noexcept = default;
  PackedTypes(PackedTypes&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
  PackedTypes& operator=(PackedTypes&& other) noexcept {
    if (this != &other) {
      Release();
      state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
  }
  PackedTypes(const PackedTypes&) = delete;
  PackedTypes& operator=(const PackedTypes&) = delete;
  // Inline test: the call is made only when an Any was met.
  ~PackedTypes() {
    if (state_ != nullptr) Release();
  }

  // The entry asked for as `type_name`, or null.
  Entry* Find(std::string_view type_name) noexcept;
  // An entry to fill: a free one, else the oldest (its references dropped);
  // null when no memory was left for the entries, which are then not kept.
  Entry* Claim() noexcept;

  // The type URL the reader stores for `marshaler` (the default prefix and
  // its full name): made once per call and type, since a str is immutable.
  Ref StoredUrl(PyObject* marshaler, PyObject* full_name);

  // The marshaler ResolveType answers for the type URL `url` when it is the
  // URL Remember was last told of and the registry's map still holds the
  // same descriptor under its name (the one lookup ResolveType itself would
  // make, without cutting the URL or finding the entry again); else empty,
  // and the caller resolves the URL in full. A batch mostly packs one type.
  Ref Recall(std::string_view url) noexcept;
  // The URL Recall would take, when it needs no escape in JSON text (so that
  // it can be matched there as it is), or empty; and the marshaler Recall
  // would answer for it.
  std::string_view RecalledPlainUrl() const noexcept {
    return state_ != nullptr && state_->recalled != nullptr && state_->recalled_plain
               ? std::string_view(state_->recalled_url)
               : std::string_view();
  }
  Ref RecallLast() noexcept;
  // `url` was just resolved through the entry asked for as `type_name`.
  void Remember(std::string_view url, std::string_view type_name) noexcept;

  // ReadsPackedDirectly for the type whose marshaler object is `marshaler`,
  // remembered for the last type found plain (a batch mostly packs one).
  bool ReadsDirectly(PyObject* marshaler) noexcept;

  // The call's registry is looked at once: whether it is velum's own, and
  // then the map its `message()` reads.
  bool registry_checked() const noexcept { return state_ != nullptr && state_->registry_checked; }
  PyObject* own_map() const noexcept { return state_ != nullptr ? state_->own_map.get() : nullptr; }
  // Without memory for it, the registry is looked at again next time.
  void SetOwnMap(Ref map) noexcept {
    if (!Ready()) return;
    state_->own_map = std::move(map);
    state_->registry_checked = true;
  }

 private:
  // Events and API payloads pack few distinct types per call.
  static constexpr size_t kEntries = 4;
  struct State {
    Entry entries[kEntries];
    size_t next = 0;
    bool registry_checked = false;
    Ref own_map;  // empty for any other registry
    Ref url_marshaler;  // the type of url
    Ref url;
    Ref direct;  // the last type ReadsPackedDirectly accepted
    RawString recalled_url;      // the URL Remember was told of
    Entry* recalled = nullptr;  // its entry, until the entry is claimed again
    bool recalled_plain = false;  // recalled_url needs no escape
  };
  bool Ready() noexcept;
  void Release() noexcept;

  State* state_ = nullptr;
};

}  // namespace velum::wkt
