// Predictor blocks of short codes (under three bits a sample), which the
// fast reading rebuilds after reading all their residuals, with the newest
// samples carried from one to the next rather than read back: every LPC
// and fixed order must give the samples the block was made from, and the
// checked reading's outcome, however its coefficients reach back.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"

namespace quillmere_tools {
namespace {

constexpr int kWidth = 33;
constexpr std::size_t kSamples = kIntegerBlockLength;  // one block

std::uint64_t zigzag(std::int64_t r) {
  return (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
}

struct Block {
  std::vector<std::uint8_t> stream;
  std::vector<std::int64_t> x;
};

// Samples rebuilt by the block's own predictor from residuals in {-1, 0, 1}
// (k = 0, one partition), so the codes are one or two bits long.
// `predict(x, i)` is the decoder's prediction; `head` writes the predictor.
template <class Predict, class Head>
Block short_code_block(std::size_t order, unsigned seed, const Predict& predict, const Head& head) {
  std::mt19937_64 rng(seed);
  const IntegerRange range = IntegerRange::of_width(kWidth);
  Block b;
  b.x.resize(kSamples);
  for (std::size_t i = 0; i < order; ++i) b.x[i] = static_cast<std::int64_t>(rng() % 2001) - 1000;
  for (std::size_t i = order; i < kSamples; ++i) {
    b.x[i] = range.clamp(predict(b.x.data(), i) + static_cast<std::int64_t>(rng() % 3) - 1);
  }
  BitWriter bits;
  head(bits);
  for (std::size_t i = 0; i < order; ++i) bits.put_wide(static_cast<std::uint64_t>(b.x[i]), kWidth);
  bits.put(0, 4);  // one partition
  bits.put(0, 5);  // k = 0
  for (std::size_t i = order; i < kSamples; ++i) bits.put_unary(zigzag(b.x[i] - predict(b.x.data(), i)));
  const auto body = bits.finish();
  b.stream.resize(4);
  quillmere::store_le32(b.stream.data(), static_cast<std::uint32_t>(body.size()));
  b.stream.insert(b.stream.end(), body.begin(), body.end());
  return b;
}

std::pair<std::vector<std::int64_t>, std::string> read(const Block& b, IntegerReading reading) {
  std::vector<std::int64_t> got(kSamples, 0);
  const auto done = decode_integers(
      b.stream, kWidth, kIntegerBlockLength, kSamples,
      [&](std::size_t start, std::span<const std::int64_t> v) {
        std::copy(v.begin(), v.end(), got.begin() + static_cast<std::ptrdiff_t>(start));
      },
      reading);
  if (!done) return {{}, done.error().message};
  return {got, ""};
}

void expect_decodes(const Block& b, const std::string& what) {
  // Short codes: the block is read in two passes, not in one loop.
  ASSERT_LT(b.stream.size() * 8, 3 * kSamples) << what;
  const auto fast = read(b, IntegerReading::Fast);
  ASSERT_EQ(fast.second, "") << what;
  EXPECT_TRUE(fast.first == b.x) << what;
  EXPECT_TRUE(read(b, IntegerReading::Checked) == fast) << what;
}

class ShortCodeLpc : public ::testing::TestWithParam<int> {};

// A stable predictor (weights summing below one), so that a reading that
// mixes up its terms gives samples that stay within the width and differ,
// rather than samples that run off and send the block to the checked
// reading; small weights on the older terms, so that every term counts.
TEST_P(ShortCodeLpc, SamplesComeBackExactly) {
  const int order = GetParam();
  std::mt19937_64 rng(static_cast<unsigned>(order));
  LpcModel model;
  model.precision = kMaxLpcPrecision;
  model.shift = 10;
  for (int j = 0; j < order; ++j) {
    model.coefs.push_back(j == 0   ? 512
                          : j == 1 ? 307
                                   : static_cast<std::int32_t>(rng() % 11) - 5);
  }
  const IntegerRange range = IntegerRange::of_width(kWidth);
  const Block b = short_code_block(
      static_cast<std::size_t>(order), static_cast<unsigned>(order * 7 + 1),
      [&](const std::int64_t* x, std::size_t i) { return lpc_prediction(x, i, model, range); },
      [&](BitWriter& bits) {
        bits.put(3, 2);
        bits.put(static_cast<std::uint64_t>(order - 1), 5);
        bits.put(static_cast<std::uint64_t>(model.precision - 1), 4);
        bits.put(static_cast<std::uint64_t>(model.shift), 5);
        for (std::int32_t c : model.coefs) {
          bits.put(static_cast<std::uint64_t>(static_cast<std::int64_t>(c)), model.precision);
        }
      });
  expect_decodes(b, "LPC order " + std::to_string(order));
}

INSTANTIATE_TEST_SUITE_P(Orders, ShortCodeLpc, ::testing::Range(1, kMaxLpcOrder + 1));

class ShortCodeFixed : public ::testing::TestWithParam<int> {};

TEST_P(ShortCodeFixed, SamplesComeBackExactly) {
  const int order = GetParam();
  const IntegerRange range = IntegerRange::of_width(kWidth);
  const Block b = short_code_block(
      static_cast<std::size_t>(order), static_cast<unsigned>(order + 50),
      [&](const std::int64_t* x, std::size_t i) { return fixed_prediction(x, i, order, range); },
      [&](BitWriter& bits) {
        bits.put(2, 2);
        bits.put(static_cast<std::uint64_t>(order), 3);
      });
  expect_decodes(b, "fixed order " + std::to_string(order));
}

INSTANTIATE_TEST_SUITE_P(Orders, ShortCodeFixed, ::testing::Range(1, kMaxFixedOrder + 1));

}  // namespace
}  // namespace quillmere_tools
