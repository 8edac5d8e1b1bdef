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
// 1024 samples). Asking for transparent huge pages on every aligned 2 MiB
// stretch inside the buffer, before the first touch, cuts those faults
// 512-fold where the kernel allows it; where it does not, the call fails
// harmlessly and nothing changes.
constexpr std::size_t kHugePage = std::size_t{1} << 21;

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugePage) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (last > first) {
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
}

}  // namespace

TransformResult<std::vector<float>> reserved_floats(std::size_t count) noexcept {
  const std::size_t bytes = bytes_for(count);
  try {
    std::vector<float> v;
    v.reserve(count);
    advise_huge_pages(v.data(), bytes);
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
