// The integer coder on its own: every width from 8 to 33 bits, the block
// kinds (constant, verbatim, fixed, LPC), short and ragged lengths, and
// hostile streams that must end in one error, never a crash or a wrong value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"

namespace quillmere_tools {
namespace {

std::vector<std::int64_t> decode(std::span<const std::uint8_t> bytes, int width, std::size_t n,
                                 std::size_t block = kIntegerBlockLength) {
  std::vector<std::int64_t> out(n, 12345);
  auto done = decode_integers(bytes, width, block, n, [&](std::size_t start, std::span<const std::int64_t> v) {
    std::copy(v.begin(), v.end(), out.begin() + static_cast<std::ptrdiff_t>(start));
  });
  EXPECT_TRUE(done.has_value()) << (done ? "" : done.error().message);
  return out;
}

enum class Shape { Random, Smooth, Extremes, Constant, Steps, Sparse };

std::vector<std::int64_t> make(Shape shape, int width, std::size_t n, unsigned seed) {
  const IntegerRange r = IntegerRange::of_width(width);
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::int64_t> any(r.lo, r.hi);
  std::vector<std::int64_t> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::Random: x[i] = any(rng); break;
      case Shape::Smooth: {
        const double t = static_cast<double>(i);
        const double v = 0.45 * std::sin(t / 37.0) + 0.3 * std::sin(t / 5.3) + 0.01 * std::sin(t * 1.9);
        x[i] = r.clamp(static_cast<std::int64_t>(std::llround(v * static_cast<double>(r.hi))));
        break;
      }
      case Shape::Extremes: x[i] = (rng() & 1) ? r.lo : r.hi; break;
      case Shape::Constant: x[i] = r.lo; break;
      case Shape::Steps: x[i] = (i / 700) % 2 ? r.hi : r.lo + (r.hi - r.lo) / 3; break;
      case Shape::Sparse: x[i] = rng() % 40 == 0 ? any(rng) : 0; break;
    }
  }
  return x;
}

struct Case {
  Shape shape;
  int width;
  std::size_t n;
};

class IntegerRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(IntegerRoundTrip, DecodesEveryValue) {
  const Case c = GetParam();
  const auto x = make(c.shape, c.width, c.n, 7u + static_cast<unsigned>(c.n));
  const auto bytes = encode_integers(x, c.width, kIntegerBlockLength);
  EXPECT_EQ(decode(bytes, c.width, c.n), x);
  // Random values cost at most their width plus framing; nothing expands.
  EXPECT_LE(bytes.size(), c.n * static_cast<std::size_t>(c.width) / 8 + 16 * (c.n / kIntegerBlockLength + 1));
}

std::vector<Case> cases() {
  std::vector<Case> out;
  for (Shape s : {Shape::Random, Shape::Smooth, Shape::Extremes, Shape::Constant, Shape::Steps,
                  Shape::Sparse}) {
    for (int w : {1, 2, 8, 16, 24, 32, 33}) {
      for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{10}, std::size_t{130},
                            kIntegerBlockLength, kIntegerBlockLength * 2 + 77}) {
        out.push_back({s, w, n});
      }
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Shapes, IntegerRoundTrip, ::testing::ValuesIn(cases()));

// Quiet noise with rare spikes: partitions with a small Rice parameter then
// hold codes of every length, short ones, ones past 32 bits and escapes,
// which the writer takes in different ways; every effort's choice of
// models must decode to the values.
class SpikesOnNoise : public ::testing::TestWithParam<IntegerEffort> {};

TEST_P(SpikesOnNoise, DecodeToEveryValue) {
  for (const int width : {12, 24, 33}) {
    const IntegerRange r = IntegerRange::of_width(width);
    std::mt19937_64 rng(static_cast<unsigned>(width));
    std::normal_distribution<double> noise(0.0, 6.0);
    std::uniform_int_distribution<std::int64_t> any(r.lo, r.hi);
    std::vector<std::int64_t> x(3 * kIntegerBlockLength + 123);
    for (std::size_t i = 0; i < x.size(); ++i) {
      x[i] = i % 53 == 7 ? any(rng) : r.clamp(std::llround(noise(rng)) + (i % 977 == 0 ? r.hi / 3 : 0));
    }
    const auto bytes = encode_integers(x, width, kIntegerBlockLength, 0, GetParam());
    EXPECT_EQ(decode(bytes, width, x.size()), x) << "width " << width;
  }
}

INSTANTIATE_TEST_SUITE_P(Efforts, SpikesOnNoise,
                         ::testing::Values(IntegerEffort::Full, IntegerEffort::Quick, IntegerEffort::Lean));

TEST(IntegerCoder, PredictsSmoothSignalsFarBelowTheirWidth) {
  const auto x = make(Shape::Smooth, 16, 20000, 1);
  const auto bytes = encode_integers(x, 16, kIntegerBlockLength);
  // Verbatim would be 40000 bytes; linear prediction must do far better.
  EXPECT_LT(bytes.size(), 40000u / 3);
}

TEST(IntegerCoder, RunsOfZeroResidualsCostLessThanABitEach) {
  const auto x = make(Shape::Steps, 16, 40000, 1);
  EXPECT_LT(encode_integers(x, 16, kIntegerBlockLength).size(), 40000u / 8 / 4);
}

TEST(IntegerCoder, APeriodRepeatsFromTheBlockBefore) {
  // Random values repeating every 37 samples: nothing predicts them but the
  // period, which every block finds (in itself or the block before).
  std::mt19937 rng(6);
  std::vector<std::int64_t> period(37);
  for (auto& v : period) v = static_cast<std::int64_t>(rng() % 60000) - 30000;
  std::vector<std::int64_t> x(5 * kIntegerBlockLength + 300);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = period[i % period.size()];
  const auto bytes = encode_integers(x, 16, kIntegerBlockLength);
  EXPECT_EQ(decode(bytes, 16, x.size()), x);
  // One period written as it is, then runs of zero residuals.
  EXPECT_LT(bytes.size(), 37u * 2 + 200);
}

TEST(IntegerCoder, ATailFromABlockOnIsTheRestOfTheWholeStream) {
  const auto x = make(Shape::Smooth, 20, 3 * kIntegerBlockLength + 50, 8);
  const auto whole = encode_integers(x, 20, kIntegerBlockLength);
  const auto head = encode_integers(std::span(x).first(kIntegerBlockLength), 20, kIntegerBlockLength);
  const auto tail = encode_integers(x, 20, kIntegerBlockLength, kIntegerBlockLength);
  std::vector<std::uint8_t> joined(head);
  joined.insert(joined.end(), tail.begin(), tail.end());
  EXPECT_EQ(joined, whole);
}

TEST(IntegerCoder, SameBytesForTheSameInput) {
  const auto x = make(Shape::Smooth, 24, 9000, 3);
  EXPECT_EQ(encode_integers(x, 24, kIntegerBlockLength), encode_integers(x, 24, kIntegerBlockLength));
}

UnitResult<void> try_decode(std::span<const std::uint8_t> bytes, int width, std::size_t n) {
  return decode_integers(bytes, width, kIntegerBlockLength, n, [](std::size_t, std::span<const std::int64_t>) {});
}

TEST(IntegerCoderHostile, EveryTruncationIsAnError) {
  const auto x = make(Shape::Smooth, 16, 5000, 2);
  const auto bytes = encode_integers(x, 16, kIntegerBlockLength);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const auto r = try_decode(std::span(bytes).first(cut), 16, x.size());
    ASSERT_FALSE(r.has_value()) << "cut at " << cut;
    EXPECT_EQ(r.error().kind, UnitErrorKind::CorruptUnit);
  }
}

TEST(IntegerCoderHostile, FlippedBitsNeverDecodeOutsideTheWidth) {
  const auto x = make(Shape::Smooth, 12, 3000, 4);
  const auto bytes = encode_integers(x, 12, kIntegerBlockLength);
  const IntegerRange r = IntegerRange::of_width(12);
  std::mt19937 rng(9);
  for (int trial = 0; trial < 2000; ++trial) {
    auto bad = bytes;
    bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    bool in_range = true;
    const auto done = decode_integers(bad, 12, kIntegerBlockLength, x.size(),
                                      [&](std::size_t, std::span<const std::int64_t> v) {
                                        for (auto k : v) in_range = in_range && k >= r.lo && k <= r.hi;
                                      });
    EXPECT_TRUE(in_range);
    if (!done) {
      EXPECT_EQ(done.error().kind, UnitErrorKind::CorruptUnit);
    }
  }
}

TEST(IntegerCoderHostile, CountsTheBytesCannotHoldAreRefusedUpFront) {
  const std::vector<std::uint8_t> tiny(40, 0);
  const auto r = try_decode(tiny, 16, 2147483647u);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().message.find("too short"), std::string::npos);
}

TEST(IntegerCoderHostile, TrailingBytesAreRefused) {
  const auto x = make(Shape::Random, 8, 100, 5);
  auto bytes = encode_integers(x, 8, kIntegerBlockLength);
  bytes.push_back(0);
  EXPECT_FALSE(try_decode(bytes, 8, x.size()).has_value());
}

}  // namespace
}  // namespace quillmere_tools
