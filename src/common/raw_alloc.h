// Containers for native state, backed by the interpreter's raw allocator so that
// every byte the extension owns is visible to Python's memory tooling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

// Declared here rather than through Python.h so that interpreter-free units can
// use them; the GoogleTest binary links a malloc-backed definition.
extern "C" {
void* PyMem_RawMalloc(size_t size);
void* PyMem_RawRealloc(void* ptr, size_t new_size);
void PyMem_RawFree(void* ptr);
}

namespace velum {

template <class T>
struct RawAllocator {
  using value_type = T;
  RawAllocator() noexcept = default;
  template <class U>
  RawAllocator(const RawAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    void* p = PyMem_RawMalloc(n * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { PyMem_RawFree(p); }

  template <class U>
  bool operator==(const RawAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using RawVector = std::vector<T, RawAllocator<T>>;
using RawString = std::basic_string<char, std::char_traits<char>, RawAllocator<char>>;

// Allocates and constructs one T with the raw allocator; pairs with RawDelete.
template <class T, class... Args>
T* RawNew(Args&&... args) {
  void* p = PyMem_RawMalloc(sizeof(T));
  if (p == nullptr) throw std::bad_alloc();
  return new (p) T(static_cast<Args&&>(args)...);
}

template <class T>
void RawDelete(T* p) noexcept {
  if (p == nullptr) return;
  p->~T();
  PyMem_RawFree(p);
}

}  // namespace velum
