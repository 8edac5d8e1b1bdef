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

// Large level buffers are fresh mappings, and touching them one 4 KiB page
// at a time costs more than the transform itself (a page fault per 1024
// samples). Asking for transparent huge pages before the first touch cuts
// the faults 512-fold where the kernel allows it; where it does not, the
// call fails harmlessly and nothing changes.
constexpr std::size_t kHugePage = std::size_t{1} << 21;

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < 2 * kHugePage) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (last > first) {
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
}

}  // namespace

TransformResult<std::vector<float>> zeroed_floats(std::size_t count) noexcept {
  const std::size_t bytes = count > std::numeric_limits<std::size_t>::max() / sizeof(float)
                                ? std::numeric_limits<std::size_t>::max()
                                : count * sizeof(float);
  try {
    std::vector<float> v;
    v.reserve(count);
    advise_huge_pages(v.data(), bytes);
    v.resize(count);
    return v;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return std::unexpected(TransformError::allocation_failed(bytes));
}

}  // namespace wavelet::detail
