// The integer coder's two readings, the fast one (residuals first, then the
// predictor, LPC partly in doubles) and the checked one (each sample
// checked as it is rebuilt), must give the same values, or the same error,
// for any bytes: hand-built LPC blocks of every order with the largest
// products the format allows, the encoder's own streams, and those streams
// cut short or with bits flipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "../src/integer_block_reading.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"

namespace quillmere_tools {
namespace {

// The decoded values, or the error's message.
struct Outcome {
  std::vector<std::int64_t> values;
  std::string error;
  bool operator==(const Outcome&) const = default;
};

Outcome read(std::span<const std::uint8_t> bytes, int width, std::size_t n, IntegerReading reading,
             std::size_t block = kIntegerBlockLength) {
  Outcome out;
  out.values.assign(n, 0);
  const auto done = decode_integers(
      bytes, width, block, n,
      [&](std::size_t start, std::span<const std::int64_t> v) {
        std::copy(v.begin(), v.end(), out.values.begin() + static_cast<std::ptrdiff_t>(start));
      },
      reading);
  if (!done) {
    out.values.clear();
    out.error = done.error().message;
  }
  return out;
}

void expect_same_readings(std::span<const std::uint8_t> bytes, int width, std::size_t n, const char* what) {
  const Outcome fast = read(bytes, width, n, IntegerReading::Fast);
  const Outcome checked = read(bytes, width, n, IntegerReading::Checked);
  EXPECT_EQ(fast.error, checked.error) << what;
  EXPECT_TRUE(fast.values == checked.values) << what;
}

std::uint64_t zigzag(std::int64_t r) {
  return (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
}

// One LPC block of the samples `x` at `width` bits with `model`, every
// residual Rice coded with k = 30 in one partition (enough bits a sample
// for the one-loop reading).
std::vector<std::uint8_t> lpc_stream(const LpcModel& model, std::span<const std::int64_t> x, int width) {
  const IntegerRange range = IntegerRange::of_width(width);
  const auto order = static_cast<int>(model.coefs.size());
  BitWriter bits;
  bits.put(3, 2);
  bits.put(static_cast<std::uint64_t>(order - 1), 5);
  bits.put(static_cast<std::uint64_t>(model.precision - 1), 4);
  bits.put(static_cast<std::uint64_t>(model.shift), 5);
  for (std::int32_t c : model.coefs) bits.put(static_cast<std::uint64_t>(static_cast<std::int64_t>(c)), model.precision);
  for (int i = 0; i < order; ++i) bits.put_wide(static_cast<std::uint64_t>(x[static_cast<std::size_t>(i)]), width);
  bits.put(0, 4);   // one partition
  bits.put(30, 5);  // k = 30: a residual of 34 bits has a quotient below 16
  for (std::size_t i = static_cast<std::size_t>(order); i < x.size(); ++i) {
    const std::uint64_t u = zigzag(x[i] - lpc_prediction(x.data(), i, model, range));
    bits.put_unary(u >> 30);
    bits.put(u, 30);
  }
  const auto body = bits.finish();
  std::vector<std::uint8_t> stream(4 + body.size());
  quillmere::store_le32(stream.data(), static_cast<std::uint32_t>(body.size()));
  std::copy(body.begin(), body.end(), stream.begin() + 4);
  return stream;
}

// One LPC block of `n` samples at `width` bits: coefficients of 15 bits
// near their extremes, samples drawn over the whole width (so the products
// reach 2^46 and their sums 2^51). Returns the stream and the samples it
// holds.
std::pair<std::vector<std::uint8_t>, std::vector<std::int64_t>> lpc_block(int order, int width, std::size_t n,
                                                                          unsigned seed) {
  std::mt19937_64 rng(seed);
  const IntegerRange range = IntegerRange::of_width(width);
  std::uniform_int_distribution<std::int64_t> any(range.lo, range.hi);
  std::uniform_int_distribution<std::int32_t> coef(-(1 << 14), (1 << 14) - 1);
  LpcModel model;
  model.precision = kMaxLpcPrecision;
  model.shift = 19;  // predictions about the width's scale, often clamped
  for (int j = 0; j < order; ++j) model.coefs.push_back(coef(rng));
  std::vector<std::int64_t> x(n);
  for (auto& v : x) v = any(rng);
  return {lpc_stream(model, x, width), x};
}

class LpcEveryOrder : public ::testing::TestWithParam<int> {};

TEST_P(LpcEveryOrder, WideSamplesDecodeExactlyInBothReadings) {
  const int order = GetParam();
  for (const int width : {16, 24, 33}) {
    const std::size_t n = 700;
    const auto [stream, x] = lpc_block(order, width, n, static_cast<unsigned>(order * 100 + width));
    const Outcome fast = read(stream, width, n, IntegerReading::Fast);
    ASSERT_EQ(fast.error, "") << "order " << order << ", width " << width;
    EXPECT_TRUE(fast.values == x) << "order " << order << ", width " << width;
    expect_same_readings(stream, width, n, "hand-built LPC block");
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, LpcEveryOrder, ::testing::Range(1, kMaxLpcOrder + 1));

// The older LPC terms of narrow blocks (samples of 16 bits or fewer) are
// summed in 32-bit lanes where the weights allow it. An LPC block whose
// older weights are all positive and total `total`, over samples mostly at
// the width's lowest value, so that the older sum reaches -total * 2^(width
// - 1): at the largest total the 32-bit sums allow it is exact there, and at
// twice that it would wrap if the lanes were taken. The shift keeps every
// prediction within the width (the one-loop reading runs to the end).
// Weights over the largest a 15-bit coefficient holds are cut to it.
LpcModel heavy_model(int order, std::int64_t total) {
  const std::int64_t older = order - 2;
  total = std::min(total, older * ((1 << 14) - 1));
  LpcModel model;
  model.precision = kMaxLpcPrecision;
  model.coefs = {9000, -3000};
  for (std::int64_t j = 0; j < older; ++j) {
    model.coefs.push_back(static_cast<std::int32_t>(total / older + (j < total % older ? 1 : 0)));
  }
  std::int64_t magnitude = 0;
  for (const std::int32_t c : model.coefs) magnitude += c < 0 ? -c : c;
  model.shift = std::bit_width(static_cast<std::uint64_t>(magnitude));
  return model;
}

std::vector<std::int64_t> mostly_lowest(int width, std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  const IntegerRange range = IntegerRange::of_width(width);
  std::uniform_int_distribution<std::int64_t> any(range.lo, range.hi);
  std::vector<std::int64_t> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = i < n / 8 || rng() % 16 == 0 ? any(rng) : range.lo;
  return x;
}

struct NarrowCase {
  int width;
  // The older weights' total as a multiple of the largest the 32-bit sums
  // take (2^31 / 2^(width - 1), less one).
  int times;
};

class LpcNarrowSums : public ::testing::TestWithParam<std::tuple<int, NarrowCase>> {};

TEST_P(LpcNarrowSums, ExtremeOlderSumsDecodeExactlyInBothReadings) {
  const auto [order, c] = GetParam();
  const std::int64_t largest = (std::int64_t{1} << (32 - c.width)) - 1;
  const std::size_t n = 1500;
  const auto x = mostly_lowest(c.width, n, static_cast<unsigned>(order * 1000 + c.width * 10 + c.times));
  const auto stream = lpc_stream(heavy_model(order, largest * c.times), x, c.width);
  const std::string where = "order " + std::to_string(order) + ", width " + std::to_string(c.width) + ", x" +
                            std::to_string(c.times);
  const Outcome fast = read(stream, c.width, n, IntegerReading::Fast);
  ASSERT_EQ(fast.error, "") << where;
  EXPECT_TRUE(fast.values == x) << where;
  expect_same_readings(stream, c.width, n, where.c_str());
  // The one-loop reading alone, which the two-pass reading would otherwise
  // stand in for: it must read the block itself, to the same samples.
  std::vector<std::int64_t> y(n), residuals;
  std::vector<double> history;
  std::vector<std::int16_t> narrow;
  const auto read_alone = integer_reading::decode_lpc_block_in_one_loop(std::span(stream).subspan(4), {}, y,
                                                                       c.width, residuals, history, narrow);
  EXPECT_EQ(read_alone, integer_reading::OneLoop::Read) << where;
  EXPECT_TRUE(y == x) << where;
}

INSTANTIATE_TEST_SUITE_P(OrdersAndTotals, LpcNarrowSums,
                         ::testing::Combine(::testing::Range(3, kMaxLpcOrder + 1),
                                            ::testing::Values(NarrowCase{9, 1}, NarrowCase{12, 1},
                                                              NarrowCase{16, 1}, NarrowCase{16, 2},
                                                              NarrowCase{17, 1})));

class LpcNarrowOutside : public ::testing::TestWithParam<int> {};

// A narrow LPC block with one sample just outside the width (beyond 16 bits
// at width 16, where its 16-bit copy wraps): the block must be refused at
// that sample by both readings, whatever the later sums come to.
TEST_P(LpcNarrowOutside, OneSampleOutsideTheWidthIsRefusedByBothReadings) {
  const int order = GetParam();
  const std::size_t n = 800;
  for (const int width : {10, 16}) {
    for (const bool above : {false, true}) {
      auto x = mostly_lowest(width, n, static_cast<unsigned>(order + width));
      const IntegerRange range = IntegerRange::of_width(width);
      const std::size_t at = n / 2;
      x[at] = above ? range.hi + 1 : range.lo - 1;
      const auto stream = lpc_stream(heavy_model(order, 1000), x, width);
      const std::string where = "order " + std::to_string(order) + ", width " + std::to_string(width) +
                                (above ? ", above" : ", below");
      const Outcome fast = read(stream, width, n, IntegerReading::Fast);
      EXPECT_NE(fast.error.find("sample " + std::to_string(at) + " falls outside"), std::string::npos)
          << where << ": " << fast.error;
      expect_same_readings(stream, width, n, where.c_str());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, LpcNarrowOutside, ::testing::Values(3, 4, 10, 11, 19, 32));

// One fixed-order block whose samples jump between the width's extremes
// and random values, so that orders 2 to 4 predict beyond the width (and
// are clamped) now and then: the fast reading runs such blocks without the
// clamp first and must notice. Residuals Rice coded with k = 30.
std::pair<std::vector<std::uint8_t>, std::vector<std::int64_t>> fixed_block(int order, int width, std::size_t n,
                                                                            unsigned seed) {
  std::mt19937_64 rng(seed);
  const IntegerRange range = IntegerRange::of_width(width);
  std::uniform_int_distribution<std::int64_t> any(range.lo, range.hi);
  std::vector<std::int64_t> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto pick = rng() % 8;
    x[i] = pick == 0 ? range.lo : pick == 1 ? range.hi : i > 0 && pick < 5 ? x[i - 1] : any(rng);
  }
  BitWriter bits;
  bits.put(2, 2);  // a fixed order
  bits.put(static_cast<std::uint64_t>(order), 3);
  for (int i = 0; i < order; ++i) bits.put_wide(static_cast<std::uint64_t>(x[static_cast<std::size_t>(i)]), width);
  bits.put(0, 4);   // one partition
  bits.put(30, 5);  // k = 30
  for (std::size_t i = static_cast<std::size_t>(order); i < n; ++i) {
    const std::uint64_t u = zigzag(x[i] - fixed_prediction(x.data(), i, order, range));
    bits.put_unary(u >> 30);
    bits.put(u, 30);
  }
  const auto body = bits.finish();
  std::vector<std::uint8_t> stream(4);
  quillmere::store_le32(stream.data(), static_cast<std::uint32_t>(body.size()));
  stream.insert(stream.end(), body.begin(), body.end());
  return {stream, x};
}

class FixedEveryOrder : public ::testing::TestWithParam<int> {};

TEST_P(FixedEveryOrder, ClampedPredictionsDecodeExactlyInBothReadings) {
  const int order = GetParam();
  for (const int width : {2, 16, 33}) {
    const std::size_t n = 900;
    const auto [stream, x] = fixed_block(order, width, n, static_cast<unsigned>(order * 100 + width));
    if (order > 1) {
      // The block does clamp some predictions.
      const IntegerRange range = IntegerRange::of_width(width);
      int clamped = 0;
      for (std::size_t i = static_cast<std::size_t>(order); i < n; ++i) {
        const std::int64_t a = x[i - 1], b = x[i - 2];
        const std::int64_t raw = order == 2 ? 2 * a - b
                                 : order == 3 ? 3 * a - 3 * b + x[i - 3]
                                              : 4 * a - 6 * b + 4 * x[i - 3] - x[i - 4];
        clamped += raw != range.clamp(raw) ? 1 : 0;
      }
      EXPECT_GT(clamped, 0) << "order " << order << ", width " << width;
    }
    const Outcome fast = read(stream, width, n, IntegerReading::Fast);
    ASSERT_EQ(fast.error, "") << "order " << order << ", width " << width;
    EXPECT_TRUE(fast.values == x) << "order " << order << ", width " << width;
    expect_same_readings(stream, width, n, "hand-built fixed block");
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, FixedEveryOrder, ::testing::Range(1, kMaxFixedOrder + 1));

// The fixed-order code of a repeat block.
constexpr int kRepeat = 7;

// A fixed-order block (order 0 to 4, or kRepeat for a repeat of the
// samples `lag` back) of smooth samples at `width` bits but one, at `at`,
// set just outside the width: the residuals are coded as the format
// predicts, so the stream is well formed and only that sample is wrong.
std::vector<std::uint8_t> block_with_one_outside(int order, int width, std::size_t n, std::size_t at,
                                                 bool above) {
  const IntegerRange range = IntegerRange::of_width(width);
  const std::size_t lag = 5;
  std::vector<std::int64_t> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = range.clamp(std::llround(0.6 * std::sin(static_cast<double>(i) / 17.0) * static_cast<double>(range.hi)));
  }
  x[at] = above ? range.hi + 1 : range.lo - 1;
  const bool repeat = order == kRepeat;
  const std::size_t warm = repeat ? lag : static_cast<std::size_t>(order);
  const std::int64_t centre = x[0] / 2;
  BitWriter bits;
  bits.put(2, 2);  // a fixed order
  bits.put(static_cast<std::uint64_t>(order), 3);
  if (repeat) bits.put(lag - 1, 16);
  if (order == 0) bits.put_wide(static_cast<std::uint64_t>(centre), width);
  for (std::size_t i = 0; i < warm; ++i) bits.put_wide(static_cast<std::uint64_t>(x[i]), width);
  bits.put(0, 4);   // one partition
  bits.put(30, 5);  // k = 30
  for (std::size_t i = warm; i < n; ++i) {
    const std::int64_t prediction = repeat       ? x[i - lag]
                                    : order == 0 ? centre
                                                 : fixed_prediction(x.data(), i, order, range);
    const std::uint64_t u = zigzag(x[i] - prediction);
    bits.put_unary(u >> 30);
    bits.put(u, 30);
  }
  const auto body = bits.finish();
  std::vector<std::uint8_t> stream(4);
  quillmere::store_le32(stream.data(), static_cast<std::uint32_t>(body.size()));
  stream.insert(stream.end(), body.begin(), body.end());
  return stream;
}

class FixedOutside : public ::testing::TestWithParam<int> {};

// The fast reading checks the samples of fixed and repeat blocks as it
// rebuilds them: a single sample outside the width, first, inside or last,
// above or below, must fail the block there as the checked reading does.
TEST_P(FixedOutside, OneSampleOutsideTheWidthIsRefusedByBothReadings) {
  const int order = GetParam();
  const std::size_t first = order == kRepeat ? 5 : static_cast<std::size_t>(order);
  const std::size_t n = 600;
  for (const int width : {8, 16, 33}) {
    for (const std::size_t at : {first, n / 2, n - 1}) {
      for (const bool above : {false, true}) {
        const auto stream = block_with_one_outside(order, width, n, at, above);
        const Outcome fast = read(stream, width, n, IntegerReading::Fast);
        const std::string where = "order " + std::to_string(order) + ", width " + std::to_string(width) +
                                  ", sample " + std::to_string(at);
        EXPECT_NE(fast.error.find("sample " + std::to_string(at) + " falls outside"), std::string::npos)
            << where << ": " << fast.error;
        expect_same_readings(stream, width, n, where.c_str());
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, FixedOutside,
                         ::testing::Values(0, 1, 2, 3, 4, kRepeat));

// Streams of the encoder's own: smooth (fixed and LPC blocks), sparse (runs
// of zeros), periodic (repeats a lag back) and random (verbatim) values.
std::vector<std::int64_t> signal(int kind, int width, std::size_t n) {
  const IntegerRange r = IntegerRange::of_width(width);
  std::mt19937_64 rng(static_cast<unsigned>(kind * 7 + width));
  std::uniform_int_distribution<std::int64_t> any(r.lo, r.hi);
  std::vector<std::int64_t> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    switch (kind) {
      case 0:
        x[i] = r.clamp(std::llround((0.4 * std::sin(t / 29.0) + 0.05 * std::sin(t / 3.1)) * static_cast<double>(r.hi)) +
                       static_cast<std::int64_t>(rng() % 5) - 2);
        break;
      case 1: x[i] = rng() % 30 == 0 ? any(rng) / 64 : 0; break;
      case 2: x[i] = i < 300 ? any(rng) : x[i - 300]; break;
      default: x[i] = any(rng); break;
    }
  }
  return x;
}

struct Stream {
  int kind;
  int width;
};

class EncodedStreams : public ::testing::TestWithParam<Stream> {};

TEST_P(EncodedStreams, CutsAndFlippedBitsEndTheSameInBothReadings) {
  const auto [kind, width] = GetParam();
  const auto x = signal(kind, width, 9000);
  const auto bytes = encode_integers(x, width, kIntegerBlockLength);
  const Outcome whole = read(bytes, width, x.size(), IntegerReading::Fast);
  ASSERT_EQ(whole.error, "");
  EXPECT_TRUE(whole.values == x);
  std::mt19937 rng(static_cast<unsigned>(kind * 31 + width));
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t cut = rng() % bytes.size();
    expect_same_readings(std::span(bytes).first(cut), width, x.size(), "cut short");
  }
  int failed = 0;
  for (int trial = 0; trial < 600; ++trial) {
    auto bad = bytes;
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
      bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    failed += read(bad, width, x.size(), IntegerReading::Checked).error.empty() ? 0 : 1;
    expect_same_readings(bad, width, x.size(), "flipped bits");
  }
  // Both outcomes were exercised: some flips are refused.
  EXPECT_GT(failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EncodedStreams,
                         ::testing::Values(Stream{0, 10}, Stream{0, 16}, Stream{0, 33}, Stream{1, 20},
                                           Stream{2, 12}, Stream{3, 9}));

}  // namespace
}  // namespace quillmere_tools
