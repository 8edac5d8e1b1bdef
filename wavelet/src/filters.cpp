#include "wavelet/filters.hpp"

#include <new>

namespace wavelet {
namespace {

// Daubechies, four vanishing moments (db4).
constexpr std::array<double, 8> kDb4 = {
    0.2303778133088965,   0.7148465705529157,   0.6308807679298589, -0.027983769416859854,
    -0.18703481171909309, 0.030841381835560764, 0.0328830116668852, -0.010597401785069032,
};

// Symlet, four vanishing moments (sym4).
constexpr std::array<double, 8> kSym4 = {
    0.0322231006040427, -0.012603967262037833, -0.09921954357684722, 0.29785779560527736,
    0.8037387518059161, 0.49761866763201545,   -0.02963552764599851, -0.07576571478927333,
};

std::vector<float> to_f32(std::span<const double> taps) noexcept {
  try {
    // static_cast from double rounds to nearest under the default mode.
    return std::vector<float>(taps.begin(), taps.end());
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace

std::span<const double> daubechies_taps(DaubechiesFamily member) noexcept {
  if (member == DaubechiesFamily::Db4) return kDb4;
  return {};
}

std::span<const double> symlet_taps(std::uint8_t index) noexcept {
  if (index == 2) return kSym4;
  return {};
}

std::vector<float> get_wavelet(DaubechiesFamily member) noexcept {
  return to_f32(daubechies_taps(member));
}

std::vector<float> get_symlet(std::uint8_t index) noexcept { return to_f32(symlet_taps(index)); }

}  // namespace wavelet
