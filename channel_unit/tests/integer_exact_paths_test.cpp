// The encoder's faster paths must give exactly what the plain arithmetic
// gives, since the bytes of a unit follow from them: LPC residuals summed in
// doubles against the integer prediction at the widest samples and largest
// coefficients, the fixed orders' residual sums of one pass against their
// residuals, word-stored bits against a bit-at-a-time writer, and rounding
// without the library against std::nearbyint.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "../src/integer_arithmetic.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_prediction.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {
namespace {

std::uint64_t zigzag(std::int64_t r) {
  return (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
}

std::vector<std::int64_t> samples_over(IntegerRange range, std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::int64_t> any(range.lo, range.hi);
  std::vector<std::int64_t> x(n);
  // Extremes first: predictions clamp there, at both ends.
  for (std::size_t i = 0; i < n; ++i) x[i] = i < 8 ? (i % 2 ? range.hi : range.lo) : any(rng);
  return x;
}

class LpcResidualsEveryOrder : public ::testing::TestWithParam<int> {};

TEST_P(LpcResidualsEveryOrder, EqualTheIntegerPrediction) {
  const int order = GetParam();
  for (const int width : {2, 12, 33}) {
    const IntegerRange range = IntegerRange::of_width(width);
    const auto x = samples_over(range, 300, static_cast<unsigned>(order * 64 + width));
    std::mt19937_64 rng(static_cast<unsigned>(order));
    std::uniform_int_distribution<std::int32_t> coef(-(1 << 14), (1 << 14) - 1);
    for (const int shift : {0, 13, 31}) {
      LpcModel model{{}, kMaxLpcPrecision, shift};
      for (int j = 0; j < order; ++j) model.coefs.push_back(j % 3 == 0 ? -(1 << 14) : coef(rng));
      std::vector<std::int64_t> r(x.size());
      lpc_residuals(x, model, range, r);
      for (std::size_t i = static_cast<std::size_t>(order); i < x.size(); ++i) {
        ASSERT_EQ(r[i - static_cast<std::size_t>(order)], x[i] - lpc_prediction(x.data(), i, model, range))
            << "order " << order << ", width " << width << ", shift " << shift << ", sample " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, LpcResidualsEveryOrder, ::testing::Range(1, kMaxLpcOrder + 1));

TEST(FixedResidualSums, EqualTheSumsOfEachOrdersResiduals) {
  for (const int width : {1, 3, 16, 33}) {
    const IntegerRange range = IntegerRange::of_width(width);
    // Short blocks too: an order counts only once it has its history.
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{4}, std::size_t{5}, std::size_t{999}}) {
      const auto x = samples_over(range, n, static_cast<unsigned>(width * 1000 + n));
      std::array<std::uint64_t, kMaxFixedOrder + 1> sums{};
      fixed_residual_sums(x, range, sums);
      EXPECT_EQ(sums[0], 0u);
      for (int order = 1; order <= kMaxFixedOrder; ++order) {
        std::uint64_t want = 0;
        if (static_cast<std::size_t>(order) < n) {
          std::vector<std::int64_t> r(n);
          fixed_residuals(x, order, range, r);
          for (std::size_t i = 0; i + static_cast<std::size_t>(order) < n; ++i) want += zigzag(r[i]);
        }
        EXPECT_EQ(sums[static_cast<std::size_t>(order)], want) << "width " << width << ", n " << n << ", order " << order;
      }
    }
  }
}

TEST(BitWriter, WordStoresGiveTheBitsOfABitAtATimeWriter) {
  std::mt19937_64 rng(7);
  BitWriter words;
  std::vector<bool> plain;
  for (int field = 0; field < 5000; ++field) {
    // Every width the writer takes, and runs of short fields between wide ones.
    const int bits = field % 7 == 0 ? static_cast<int>(rng() % 58) : static_cast<int>(rng() % 9);
    const std::uint64_t value = rng();
    words.put(value, bits);
    for (int b = bits - 1; b >= 0; --b) plain.push_back(((value >> b) & 1) != 0);
    ASSERT_EQ(words.bit_count(), plain.size());
  }
  const std::vector<std::uint8_t> bytes = words.finish();
  ASSERT_EQ(bytes.size(), (plain.size() + 7) / 8);
  for (std::size_t i = 0; i < bytes.size() * 8; ++i) {
    const bool want = i < plain.size() && plain[i];
    ASSERT_EQ(((bytes[i / 8] >> (7 - i % 8)) & 1) != 0, want) << "bit " << i;
  }
}

TEST(BitWriter, RiceRunsGiveTheBitsOfOneCodeAtATime) {
  std::mt19937_64 rng(5);
  for (const int k : {0, 1, 7, 30}) {
    for (const int escape_bits : {2, 17, 34}) {
      BitWriter run, single;
      run.put(5, 3);  // not byte aligned
      single.put(5, 3);
      std::vector<std::uint64_t> v(3000);
      for (std::size_t i = 0; i < v.size(); ++i) {
        // Short codes, codes near the escape and escapes.
        const int bits = static_cast<int>(rng() % static_cast<std::uint64_t>(k + 8));
        v[i] = (rng() & ((std::uint64_t{1} << bits) - 1)) & ((std::uint64_t{1} << escape_bits) - 1);
        const std::uint64_t q = v[i] >> k;
        if (q < 24) {
          single.put_unary(q);
          single.put(v[i], k);
        } else {
          single.put(0, 24);
          single.put_wide(v[i], escape_bits);
        }
      }
      run.put_rice_run(v.data(), v.size(), k, 24, escape_bits);
      ASSERT_EQ(run.bit_count(), single.bit_count()) << "k " << k << ", escape " << escape_bits;
      EXPECT_EQ(run.finish(), single.finish()) << "k " << k << ", escape " << escape_bits;
    }
  }
}

// A run's codes join a word and leave 32 bits at a time: codes that end
// exactly on, just before and just past a stored word, from every bit
// position of the byte the run starts in, and codes one bit either side of
// the 32 bits the one-step path takes (longer ones go in two pieces).
struct WordEdgeCase {
  int k;
  int start_bits;
};

class RiceRunWordEdges : public ::testing::TestWithParam<WordEdgeCase> {};

TEST_P(RiceRunWordEdges, GiveTheBitsOfOneCodeAtATime) {
  const auto [k, start_bits] = GetParam();
  std::vector<std::uint64_t> v;
  for (std::uint64_t q = 0; q < 24; ++q) {
    for (const std::uint64_t low : {std::uint64_t{0}, (std::uint64_t{1} << k) - 1}) v.push_back(q << k | low);
  }
  v.push_back(std::uint64_t{24} << k);  // the first escape
  for (std::size_t i = 0; i < 40; ++i) v.push_back(v[(i * 7) % v.size()]);
  BitWriter run, single;
  run.put(0x55, start_bits);
  single.put(0x55, start_bits);
  for (const std::uint64_t x : v) {
    const std::uint64_t q = x >> k;
    if (q < 24) {
      single.put_unary(q);
      single.put(x, k);
    } else {
      single.put(0, 24);
      single.put_wide(x, 34);
    }
  }
  run.put_rice_run(v.data(), v.size(), k, 24, 34);
  ASSERT_EQ(run.bit_count(), single.bit_count());
  EXPECT_EQ(run.finish(), single.finish());
}

INSTANTIATE_TEST_SUITE_P(Edges, RiceRunWordEdges,
                         ::testing::ValuesIn([] {
                           std::vector<WordEdgeCase> cases;
                           for (const int k : {0, 7, 8, 9, 29, 30}) {
                             for (int start = 0; start < 8; ++start) cases.push_back({k, start});
                           }
                           return cases;
                         }()));

// A writer used again after restart() writes what a new one writes, its
// earlier (longer or shorter) contents gone.
TEST(BitWriter, ARestartedWriterWritesAsANewOne) {
  std::mt19937_64 rng(11);
  BitWriter reused;
  for (const std::size_t count : {std::size_t{3000}, std::size_t{5}, std::size_t{700}, std::size_t{0}}) {
    std::vector<std::uint64_t> v(count);
    for (std::uint64_t& x : v) x = rng() % 300;
    BitWriter fresh;
    reused.restart();
    for (BitWriter* w : {&fresh, &reused}) {
      w->put(3, 5);
      w->put_rice_run(v.data(), v.size(), 4, 24, 20);
      w->put(1, 1);
    }
    const std::span<const std::uint8_t> shown = reused.padded();
    const std::vector<std::uint8_t> want = fresh.finish();
    EXPECT_EQ(std::vector<std::uint8_t>(shown.begin(), shown.end()), want) << count << " codes";
  }
}

// The power-of-two grid of float32 samples (found without a branch per
// sample) against the same values as float64 (found bit by bit): subnormal,
// zero, non-finite, negative, and spans just inside and outside 33 bits.
TEST(PowerOfTwoGrid, Float32SamplesFindTheGridTheirFloat64ValuesFind) {
  const float inf = std::numeric_limits<float>::infinity();
  const float tiny = std::numeric_limits<float>::denorm_min();
  const std::vector<std::vector<float>> cases = {
      {0.0f, -0.0f, inf, -inf, std::nanf("")},
      {1.0f, 0.5f, -0.25f, 3.0f},
      {tiny, 3.0f * tiny, -tiny * 1024.0f, inf},
      {std::ldexp(1.0f, 31), 1.0f},
      {std::ldexp(1.0f, 32), 1.0f},
      {std::ldexp(1.0f, 32) + std::ldexp(1.0f, 9), -0.0f},
      {6.0f, 12.0f, -0.0f, std::nanf("")},
      {std::numeric_limits<float>::max(), std::ldexp(1.0f, 100)},
  };
  std::mt19937 rng(3);
  std::vector<float> random(5000);
  for (float& v : random) v = std::bit_cast<float>((static_cast<std::uint32_t>(rng()) & 0x83ffffffu) | 0x3c000000u);
  auto all = cases;
  all.push_back(random);
  for (const auto& f : all) {
    const std::vector<double> d(f.begin(), f.end());
    const auto from_float = find_grid(std::span<const float>(f), std::nullopt);
    const auto from_double = find_grid(std::span<const double>(d), std::nullopt);
    ASSERT_EQ(from_float.has_value(), from_double.has_value()) << f.size() << " samples from " << f[0];
    if (!from_float) continue;
    EXPECT_EQ(from_float->step, from_double->step) << f[0];
    EXPECT_EQ(from_float->spacing, from_double->spacing) << f[0];
  }
}

// The vector form of rounding half away from zero against the conversion
// it stands for: halves and their neighbours either side of zero (ties go
// away from zero, whatever the even neighbour), both zeros, values whose
// sum with a half rounds, and random quotients up to 2^50.
TEST(RoundedHalfAway, MatchesTheConversionBelowTwoToThe50) {
  const auto want = [](double q) { return static_cast<std::int64_t>(q + std::copysign(0.5, q)); };
  std::vector<double> qs = {0.0, -0.0, 0.5, -0.5, 1.5, -1.5, 2.5, -2.5, 0.49999999999999994, -0.49999999999999994,
                            std::ldexp(1.0, 50) - 1.0, -std::ldexp(1.0, 50) + 1.0, std::ldexp(1.0, 50) - 0.5,
                            std::ldexp(1.0, 49) + 0.25, std::ldexp(1.0, 52) * std::numeric_limits<double>::epsilon()};
  for (double base = 0.5; base < 1.0e6; base = base * 3.0 + 0.5) {
    for (const double q : {base, std::nextafter(base, 0.0), std::nextafter(base, 1.0e9)}) {
      qs.push_back(q);
      qs.push_back(-q);
    }
  }
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (int i = 0; i < 20000; ++i) qs.push_back(std::ldexp(unit(rng), static_cast<int>(rng() % 51)));
  for (const double q : qs) EXPECT_EQ(rounded_half_away(q), want(q)) << std::hexfloat << q;
  // The run, four at a time and the rest one by one.
  std::vector<std::int64_t> run(qs.size());
  rounded_half_away_run(qs.data(), qs.size(), run.data());
  for (std::size_t i = 0; i < qs.size(); ++i) EXPECT_EQ(run[i], want(qs[i])) << std::hexfloat << qs[i];
}

TEST(RoundToNearest, MatchesTheLibraryInTheDefaultMode) {
  const double big = 2251799813685248.0;  // 2^51, where the shortcut ends
  const double inf = std::numeric_limits<double>::infinity();
  for (const double q : {0.0, 0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 0.49999999999999994, -0.49999999999999994,
                         4294967295.5, -4294967296.5, big - 0.5, big - 1.5, -(big - 0.5), big, big + 1.0,
                         -big, 1e300, -1e300, inf, -inf, 3.7e-310}) {
    EXPECT_EQ(round_to_nearest(q), std::nearbyint(q)) << q;
  }
  EXPECT_TRUE(std::isnan(round_to_nearest(std::nan(""))));
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> any(-1e9, 1e9);
  for (int i = 0; i < 100000; ++i) {
    const double q = any(rng) / 8.0;  // many halves among them
    ASSERT_EQ(round_to_nearest(q), std::nearbyint(q)) << q;
  }
}

}  // namespace
}  // namespace quillmere_tools
