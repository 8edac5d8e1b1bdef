// The Rice plan of a block. A partition's parameter is the cheapest of the
// three around log2 of its residuals' integer mean, found without a
// division, which must agree with the division's everywhere, including
// where the mean is an exact power of two or just below one. A lean plan
// leaves out the finest partition order.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <vector>

#include "../src/integer_rice_codes.hpp"

namespace quillmere_tools::integer_rice {
namespace {

constexpr int kHighestParameter = 30;

// The plan's rule spelt out with the division.
RiceFit by_division(std::uint64_t count, std::uint64_t sum) {
  const std::uint64_t mean = count ? sum / count : 0;
  const int centre = std::min(mean ? static_cast<int>(std::bit_width(mean)) - 1 : 0, kHighestParameter);
  RiceFit best{0, ~std::uint64_t{0}};
  for (int k = std::max(0, centre - 1); k <= std::min(kHighestParameter, centre + 1); ++k) {
    const std::uint64_t cost = count * static_cast<std::uint64_t>(k + 1) + (sum >> k);
    if (cost < best.bits) best = {k, cost};
  }
  return best;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs() {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out{
      {0, 0}, {0, 5}, {1, 0}, {7, 0}, {7, 6}, {7, 7}, {1, ~std::uint64_t{0}}, {3, ~std::uint64_t{0}},
      {4096, std::uint64_t{1} << 40}, {4095, std::uint64_t{1} << 50}};
  // Means at and either side of every power of two, for counts of every width.
  for (int b = 0; b < 20; ++b) {
    for (const std::uint64_t count : {std::uint64_t{1} << b, (std::uint64_t{1} << b) + 1,
                                      (std::uint64_t{2} << b) - 1}) {
      for (int j = 0; j < 40; ++j) {
        const std::uint64_t exact = count << j;
        out.push_back({count, exact});
        out.push_back({count, exact - 1});
        out.push_back({count, exact + count - 1});
      }
    }
  }
  std::mt19937_64 rng(8);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t count = 1 + (rng() >> (1 + rng() % 63));
    out.push_back({count, rng() >> (rng() % 64)});
  }
  return out;
}

TEST(RiceFit, TakesTheParameterTheDivisionWouldGive) {
  for (const auto& [count, sum] : pairs()) {
    const RiceFit got = fit_rice(count, sum);
    const RiceFit want = by_division(count, sum);
    ASSERT_EQ(got.k, want.k) << count << " values summing to " << sum;
    ASSERT_EQ(got.bits, want.bits) << count << " values summing to " << sum;
  }
}

// Residuals loud and quiet in turns every 32: only the finest partitions
// (32 residuals each in a block of 4096) follow them.
std::vector<std::uint64_t> alternating(std::size_t n, std::size_t every) {
  std::mt19937_64 rng(2);
  std::vector<std::uint64_t> u(n);
  for (std::size_t i = 0; i < n; ++i) u[i] = (i / every) % 2 == 0 ? rng() % 2 : 2000 + rng() % 2000;
  return u;
}

TEST(RicePlan, WithoutTheFinestOrderTakesACoarserOne) {
  constexpr std::size_t kBlock = 4096;
  const auto u = alternating(kBlock, 32);
  const RicePlan full = plan_rice(u, 0, kBlock);
  const RicePlan lean = plan_rice(u, 0, kBlock, {}, false);
  EXPECT_EQ(full.order, 7);
  EXPECT_LT(lean.order, 7);
  EXPECT_EQ(lean.parts.size(), std::size_t{1} << lean.order);
  EXPECT_GT(lean.bits, full.bits);
}

TEST(RicePlan, WithoutTheFinestOrderIsTheSameWhereACoarserOneWins) {
  constexpr std::size_t kBlock = 4096;
  for (const std::size_t every : {std::size_t{256}, std::size_t{1024}}) {
    const auto u = alternating(kBlock, every);
    const RicePlan full = plan_rice(u, 0, kBlock);
    const RicePlan lean = plan_rice(u, 0, kBlock, {}, false);
    EXPECT_EQ(lean.order, full.order) << every;
    EXPECT_EQ(lean.bits, full.bits) << every;
  }
}

}  // namespace
}  // namespace quillmere_tools::integer_rice
