// The Rice plan's own estimate of a block's bits never falls below what the
// block's residuals then take: a lean encode weighs one rANS table against
// that estimate before it counts the exact size, and skips the tables
// where they fall short even of the estimate. Were the estimate ever low,
// it would skip tables the exact count would have tried.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "../src/integer_rice_codes.hpp"

namespace quillmere_tools::integer_rice {
namespace {

// Residual shapes the lean encode meets: geometric spreads (speech), mostly
// zeros in long runs (quiet stretches, which the plan may code as runs),
// -1/0/1 with lone zeros (a chirp on a coarse grid), loud and quiet in
// turns, and rare values wide enough for the escape.
enum class Shape { Geometric, QuietRuns, Rounding, Alternating, WideEscapes };

std::vector<std::uint64_t> residuals(Shape shape, std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> u(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::Geometric: {
        std::uint64_t v = 0;
        while (rng() % 5 != 0) ++v;
        u[i] = v;
        break;
      }
      case Shape::QuietRuns:
        u[i] = (i / 200) % 3 == 0 ? rng() % 9 : (rng() % 40 == 0 ? 1 + rng() % 3 : 0);
        break;
      case Shape::Rounding:
        u[i] = rng() % 2 == 0 ? 0 : 1 + rng() % 2;
        break;
      case Shape::Alternating:
        u[i] = (i / 48) % 2 == 0 ? rng() % 3 : 300 + rng() % 3000;
        break;
      case Shape::WideEscapes:
        u[i] = rng() % 64 == 0 ? rng() >> 34 : rng() % 6;
        break;
    }
  }
  return u;
}

struct EstimateCase {
  const char* what;
  Shape shape;
  std::size_t block;
  std::size_t warm;
};

class RiceEstimate : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(RiceEstimate, IsNeverBelowTheExactSize) {
  const EstimateCase& c = GetParam();
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    const auto u = residuals(c.shape, c.block - c.warm, seed);
    for (const bool finest : {true, false}) {
      const RicePlan plan = plan_rice(u, c.warm, c.block, {}, finest);
      const std::uint64_t exact = residual_bits(u, c.warm, c.block, plan, 33);
      ASSERT_GE(plan.bits, exact) << "seed " << seed << (finest ? " with" : " without") << " the finest order";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RiceEstimate,
                         ::testing::Values(EstimateCase{"geometric", Shape::Geometric, 4096, 8},
                                           EstimateCase{"quiet_runs", Shape::QuietRuns, 4096, 2},
                                           EstimateCase{"rounding", Shape::Rounding, 4096, 1},
                                           EstimateCase{"alternating", Shape::Alternating, 4096, 0},
                                           EstimateCase{"wide_escapes", Shape::WideEscapes, 4096, 4},
                                           EstimateCase{"short_last_block", Shape::QuietRuns, 1234, 3}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace quillmere_tools::integer_rice
