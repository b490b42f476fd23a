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

// Keyed by text owned elsewhere that outlives the map: inserting copies no name.
template <class V>
using StringViewMap = std::unordered_map<std::string_view, V, StringViewHash, StringViewEqual,
                                         RawAllocator<std::pair<const std::string_view, V>>>;

// The value stored under `key`, or null.
template <class Map>
const typename Map::mapped_type* FindIn(const Map& map, std::string_view key) noexcept {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

}  // namespace velum
