#include "multi_level.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "buffers.hpp"
#include "lifting_steps.hpp"

namespace wavelet::detail {
namespace {

// Every accepted level shortens its input (to about half), and no span
// holds more than 2^62 floats, so no decomposition can go deeper than this;
// reserving it keeps the level records from moving while they are built.
constexpr std::size_t kDeepestPossible = 64;

TransformResult<Dwt> one_level(const IncompleteDwtExecutor& kernel, LevelRules rules,
                               std::span<const float> input) noexcept {
  const DwtSize size = kernel.dwt_size(input.size());
  if (rules.kernels != nullptr && input.size() >= rules.level_minimum) {
    auto approximation = reserved_floats(size.approximation, true);
    if (!approximation) return std::unexpected(approximation.error());
    auto details = reserved_floats(size.details, true);
    if (!details) return std::unexpected(details.error());
    rules.kernels->forward(kernel, input, Output(*approximation), Output(*details));
    return Dwt{std::move(*approximation), std::move(*details)};
  }
  auto approximation = zeroed_floats(size.approximation);
  if (!approximation) return std::unexpected(approximation.error());
  auto details = zeroed_floats(size.details);
  if (!details) return std::unexpected(details.error());
  if (auto done = kernel.execute_forward(input, *approximation, *details); !done) {
    return std::unexpected(done.error());
  }
  return Dwt{std::move(*approximation), std::move(*details)};
}

}  // namespace

TransformResult<MultiDwt> multi_dwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                    std::span<const float> signal, std::size_t levels) noexcept {
  if (rules.style == LevelStyle::Lifting && signal.size() < rules.level_minimum) {
    return std::unexpected(TransformError::level_too_deep());
  }
  MultiDwt out;
  const std::size_t slots = std::clamp<std::size_t>(levels, 1, kDeepestPossible);
  try {
    out.levels.reserve(slots);
  } catch (const std::bad_alloc&) {
    return std::unexpected(TransformError::allocation_failed(slots * sizeof(Dwt)));
  }

  if (levels <= 1) {
    // A single level leaves the length check to the kernel, so a short
    // signal reports the kernel's own InputTooShort.
    auto level = one_level(kernel, rules, signal);
    if (!level) return std::unexpected(level.error());
    out.levels.push_back(std::move(*level));
    return out;
  }

  // Each level reads the previous level's approximation where it lies: the
  // kernel never writes its input, so no working copy is needed.
  std::span<const float> input = signal;
  for (std::size_t k = 0; k < levels; ++k) {
    if (input.size() < rules.level_minimum)
      return std::unexpected(TransformError::level_too_deep());
    auto level = one_level(kernel, rules, input);
    if (!level) return std::unexpected(level.error());
    try {
      out.levels.push_back(std::move(*level));
    } catch (const std::bad_alloc&) {
      return std::unexpected(
          TransformError::allocation_failed((out.levels.size() + 1) * sizeof(Dwt)));
    }
    input = out.levels.back().approximation;
  }
  return out;
}

TransformResult<Dwt> dwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                         std::span<const float> signal, std::size_t level) noexcept {
  auto all = multi_dwt(kernel, rules, signal, level);
  if (!all) return std::unexpected(all.error());
  return std::move(all->levels.back());
}

TransformResult<std::vector<float>> idwt(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                         std::span<const float> approximation,
                                         std::span<const float> details) noexcept {
  std::size_t length;
  if (rules.style == LevelStyle::FilterBank) {
    if (approximation.size() != details.size()) {
      return std::unexpected(
          TransformError::approx_details_mismatch(approximation.size(), details.size()));
    }
    length = kernel.idwt_size(approximation.size(), details.size());
  } else {
    length = approximation.size() + details.size();
  }
  auto output = zeroed_floats(length);
  if (!output) return output;
  if (auto done = kernel.execute_inverse(approximation, details, *output); !done) {
    return std::unexpected(done.error());
  }
  return output;
}

namespace {

// Level by level through idwt: the reference order of checks, used when the
// lengths do not fit together so the error arises where the levels say.
TransformResult<std::vector<float>> multi_idwt_per_level(
    const IncompleteDwtExecutor& kernel, LevelRules rules,
    std::span<const std::span<const float>> details,
    std::span<const float> approximation) noexcept {
  auto current = idwt(kernel, rules, approximation, details.back());
  for (std::size_t i = details.size() - 1; current && i-- > 0;) {
    if (rules.style == LevelStyle::FilterBank) {
      // An odd-length level reconstructs one sample too many (the border
      // extension); the finer level's details say how many are real.
      if (current->size() < details[i].size()) {
        return std::unexpected(
            TransformError::approx_details_mismatch(current->size(), details[i].size()));
      }
      current->resize(details[i].size());
    }
    current = idwt(kernel, rules, *current, details[i]);
  }
  return current;
}

struct InversePlan {
  std::size_t output = 0;  // length of the finest level, the result
  // Longest level rebuilt in each buffer. Consistent layouts shrink towards
  // the coarse end, but lengths recomputed from a too-short signal can grow
  // there (the 8-tap dwt_size of 0 is 3, of 3 is 5), so the buffers are
  // sized for their longest level, not for the result.
  std::size_t output_capacity = 0;
  std::size_t scratch = 0;
};

// Levels alternate between the result buffer (even k, finest = 0) and one
// scratch buffer (odd k), so a reconstruction needs the result plus about
// half of it again, instead of a fresh buffer per level. Lengths follow
// from the inputs; nullopt where they cannot fit together.
std::optional<InversePlan> plan_inverse(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                        std::span<const std::span<const float>> details,
                                        std::span<const float> approximation) noexcept {
  InversePlan plan;
  std::size_t current = approximation.size();
  for (std::size_t k = details.size(); k-- > 0;) {
    const std::size_t d = details[k].size();
    std::size_t m;
    if (rules.style == LevelStyle::FilterBank) {
      const bool coarsest = k + 1 == details.size();
      if (coarsest ? current != d : current < d) return std::nullopt;
      m = kernel.idwt_size(d, d);
    } else {
      m = saturating_add(current, d);
    }
    std::size_t& longest = k % 2 == 1 ? plan.scratch : plan.output_capacity;
    longest = std::max(longest, m);
    current = m;
  }
  plan.output = current;
  return plan;
}

// One level into `target`, through the unchecked kernel when there is one.
TransformResult<void> inverse_level(const IncompleteDwtExecutor& kernel, LevelRules rules,
                                    std::span<const float> approximation,
                                    std::span<const float> details, std::size_t length,
                                    Output target) noexcept {
  if (rules.kernels == nullptr) {
    target.reach(length);
    return kernel.execute_inverse(approximation, details, {target.data(), length});
  }
  if (auto fits = rules.kernels->check_inverse(approximation.size(), details.size(), length);
      !fits) {
    return fits;
  }
  rules.kernels->inverse(kernel, approximation, details, target);
  return {};
}

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

// The lifting reconstruction through StreamedInverse. Lengths are checked
// for every level, coarsest first, before any is rebuilt, so the first
// level whose kernel rejects them reports as idwt would.
TransformResult<std::vector<float>> streamed_idwt(const LevelKernels& kernels,
                                                  std::span<const std::span<const float>> details,
                                                  std::span<const float> approximation,
                                                  std::size_t output_length) noexcept {
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

}  // namespace

TransformResult<std::vector<float>> multi_idwt(const IncompleteDwtExecutor& kernel,
                                               LevelRules rules,
                                               std::span<const std::span<const float>> details,
                                               std::span<const float> approximation) noexcept {
  if (details.empty() || approximation.empty()) {
    return std::unexpected(TransformError::zero_sized_input());
  }
  const auto plan = plan_inverse(kernel, rules, details, approximation);
  if (!plan) return multi_idwt_per_level(kernel, rules, details, approximation);
  if (rules.style == LevelStyle::Lifting && rules.kernels != nullptr &&
      rules.kernels->inverse_pairs != nullptr && details.size() <= kDeepestPossible) {
    return streamed_idwt(*rules.kernels, details, approximation, plan->output);
  }

  // Both buffers are taken before the first level runs; a lifting level
  // whose lengths its kernel rejects then reports exactly as idwt would.
  auto output = reserved_floats(plan->output_capacity);
  if (!output) return output;
  std::unique_ptr<float[]> scratch;
  if (plan->scratch > 0) {
    auto taken = scratch_floats(plan->scratch);
    if (!taken) return std::unexpected(taken.error());
    scratch = std::move(*taken);
  }

  // The filter bank adds into its output, which must start as zeros; the
  // lifting kernels overwrite every value. The result vector only ever
  // grows to what has been written, so its size says how much a coarser
  // level left there.
  const bool adds = rules.style == LevelStyle::FilterBank;
  std::span<const float> current = approximation;
  for (std::size_t k = details.size(); k-- > 0;) {
    const std::span<const float> d = details[k];
    // An odd-length level rebuilds one surplus sample; the finer details
    // say how many are real (the plan checked there are enough).
    if (adds && k + 1 < details.size()) current = current.first(d.size());
    const std::size_t m = adds ? kernel.idwt_size(d.size(), d.size()) : current.size() + d.size();
    std::span<float> written;
    TransformResult<void> done;
    if (k % 2 == 1) {
      written = {scratch.get(), m};
      if (adds) std::fill(written.begin(), written.end(), 0.0f);
      done = inverse_level(kernel, rules, current, d, m, Output(written));
    } else {
      if (adds) std::fill_n(output->begin(), std::min(output->size(), m), 0.0f);
      written = {output->data(), m};
      done = inverse_level(kernel, rules, current, d, m, Output(*output));
    }
    if (!done) return std::unexpected(done.error());
    current = written;
  }
  output->resize(plan->output);  // never beyond the capacity: no reallocation
  return output;
}

}  // namespace wavelet::detail
