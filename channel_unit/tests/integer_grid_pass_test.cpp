// The grid pass (on_grid) takes stretches of finite samples four at a time
// with their extremes and its measures' sums in one pass, and every other
// stretch one sample at a time: its integers and measures must be those of
// the plain per-sample pass, whatever stretches hold non-finite samples or
// quotients too large for the fast path, for float32 and float64 samples,
// and lengths that leave stretches and groups of four partly filled.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "../src/integer_grid_pass.hpp"

namespace quillmere_tools {
namespace {

struct Plain {
  std::vector<std::int64_t> k;
  std::int64_t k_lo = 0, k_hi = 0;
  double e_max = 0.0, sum_sq = 0.0, sum_x2 = 0.0, y_sum = 0.0;
  double y_lo = std::numeric_limits<double>::infinity(), y_hi = -std::numeric_limits<double>::infinity();
  std::size_t finite = 0;
};

// One sample at a time, every sum in the samples' order.
template <class T>
Plain plain_pass(const std::vector<T>& x, const IntegerGrid& grid) {
  Plain p;
  p.k.resize(x.size());
  std::int64_t previous = 0;
  bool started = false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) {
      p.k[i] = previous;
      continue;
    }
    const double v = static_cast<double>(x[i]);
    const auto k = static_cast<std::int64_t>(std::nearbyint((v - grid.offset) / grid.step));
    p.k[i] = previous = k;
    if (!started) {
      for (std::size_t j = 0; j < i; ++j) p.k[j] = k;
      p.k_lo = p.k_hi = k;
      started = true;
    }
    p.k_lo = std::min(p.k_lo, k);
    p.k_hi = std::max(p.k_hi, k);
    double y = grid.offset + grid.step * static_cast<double>(k);
    if constexpr (std::is_same_v<T, float>) y = static_cast<double>(static_cast<float>(y));
    const double e = std::fabs(y - v);
    p.e_max = std::max(p.e_max, e);
    p.sum_sq += e * e;
    p.sum_x2 += v * v;
    p.y_sum += y;
    p.y_lo = std::min(p.y_lo, y);
    p.y_hi = std::max(p.y_hi, y);
    ++p.finite;
  }
  return p;
}

struct Layout {
  std::string name;
  std::size_t length;
  std::vector<std::size_t> not_finite;  // positions of NaN and infinities
  std::vector<std::size_t> huge;        // positions of quotients near 2^52 (the per-sample path)
};

template <class T>
void expect_plain_pass(const Layout& layout) {
  std::mt19937 rng(static_cast<unsigned>(layout.length));
  std::uniform_real_distribution<double> uniform(-3.0, 3.0);
  std::vector<T> x(layout.length);
  for (T& v : x) v = static_cast<T>(uniform(rng));
  const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                        -std::numeric_limits<T>::infinity()};
  for (std::size_t j = 0; j < layout.not_finite.size(); ++j) x[layout.not_finite[j]] = specials[j % 3];
  const IntegerGrid grid{std::ldexp(1.0, -22), 0.003, std::ldexp(1.0, -22)};
  for (const std::size_t at : layout.huge) x[at] = static_cast<T>(std::ldexp(1.0, 30));
  const GridSamples g = on_grid(std::span<const T>(x), grid);
  const Plain p = plain_pass(x, grid);
  ASSERT_EQ(g.finite, p.finite);
  EXPECT_TRUE(std::equal(g.k.begin(), g.k.end(), p.k.begin()));
  EXPECT_EQ(g.k_lo, p.k_lo);
  EXPECT_EQ(g.k_hi, p.k_hi);
  EXPECT_EQ(g.y_lo, p.y_lo);
  EXPECT_EQ(g.y_hi, p.y_hi);
  EXPECT_EQ(g.y_sum, p.y_sum);
  EXPECT_EQ(g.measures.max_error, p.e_max);
  EXPECT_EQ(g.measures.rmse, std::sqrt(p.sum_sq / static_cast<double>(p.finite)));
  EXPECT_EQ(g.measures.prd, 100.0 * std::sqrt(p.sum_sq / p.sum_x2));
}

class GridPass : public ::testing::TestWithParam<Layout> {};

TEST_P(GridPass, Float32GivesThePlainPass) { expect_plain_pass<float>(GetParam()); }
TEST_P(GridPass, Float64GivesThePlainPass) { expect_plain_pass<double>(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Layouts, GridPass,
    ::testing::Values(Layout{"finite", 1299, {}, {}}, Layout{"short", 3, {}, {}}, Layout{"one_stretch", 512, {}, {}},
                      Layout{"leading_nan", 1299, {0, 1, 2}, {}}, Layout{"nan_in_second", 1299, {700, 1030}, {}},
                      Layout{"huge_in_first_and_last", 1299, {}, {5, 1298}},
                      Layout{"both", 2050, {513, 1600}, {1024, 2049}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillmere_tools
