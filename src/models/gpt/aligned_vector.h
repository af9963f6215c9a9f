// Vectors whose data starts on a 64-byte cache line. The decode kernels load
// their inputs in whole vectors; from an ordinary vector (16-byte aligned)
// every 512-bit load spans two lines, which made several inputs per weight
// load a third slower than one at a time.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

template <class T>
struct CacheLineAllocator {
  using value_type = T;
  static constexpr std::align_val_t kAlignment{64};

  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U> &) {}

  T *allocate(size_t n) { return static_cast<T *>(::operator new(n * sizeof(T), kAlignment)); }
  void deallocate(T *p, size_t) { ::operator delete(p, kAlignment); }

  template <class U>
  bool operator==(const CacheLineAllocator<U> &) const {
    return true;
  }
  template <class U>
  bool operator!=(const CacheLineAllocator<U> &) const {
    return false;
  }
};

template <class T>
using AlignedVector = std::vector<T, CacheLineAllocator<T>>;
