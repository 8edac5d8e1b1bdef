// How the squared error of quantising a decomposition grows as the
// multiplier shrinks, predicted from a histogram of its coefficient
// magnitudes: a coefficient that rounds to zero costs its own square, any
// other about step^2 / 12. The wavelets' syntheses nearly keep energy, so
// this sum over the coefficients stands for the squared error of the
// normalised samples. The bounded search uses it only to place its
// judgements (each one an inverse transform); what it returns is always
// judged through the decoder's arithmetic. Internal to the codec library.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "compress_stages.hpp"

namespace quillmere::search {

class RoundingNoise {
 public:
  // Nothing known: squared_error is 0 everywhere and usable() false.
  RoundingNoise() = default;
  // From every level's details and the deepest approximation.
  explicit RoundingNoise(const stages::Decomposition& d);

  // Whether any coefficient was counted that rounding could move.
  bool usable() const { return counted_ > 0.0; }

  // The predicted sum of squared coefficient errors at multiplier m > 0
  // when detail magnitudes below `zero_below` steps become zero (0.5: plain
  // rounding; the approximation is always rounded). Never increases with m.
  double squared_error(double m, double zero_below) const;

  // The multiplier in [lo, hi] whose predicted squared error is `target`
  // (to a small fraction of a grid step), lo or hi when none inside is.
  double multiplier_for(double target, double zero_below, double lo, double hi) const;

  // Magnitude classes: the float's exponent and its leading mantissa bits,
  // kSubBins per octave, so a class is read straight from the bits.
  static constexpr int kMantissaBits = 3;
  static constexpr int kSubBins = 1 << kMantissaBits;
  static constexpr int kBins = 256 * kSubBins;

 private:
  // Running totals below each class boundary, so a query costs O(1):
  // below_count[k] counts magnitudes in classes < k, below_sq their
  // squares.
  struct Histogram {
    std::array<double, kBins + 1> below_count{};
    std::array<double, kBins + 1> below_sq{};
    void add(std::span<const float> band);
    double squared_error(double m, double zero_below) const;
  };
  struct Histograms {
    Histogram details;
    Histogram approximation;
  };
  // On the heap and only when made from a decomposition: every method's
  // search state holds one, and kept in place its 64 kB were zero-filled
  // for every search, needed or not (a max-error search never reads it).
  std::unique_ptr<Histograms> h_;
  double counted_ = 0.0;
};

// The class of a finite magnitude, and the class's lower edge.
int magnitude_class(float magnitude) noexcept;
double class_lower_edge(int k) noexcept;

}  // namespace quillmere::search
