// The reconstruction level after level, for the filter banks and for
// lifting kernels that rebuild a level without streaming. Levels alternate
// between the result buffer (even k, finest = 0) and one scratch buffer
// (odd k), so a reconstruction needs the result plus about half of it
// again, instead of a fresh buffer per level.
#include <algorithm>
#include <memory>

#include "buffers.hpp"
#include "multi_level_inverse.hpp"

namespace wavelet::detail {
namespace {

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

}  // namespace

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

TransformResult<std::vector<float>> multi_idwt_in_two_buffers(
    const IncompleteDwtExecutor& kernel, LevelRules rules,
    std::span<const std::span<const float>> details, std::span<const float> approximation,
    const InversePlan& plan) noexcept {
  // Both buffers are taken before the first level runs; a lifting level
  // whose lengths its kernel rejects then reports exactly as idwt would.
  auto output = reserved_floats(plan.output_capacity);
  if (!output) return output;
  std::unique_ptr<float[]> scratch;
  if (plan.scratch > 0) {
    auto taken = scratch_floats(plan.scratch);
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
  output->resize(plan.output);  // never beyond the capacity: no reallocation
  return output;
}

}  // namespace wavelet::detail
