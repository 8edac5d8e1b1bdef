// A fast search on samples whose extremes the caller scanned leaves the
// originals' energy to its first marking judgement rather than taking it in
// a pass of its own. Whatever it reports must be what the full reference
// gives, bit for bit: the marks, every distortion figure and the units.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillmere/bounded_search.hpp"
#include "search_support.hpp"

namespace quillmere {
namespace {

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

void expect_same_bits(const Distortion& a, const Distortion& b, const std::string& where) {
  EXPECT_EQ(bits(a.max_error), bits(b.max_error)) << where;
  EXPECT_EQ(bits(a.rmse), bits(b.rmse)) << where;
  EXPECT_EQ(bits(a.prd), bits(b.prd)) << where;
  EXPECT_EQ(bits(a.psnr), bits(b.psnr)) << where;
}

// A signal and a reconstruction off by a little everywhere and by a lot at
// scattered samples, so that a bound between the two marks some of them.
struct Pair {
  std::vector<float> x, y;
};
Pair make_pair(std::size_t n, std::uint32_t seed) {
  Pair p;
  std::uint32_t s = seed;
  const auto draw = [&] {
    s = s * 1664525u + 1013904223u;
    return static_cast<double>(s >> 8) / 16777216.0 - 0.5;
  };
  for (std::size_t i = 0; i < n; ++i) {
    const double v = 3.0 * std::sin(static_cast<double>(i) * 0.031) + draw();
    const double off = draw() * (draw() > 0.3 ? 0.2 : 0.002);
    p.x.push_back(static_cast<float>(v));
    p.y.push_back(static_cast<float>(v + off));
  }
  return p;
}

class MarkingWithPendingEnergy : public ::testing::TestWithParam<std::size_t> {};

// Lengths around the lanes (4), the judgement's blocks (512) and a marks
// word (64): the energy's lanes must line up with the whole reference's.
TEST_P(MarkingWithPendingEnergy, GivesTheFullReferencesFiguresAndMarks) {
  const std::size_t n = GetParam();
  const Pair p = make_pair(n, static_cast<std::uint32_t>(n) * 31u + 7u);
  const Originals o = Originals::of_float(p.x);
  const auto whole = search::reference_in_lanes(o);
  ASSERT_FALSE(whole.energy_pending);
  const auto lo = *std::min_element(p.x.begin(), p.x.end());
  const auto hi = *std::max_element(p.x.begin(), p.x.end());
  const auto pending = search::reference_in_range(o, lo, hi);
  ASSERT_TRUE(pending.energy_pending);

  const double bound = 0.05;
  search::Judgement a, b;
  std::vector<std::uint64_t> marks_a, marks_b;
  search::Unmarked within_a, within_b;
  ASSERT_TRUE(search::judge_marking(whole, p.y, bound, a, marks_a, within_a));
  ASSERT_TRUE(search::judge_marking(pending, p.y, bound, b, marks_b, within_b));

  EXPECT_LT(a.energy, 0.0) << "a whole reference has nothing to hand over";
  EXPECT_EQ(bits(b.energy), bits(whole.sum_x2)) << n;
  expect_same_bits(a.distortion, b.distortion, "length " + std::to_string(n));
  EXPECT_EQ(marks_a, marks_b);
  for (std::size_t l = 0; l < 4; ++l) {
    EXPECT_EQ(bits(within_a.max4[l]), bits(within_b.max4[l])) << l;
    EXPECT_EQ(bits(within_a.sq4[l]), bits(within_b.sq4[l])) << l;
  }
  // The marks are exactly the samples beyond the bound, lane by lane.
  ASSERT_EQ(marks_b.size(), (n + 63) / 64);
  std::size_t marked = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double e = std::fabs(static_cast<double>(p.x[i]) - static_cast<double>(p.y[i]));
    const bool mark = (marks_b[i / 64] >> (i % 64)) & 1u;
    EXPECT_EQ(mark, e > bound) << "sample " << i << " of " << n;
    marked += mark;
  }
  for (std::size_t i = n; i < 64 * marks_b.size(); ++i) {
    EXPECT_FALSE((marks_b[i / 64] >> (i % 64)) & 1u) << i;
  }
  if (n >= 64) {
    EXPECT_GT(marked, 0u) << "the case must mark some samples";
  }
  // The figures a full judgement gives for the same samples.
  expect_same_bits(search::judge(whole, p.y, 0.0).distortion, b.distortion, "judge, length " + std::to_string(n));
}

INSTANTIATE_TEST_SUITE_P(Lengths, MarkingWithPendingEnergy,
                         ::testing::Values(1, 2, 3, 4, 5, 63, 64, 65, 511, 512, 513, 515, 1027, 4099));

// Requests the fast search takes with and without the caller's range: the
// same units and the same figures to the bit, whether the range lets it
// leave the energy pending (a corrected max_error, alone or beside RMS-type
// bounds) or not (PRD, no corrections, several methods).
enum class Bounded { MaxError, WithRmse, WithPsnr, WithPrd, NoCorrections, TwoMethods };

struct FastCase {
  Bounded bounded;
  std::size_t n;
  double fraction;
};

std::string name_of(const ::testing::TestParamInfo<FastCase>& info) {
  static const char* names[] = {"MaxError", "WithRmse", "WithPsnr", "WithPrd", "NoCorrections", "TwoMethods"};
  return std::string(names[static_cast<int>(info.param.bounded)]) + "_" + std::to_string(info.param.n) + "_" +
         std::to_string(static_cast<int>(info.param.fraction * 1e4));
}

class FastWithKnownRange : public ::testing::TestWithParam<FastCase> {};

TEST_P(FastWithKnownRange, SameUnitsAndFiguresAsWithoutIt) {
  const FastCase c = GetParam();
  std::vector<float> x = make_pair(c.n, 99u + static_cast<std::uint32_t>(c.n)).x;
  if (c.n > 20) x[11] = -0.0f;  // a signed zero inside the range
  const float lo = *std::min_element(x.begin(), x.end());
  const float hi = *std::max_element(x.begin(), x.end());
  const double range = std::max(static_cast<double>(hi) - lo, 1e-3);
  SearchRequest plain;
  plain.samples = x;
  plain.originals = Originals::of_float(x);
  plain.effort = Effort::Fast;
  plain.coders = {Coder::Fast};
  plain.bounds.max_error = c.fraction * range;
  switch (c.bounded) {
    case Bounded::MaxError: break;
    case Bounded::WithRmse: plain.bounds.rmse = c.fraction * range / 4.0; break;
    case Bounded::WithPsnr: plain.bounds.psnr = 20.0 * std::log10(4.0 / c.fraction); break;
    case Bounded::WithPrd: plain.bounds.prd = 100.0 * c.fraction / 4.0; break;
    case Bounded::NoCorrections: plain.allow_corrections = false; break;
    case Bounded::TwoMethods: plain.methods = {Method::Cdf97, Method::Cdf53}; break;
  }
  SearchRequest ranged = plain;
  ranged.range = FiniteRange{lo, hi};
  const auto a = bounded_compress(plain);
  const auto b = bounded_compress(ranged);
  ASSERT_EQ(a.has_value(), b.has_value());
  if (!a) {
    EXPECT_EQ(a.error().message(), b.error().message());
    return;
  }
  EXPECT_EQ(a->container, b->container);
  EXPECT_EQ(a->corrections, b->corrections);
  EXPECT_EQ(a->corrected_samples, b->corrected_samples);
  expect_same_bits(a->wavelet, b->wavelet, "layer");
  expect_same_bits(a->corrected, b->corrected, "corrected");
  EXPECT_LE(b->corrected.max_error, *plain.bounds.max_error);
}

std::vector<FastCase> fast_cases() {
  std::vector<FastCase> out;
  for (const Bounded k : {Bounded::MaxError, Bounded::WithRmse, Bounded::WithPsnr, Bounded::WithPrd,
                          Bounded::NoCorrections, Bounded::TwoMethods}) {
    for (const std::size_t n : {std::size_t{7}, std::size_t{515}, std::size_t{20001}}) {
      for (const double f : {1e-3, 1e-2}) out.push_back({k, n, f});
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Bounds, FastWithKnownRange, ::testing::ValuesIn(fast_cases()), name_of);

}  // namespace
}  // namespace quillmere
