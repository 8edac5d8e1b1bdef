#include <algorithm>
#include <memory>

#include "buffers.hpp"
#include "lifting_steps.hpp"
#include "multi_level_inverse.hpp"

namespace wavelet::detail {
namespace {

// Where a streamed level keeps the stretch of its output that the next
// finer level has yet to read.
struct Window {
  float* data = nullptr;
  std::size_t capacity = 0;
  std::size_t origin = 0;  // output index held at data[0]
  std::size_t filled = 0;  // output values [0, filled) are rebuilt
};

// The finer level's unread block and halo (under kLiftBlock + 2 *
// kStreamHalo) plus the block being written (2 * kLiftBlock + 1).
constexpr std::size_t kWindowFloats = 16 * kLiftBlock;

// All lifting levels rebuilt together, one block at a time, each level
// asking the next coarser one for just the input its block reads. Only the
// finest level goes out to memory; the others live in small windows that
// stay in cache. Rebuilding one level after another instead writes every
// coarser level in full and reads it back, about as much traffic again as
// the result itself, and far more than the arithmetic costs.
class StreamedInverse {
 public:
  StreamedInverse(const LevelKernels& kernels, std::span<const std::span<const float>> details,
                  std::span<const float> approximation, const std::size_t* lengths,
                  Window* windows, std::size_t* next, std::vector<float>& output) noexcept
      : kernels_(kernels),
        details_(details),
        approximation_(approximation),
        lengths_(lengths),
        windows_(windows),
        next_(next),
        output_(output) {}

  void run() noexcept {
    const std::size_t pairs = shape_of(lengths_[0]).A;
    while (next_[0] < pairs) rebuild_block(0);
  }

 private:
  void rebuild_block(std::size_t k) noexcept {
    const LevelShape sh = shape_of(lengths_[k]);
    const std::size_t b = next_[k];
    const std::size_t e = std::min(b + kLiftBlock, sh.A);
    const float* s = approximation_.data();
    std::size_t s_origin = 0;
    if (k + 1 < details_.size()) {
      const Window& in = windows_[k + 1];
      const std::size_t reads = std::min(e + kStreamHalo, sh.A);
      while (in.filled < reads) rebuild_block(k + 1);
      s = in.data;
      s_origin = in.origin;
    }
    const std::size_t end = e == sh.A ? sh.n : 2 * e;
    if (k == 0) {
      kernels_.inverse_pairs(s, s_origin, details_[0].data(), Output(output_), 0, sh.n, b, e);
    } else {
      Window& out = windows_[k];
      if (end - out.origin > out.capacity) {
        // Keep what the finer level's next block reads, its halo included.
        const std::size_t finer = next_[k - 1];
        const std::size_t keep = finer >= kStreamHalo ? finer - kStreamHalo : 0;
        std::copy(out.data + (keep - out.origin), out.data + (out.filled - out.origin), out.data);
        out.origin = keep;
      }
      kernels_.inverse_pairs(s, s_origin, details_[k].data(), Output({out.data, out.capacity}),
                             out.origin, sh.n, b, e);
      out.filled = end;
    }
    next_[k] = e;
  }

  const LevelKernels& kernels_;
  std::span<const std::span<const float>> details_;
  std::span<const float> approximation_;
  const std::size_t* lengths_;
  Window* windows_;
  std::size_t* next_;
  std::vector<float>& output_;
};

}  // namespace

// The lifting reconstruction through StreamedInverse. Lengths are checked
// for every level, coarsest first, before any is rebuilt, so the first
// level whose kernel rejects them reports as idwt would.
TransformResult<std::vector<float>> multi_idwt_streamed(
    const LevelKernels& kernels, std::span<const std::span<const float>> details,
    std::span<const float> approximation, std::size_t output_length) noexcept {
  const std::size_t levels = details.size();
  auto output = reserved_floats(output_length);
  if (!output) return output;

  std::size_t lengths[kDeepestPossible];
  std::size_t current = approximation.size();
  for (std::size_t k = levels; k-- > 0;) {
    lengths[k] = saturating_add(current, details[k].size());
    if (auto fits = kernels.check_inverse(current, details[k].size(), lengths[k]); !fits) {
      return std::unexpected(fits.error());
    }
    current = lengths[k];
  }

  std::size_t window_floats = 0;
  for (std::size_t k = 1; k < levels; ++k) window_floats += std::min(lengths[k], kWindowFloats);
  std::unique_ptr<float[]> scratch;
  if (window_floats > 0) {
    auto taken = scratch_floats(window_floats);
    if (!taken) return std::unexpected(taken.error());
    scratch = std::move(*taken);
  }
  Window windows[kDeepestPossible];
  std::size_t next[kDeepestPossible] = {};
  float* free = scratch.get();
  for (std::size_t k = 1; k < levels; ++k) {
    windows[k].data = free;
    windows[k].capacity = std::min(lengths[k], kWindowFloats);
    free += windows[k].capacity;
  }
  StreamedInverse(kernels, details, approximation, lengths, windows, next, *output).run();
  return output;
}

}  // namespace wavelet::detail
