// The interpreter's raw allocator, replaced by malloc for the interpreter-free
// units, with a count of live blocks and optional failure injection.
#include "raw_alloc_stub.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<long> live_blocks{0};
std::atomic<int> fail_countdown{-1};

bool ShouldFail() {
  int current = fail_countdown.load();
  while (current >= 0) {
    if (fail_countdown.compare_exchange_weak(current, current - 1)) return current == 0;
  }
  return false;
}

}  // namespace

extern "C" {

void* PyMem_RawMalloc(size_t size) {
  if (ShouldFail()) return nullptr;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p != nullptr) ++live_blocks;
  return p;
}

void* PyMem_RawRealloc(void* ptr, size_t new_size) {
  if (ShouldFail()) return nullptr;
  void* p = std::realloc(ptr, new_size == 0 ? 1 : new_size);
  if (p != nullptr && ptr == nullptr) ++live_blocks;
  return p;
}

void PyMem_RawFree(void* ptr) {
  if (ptr != nullptr) --live_blocks;
  std::free(ptr);
}

}  // extern "C"

namespace velum::testing {

void FailAllocationAfter(int n) { fail_countdown.store(n < 0 ? -1 : n); }
long LiveAllocations() { return live_blocks.load(); }

}  // namespace velum::testing
