// Test hooks of the malloc-backed raw allocator linked into the GoogleTest binary.
#pragma once

#include <cstddef>

namespace velum::testing {

// Makes the allocation after the next `n` succeeding ones fail (0: the very
// next one); a negative n turns failure injection off.
void FailAllocationAfter(int n);
// Blocks currently held (allocated and not yet freed).
long LiveAllocations();

// Turns failure injection off again at the end of a scope.
struct AllocationFailureScope {
  explicit AllocationFailureScope(int n) { FailAllocationAfter(n); }
  ~AllocationFailureScope() { FailAllocationAfter(-1); }
};

}  // namespace velum::testing
