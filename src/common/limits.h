// Core unit: no Python.
// Limits shared by every codec and message operation.
#pragma once

#include <cstdint>

namespace velum {

// Nesting limit: the top-level message has depth 0 and each nested message its
// parent's depth + 1; a depth above this fails with RecursionError. Skipping
// unknown groups and copying, merging and comparing messages obey it too.
inline constexpr uint32_t kMaxDepth = 100;

}  // namespace velum
