// A vector whose growth leaves the new elements unset, for buffers that are
// written whole before they are read (transform bands, grid integers):
// value-initialising them first was a pass of memset over the buffer on
// every call.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quillmere {

template <class T>
struct UnsetOnGrowth : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UnsetOnGrowth<U>;
  };
  UnsetOnGrowth() = default;
  template <class U>
  UnsetOnGrowth(const UnsetOnGrowth<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

// resize() leaves what it adds unspecified.
template <class T>
using UnsetVector = std::vector<T, UnsetOnGrowth<T>>;

}  // namespace quillmere
