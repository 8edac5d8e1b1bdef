#include "wavelet/factories.hpp"

#include <algorithm>
#include <new>

#include "wavelet/lifting.hpp"
#include "wavelet/completed_dwt_executor.hpp"
#include "wavelet/wavelet8taps.hpp"

namespace wavelet {
namespace {

// Builds the 8-tap bank inside a CompletedDwtExecutor; any other tap count has
// no executor here.
DwtHandle make_filter_bank(const std::vector<float>& low_pass, BorderMode mode) noexcept {
  if (low_pass.size() != Wavelet8Taps::kTaps || mode > BorderMode::Zeros) return nullptr;
  std::array<float, Wavelet8Taps::kTaps> taps;
  std::copy(low_pass.begin(), low_pass.end(), taps.begin());
  try {
    auto inner = std::make_shared<const Wavelet8Taps>(mode, taps);
    return std::make_shared<const CompletedDwtExecutor>(std::move(inner));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

template <class Executor>
DwtHandle make_lifting() noexcept {
  try {
    return std::make_shared<const Executor>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

DwtHandle make_cdf53_f32() noexcept { return make_lifting<Cdf53>(); }

DwtHandle make_cdf97_f32() noexcept { return make_lifting<Cdf97>(); }

DwtHandle make_daubechies_f32(DaubechiesFamily member, BorderMode mode) noexcept {
  return make_filter_bank(get_wavelet(member), mode);
}

DwtHandle make_symlet_f32(std::uint8_t index, BorderMode mode) noexcept {
  return make_filter_bank(get_symlet(index), mode);
}

}  // namespace wavelet
