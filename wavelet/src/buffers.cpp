#include "buffers.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wavelet::detail {
namespace {

constexpr std::size_t kNoSize = std::numeric_limits<std::size_t>::max();

// The bytes `count` floats take, or SIZE_MAX when that does not fit.
constexpr std::size_t bytes_for(std::size_t count) noexcept {
  return count > kNoSize / sizeof(float) ? kNoSize : count * sizeof(float);
}

// Large level buffers are usually fresh memory, and touching it one 4 KiB
// page at a time can cost more than the transform itself (a page fault per
// 1024 samples). Transparent huge pages cut those faults 512-fold, but only
// for aligned 2 MiB stretches that lie wholly inside one mapping marked
// for them. glibc serves large blocks from a mapping of their own that
// starts 16 bytes before the block, and Linux places an anonymous mapping
// on a 2 MiB boundary when its length is a multiple of 2 MiB. So a large
// buffer can be reserved a little longer, to fill whole huge pages, and
// its mapping advised from the boundary it starts at: then every page of
// it can be huge, where otherwise the stretches before the first and after
// the last boundary, and all of any buffer under 4 MiB or so, take 4 KiB
// faults. Anywhere this does not hold, the advice covers less or fails
// harmlessly and the extra capacity is only unused.
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kPage = std::size_t{1} << 12;
// Buffers from this size on are rounded up; below it the extra zeroing of
// a whole huge page costs more than the faults it saves.
constexpr std::size_t kRoundFrom = std::size_t{1} << 20;
// Room left for the allocator's own header and rounding inside the mapping.
constexpr std::size_t kAllocatorSlack = 64;

// The float capacity to reserve for `count` floats.
std::size_t rounded_count(std::size_t count) noexcept {
  const std::size_t bytes = bytes_for(count);
  if (bytes < kRoundFrom || bytes > kNoSize / 2) return count;
  const std::size_t mapped = (bytes + kAllocatorSlack + kHugePage - 1) & ~(kHugePage - 1);
  return (mapped - kAllocatorSlack) / sizeof(float);
}

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePage / 2) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  // The boundary just below the buffer counts when it lies on the buffer's
  // own first page, which holds only the allocator's header before it.
  std::uintptr_t first = begin & ~(kHugePage - 1);
  if (begin - first >= kPage) first += kHugePage;
  const std::uintptr_t last = ((begin + bytes + kPage - 1) & ~(kPage - 1)) & ~(kHugePage - 1);
  if (last > first) {
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
}

}  // namespace

TransformResult<std::vector<float>> reserved_floats(std::size_t count,
                                                   bool whole_huge_pages) noexcept {
  const std::size_t bytes = bytes_for(count);
  try {
    std::vector<float> v;
    v.reserve(whole_huge_pages ? rounded_count(count) : count);
    advise_huge_pages(v.data(), v.capacity() * sizeof(float));
    return v;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return std::unexpected(TransformError::allocation_failed(bytes));
}

TransformResult<std::vector<float>> zeroed_floats(std::size_t count) noexcept {
  auto v = reserved_floats(count);
  if (v) v->resize(count);  // within capacity: cannot throw
  return v;
}

TransformResult<std::unique_ptr<float[]>> scratch_floats(std::size_t count) noexcept {
  const std::size_t bytes = bytes_for(count);
  if (bytes == kNoSize) return std::unexpected(TransformError::allocation_failed(bytes));
  std::unique_ptr<float[]> p(new (std::nothrow) float[count]);
  if (!p) return std::unexpected(TransformError::allocation_failed(bytes));
  advise_huge_pages(p.get(), bytes);
  return p;
}

}  // namespace wavelet::detail
