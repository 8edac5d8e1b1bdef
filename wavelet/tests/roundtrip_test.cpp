// Forward then inverse gives the signal back within f32 rounding, for every
// wavelet, every length from its minimum to 300 and every level count the
// length admits, plus a few lengths of the size the codec sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "wavelet/wavelet.hpp"

namespace wavelet {
namespace {

using testing::close_to;
using testing::random_signal;

struct Wavelet {
  std::string name;
  DwtHandle (*make)();
  std::size_t minimum;  // shortest signal multi_dwt accepts
};

void PrintTo(const Wavelet& w, std::ostream* os) { *os << w.name; }

const Wavelet kWavelets[] = {
    {"cdf53", [] { return make_cdf53_f32(); }, 3},
    {"cdf97", [] { return make_cdf97_f32(); }, 4},
    {"db4", [] { return make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap); }, 8},
    {"sym4", [] { return make_symlet_f32(2, BorderMode::Wrap); }, 8},
};

// Unit-range samples lose a few ulps per level and direction; 8 levels of
// both stay well inside this.
constexpr float kTolerance = 1e-5f;

class RoundTrip : public ::testing::TestWithParam<Wavelet> {
 protected:
  // Returns false when `levels` is deeper than the signal allows.
  bool round_trip(const std::vector<float>& x, std::size_t levels) {
    const auto m = executor_->multi_dwt(x, levels);
    if (!m) {
      EXPECT_EQ(m.error(), TransformError::level_too_deep());
      return false;
    }
    EXPECT_EQ(m->levels.size(), levels);
    std::vector<std::span<const float>> details;
    for (const Dwt& level : m->levels) details.emplace_back(level.details);
    const auto y = executor_->multi_idwt(details, m->levels.back().approximation);
    EXPECT_TRUE(y.has_value()) << y.error().message();
    if (!y) return true;
    // Only the 8-tap bank keeps a surplus sample, and only for odd lengths.
    const bool surplus = executor_->filter_length() == 8 && x.size() % 2 == 1;
    EXPECT_EQ(y->size(), x.size() + (surplus ? 1 : 0));
    EXPECT_TRUE(close_to(*y, x, kTolerance)) << "n = " << x.size() << ", levels = " << levels;
    return true;
  }

  DwtHandle executor_ = GetParam().make();
};

TEST_P(RoundTrip, EveryShortLengthAndEveryAdmissibleLevelCount) {
  for (std::size_t n = GetParam().minimum; n <= 300; ++n) {
    const auto x = random_signal(n, static_cast<std::uint32_t>(n) * 31);
    std::size_t levels = 1;
    while (round_trip(x, levels)) ++levels;
    // Halving from n reaches the level minimum after about log2(n) levels.
    EXPECT_GE(levels, 2u) << n;
    EXPECT_LE(levels, 10u) << n;
    if (HasFailure()) break;
  }
}

TEST_P(RoundTrip, LengthsNearAMillion) {
  for (std::size_t n : {999'999u, 1'000'000u, 1'048'577u}) {
    const auto x = random_signal(n, static_cast<std::uint32_t>(n));
    EXPECT_TRUE(round_trip(x, 8)) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(AllWavelets, RoundTrip, ::testing::ValuesIn(kWavelets),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace wavelet
