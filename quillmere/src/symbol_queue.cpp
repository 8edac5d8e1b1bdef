// Storage of the symbol queue. Its large blocks bypass operator new so that
// they can be aligned to, and advised as, huge pages.
#include "bin_engine/symbol_queue.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillmere::bin_engine {
namespace {

#if defined(__linux__)
// Queues of megabytes are the norm (two bytes per coded bit). The C
// allocator maps blocks that large afresh on every call and unmaps them on
// release, so every call faults its queue in one 4 KiB page at a time, and
// the queue is written once, quickly: the faults are a large share of the
// work. A 2 MiB transparent huge page replaces 512 of them where the
// system grants it (it may not; the request is only advice).
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = 2 * kHugePage;
#endif

std::uint16_t* allocate_symbols(std::size_t n) {
  if (n > SIZE_MAX / 4) throw std::bad_alloc();
  std::size_t bytes = std::max<std::size_t>(2 * n, 2);
  void* p = nullptr;
#if defined(__linux__)
  if (bytes >= kHugeFrom) {
    bytes = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    p = std::aligned_alloc(kHugePage, bytes);
    if (p != nullptr) madvise(p, bytes, MADV_HUGEPAGE);
  } else {
    p = std::malloc(bytes);
  }
#else
  p = std::malloc(bytes);
#endif
  if (p == nullptr) throw std::bad_alloc();
  return static_cast<std::uint16_t*>(p);
}

}  // namespace

void SymbolQueue::Free::operator()(std::uint16_t* p) const noexcept { std::free(p); }

void SymbolQueue::reserve(std::size_t n) {
  if (n <= capacity_) return;
  std::unique_ptr<std::uint16_t[], Free> bigger(allocate_symbols(n));
  if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_ * sizeof(std::uint16_t));
  data_ = std::move(bigger);
  capacity_ = n;
}

}  // namespace quillmere::bin_engine
