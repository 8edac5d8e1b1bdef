// Work buffers that a thread keeps from one call to the next. A block of a
// few hundred kilobytes freed by one call goes back to the kernel, and the
// next call's first touch of every page is a page fault: on a signal of
// 7 * 10^4 samples the faults of the fast encoder's buffers took about a
// fifth of a compress. A kept buffer is memory already mapped.
// Buffers above kKeepBytes are let go after the call, so a long signal does
// not pin its memory to the thread: each of the fast encoder's buffers
// keeps at most 4 MiB per thread, which covers signals and chunks of up to
// 10^6 samples. Internal to the codec library.
#pragma once

#include <cstddef>
#include <memory>

namespace quillmere {

inline constexpr std::size_t kKeepBytes = std::size_t{1} << 22;

// Contents are unspecified on every take: callers write before they read.
template <class T>
class WorkBuffer {
 public:
  // At least n elements; may throw std::bad_alloc.
  T* take(std::size_t n) {
    if (n > capacity_) {
      data_.reset();
      capacity_ = 0;
      data_ = std::make_unique_for_overwrite<T[]>(n);
      capacity_ = n;
    }
    return data_.get();
  }
  // Called when the caller is done with the contents; `keep_bytes` is the
  // most this buffer may hold on to.
  void release_if_large(std::size_t keep_bytes = kKeepBytes) noexcept {
    if (capacity_ * sizeof(T) > keep_bytes) {
      data_.reset();
      capacity_ = 0;
    }
  }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t capacity_ = 0;
};

}  // namespace quillmere
