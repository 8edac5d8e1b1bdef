// A fast request may skip the whole-signal grid check when its first
// samples prove the bounds loose against any grid; the plan must be the one
// the full check gives, whatever the signal and bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_choice.hpp"

namespace quillmere_tools {
namespace {

struct Shape {
  std::string name;
  std::vector<float> x;
};

std::vector<Shape> shapes() {
  std::mt19937 rng(20261209);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<Shape> out;
  const std::size_t n = 20000;
  std::vector<float> pcm(n), coarse(n), quiet_start(n), long_silence(n), off_grid(n), halves(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    const double voice = 9000.0 * std::sin(t / 17.0) * std::sin(t / 900.0) + 300.0 * noise(rng);
    pcm[i] = static_cast<float>(std::round(voice) / 32768.0);
    // Few levels, far apart: a bound of 1 % of the range lies below the spacing.
    coarse[i] = static_cast<float>(1024.0 * std::round(2.0 * std::sin(t / 50.0)));
    // Zeros where the proof looks, then 16-bit samples.
    quiet_start[i] = i < 100 ? 0.0f : pcm[i];
    // Silence for most of the signal, then a coarse grid, so that the
    // nonzero samples a proof reaches are the grid's.
    long_silence[i] = i < 15000 ? 0.0f : coarse[i];
    off_grid[i] = static_cast<float>(std::sin(t / 13.0) + 1e-3 * noise(rng));
    halves[i] = static_cast<float>(0.5 * std::round(40.0 * std::sin(t / 31.0)));
  }
  // A lone NaN and infinity among the first samples are passed over.
  pcm[3] = NAN;
  pcm[5] = INFINITY;
  out.push_back({"pcm", pcm});
  out.push_back({"coarse", coarse});
  out.push_back({"quiet_start", quiet_start});
  out.push_back({"long_silence", long_silence});
  out.push_back({"off_grid", off_grid});
  out.push_back({"halves", halves});
  return out;
}

double range_of(const std::vector<float>& x) {
  double lo = INFINITY, hi = -INFINITY;
  for (const float v : x) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, static_cast<double>(v));
    hi = std::max(hi, static_cast<double>(v));
  }
  return hi - lo;
}

TEST(FastGridCheck, AFastPlanIsTheThoroughOnesWhateverItSkips) {
  int compared = 0, rounded = 0, exact = 0;
  for (const Shape& s : shapes()) {
    const SignalView view = std::span<const float>(s.x);
    const double range = range_of(s.x);
    for (const double fraction : {1e-6, 1e-4, 1e-3, 1e-2, 0.3}) {
      for (const int kind : {0, 1, 2}) {  // max_error, rmse, both
        UnitRequest thorough;
        if (kind != 1) thorough.bounds.max_error = fraction * range;
        if (kind != 0) thorough.bounds.rmse = 0.5 * fraction * range;
        UnitRequest fast = thorough;
        fast.effort = SearchEffort::Fast;
        // Both with the grid checked first, so that a rounded plan's grid is
        // the checked one either way and only the skip can set them apart.
        const auto a = plan_integer(view, thorough, GridCheck::Before);
        const auto b = plan_integer(view, fast, GridCheck::Before);
        const std::string where = s.name + " at " + std::to_string(fraction) + " kind " + std::to_string(kind);
        ASSERT_TRUE(a.has_value() && b.has_value()) << where;
        ASSERT_EQ(a->has_value(), b->has_value()) << where;
        ++compared;
        if (!a->has_value()) continue;
        const IntegerPlan& p = **a;
        const IntegerPlan& q = **b;
        EXPECT_EQ(p.grid.step, q.grid.step) << where;
        EXPECT_EQ(p.grid.offset, q.grid.offset) << where;
        EXPECT_EQ(p.grid.spacing, q.grid.spacing) << where;
        EXPECT_EQ(p.only, q.only) << where;
        EXPECT_EQ(p.compare, q.compare) << where;
        (p.effort == IntegerEffort::Full ? exact : rounded) += 1;
      }
    }
  }
  // The cases must reach both kinds of integer plan, or the comparison
  // proves little about the skip.
  EXPECT_EQ(compared, 90);
  EXPECT_GT(exact, 0);
  EXPECT_GT(rounded, 0);
}

}  // namespace
}  // namespace quillmere_tools
