// The refinement's moves, four values at a time: each value must be what
// adding the rounded move to it one by one gives, for ties, signed zeros,
// moves past the 16-bit range and moves the float range cannot hold, at
// every length (vector bodies and their tails).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "bound_refinement.hpp"

namespace quillmere {
namespace {

std::int16_t one_by_one(float step, float m, std::int16_t base) {
  const double v = static_cast<double>(base) + std::nearbyint(static_cast<double>(step * m));
  if (!std::isfinite(v)) return base;
  return static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0));
}

class ValueMoves : public ::testing::TestWithParam<float> {};

TEST_P(ValueMoves, EqualTheMovesOneByOne) {
  const float m = GetParam();
  const float inf = std::numeric_limits<float>::infinity();
  // Moves that land on ties of the rounding at this multiplier, and ones
  // at the edges of both ranges.
  const std::vector<float> special = {0.5f / m,  -0.5f / m,  2.5f / m, -1.5f / m, 0.0f,
                                      -0.0f,     1e-30f,     3e38f,    -3e38f,    inf,
                                      -inf,      std::numeric_limits<float>::quiet_NaN(),
                                      40000.0f / m, -70000.0f / m, 0.49999997f / m};
  const std::vector<std::int16_t> bases = {0, 1, -1, 32767, -32768, 32760, -32760, 123};
  std::uint64_t s = 0x9e3779b97f4a7c15ull;
  const auto next = [&s] {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::uint32_t>(s >> 33);
  };
  for (const std::size_t n : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 17u, 1000u}) {
    std::vector<float> step(n);
    std::vector<std::int16_t> base(n), to(n, 7);
    for (std::size_t i = 0; i < n; ++i) {
      step[i] = next() % 3 == 0 ? special[next() % special.size()]
                                : (static_cast<float>(next() % 2001) / 1000.0f - 1.0f) * 3.0f / m;
      base[i] = bases[next() % bases.size()];
    }
    const std::size_t changed = refine::add_moves(step, m, base, to);
    std::size_t want_changed = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const std::int16_t want = one_by_one(step[i], m, base[i]);
      ASSERT_EQ(to[i], want) << "n " << n << " at " << i << ": step " << step[i] << " base " << base[i];
      want_changed += want != base[i];
    }
    EXPECT_EQ(changed, want_changed) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Multipliers, ValueMoves, ::testing::Values(1.0f, 3.7f, 57.735f, 1e-3f, 1e30f));

}  // namespace
}  // namespace quillmere
