// Hash maps keyed by UTF-8 text that are searched with a string_view, so
// that looking a name up never copies it.
#pragma once

#include <functional>
#include <string_view>
#include <unordered_map>

#include "common/raw_alloc.h"

namespace velum {

struct StringViewHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>()(s); }
};

struct StringViewEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

template <class V>
using StringMap =
    std::unordered_map<RawString, V, StringViewHash, StringViewEqual, RawAllocator<std::pair<const RawString, V>>>;

// The value stored under `key`, or null.
template <class V>
const V* FindIn(const StringMap<V>& map, std::string_view key) noexcept {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

}  // namespace velum
