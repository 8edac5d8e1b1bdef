#include <algorithm>

#include "buffers.hpp"
#include "lifting_scheme.hpp"
#include "wavelet/lifting.hpp"

namespace wavelet {
namespace detail {

TransformResult<void> check_lifting_inverse(std::size_t minimum, std::size_t a, std::size_t d,
                                            std::size_t m) noexcept {
  if (m != a + d) return std::unexpected(TransformError::output_size_mismatch(a + d, m));
  const DwtSize want = lifting_size(m, minimum);
  if (a != want.approximation) {
    return std::unexpected(TransformError::approximate_size_mismatch(a, want.approximation));
  }
  if (d != want.details) {
    return std::unexpected(TransformError::details_size_mismatch(d, want.details));
  }
  // What passes has m >= minimum, a = ceil(m/2) and d = floor(m/2).
  return {};
}

}  // namespace detail

namespace {

detail::LevelRules rules_of(const detail::LiftingScheme& scheme) noexcept {
  return {detail::LevelStyle::Lifting, scheme.minimum_input, &scheme.kernels};
}

}  // namespace

DwtSize LiftingDwtExecutor::dwt_size(std::size_t n) const noexcept {
  return detail::lifting_size(n, scheme().minimum_input);
}

std::size_t LiftingDwtExecutor::idwt_size(std::size_t a, std::size_t d) const noexcept {
  return std::max(detail::saturating_add(a, d), scheme().minimum_input);
}

TransformResult<void> LiftingDwtExecutor::execute_forward(std::span<const float> input,
                                                          std::span<float> approximation,
                                                          std::span<float> details) const noexcept {
  const detail::LiftingScheme& s = scheme();
  const auto fits =
      detail::check_split(input.size(), s.minimum_input, approximation.size(), details.size());
  if (!fits) return std::unexpected(fits.error());
  s.kernels.forward(*this, input, detail::Output(approximation), detail::Output(details));
  return {};
}

TransformResult<void> LiftingDwtExecutor::execute_inverse(std::span<const float> approximation,
                                                          std::span<const float> details,
                                                          std::span<float> output) const noexcept {
  const detail::LevelKernels& kernels = scheme().kernels;
  if (auto fits = kernels.check_inverse(approximation.size(), details.size(), output.size()); !fits)
    return fits;
  kernels.inverse(*this, approximation, details, detail::Output(output));
  return {};
}

std::size_t LiftingDwtExecutor::filter_length() const noexcept { return scheme().filter_length; }

TransformResult<Dwt> LiftingDwtExecutor::dwt(std::span<const float> signal,
                                             std::size_t level) const noexcept {
  return detail::dwt(*this, rules_of(scheme()), signal, level);
}

TransformResult<MultiDwt> LiftingDwtExecutor::multi_dwt(std::span<const float> signal,
                                                        std::size_t levels) const noexcept {
  return detail::multi_dwt(*this, rules_of(scheme()), signal, levels);
}

TransformResult<std::vector<float>> LiftingDwtExecutor::idwt(
    std::span<const float> approximation, std::span<const float> details) const noexcept {
  return detail::idwt(*this, rules_of(scheme()), approximation, details);
}

TransformResult<std::vector<float>> LiftingDwtExecutor::multi_idwt(
    std::span<const std::span<const float>> details,
    std::span<const float> approximation) const noexcept {
  return detail::multi_idwt(*this, rules_of(scheme()), details, approximation);
}

}  // namespace wavelet
