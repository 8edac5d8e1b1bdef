// Blocks whose residuals are coded with rANS tables: the encoder's own
// streams decode to their integers in both readings (and the same error for
// cut or flipped bytes), hand-built blocks with a fault are refused with the
// error that names it, and a stream or unit that does not announce the
// coding is refused rather than misread.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "quillmere/byte_io.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {
namespace {

constexpr auto kRans = IntegerResiduals::RiceOrRans;

struct Outcome {
  std::vector<std::int64_t> values;
  std::string error;
  bool operator==(const Outcome&) const = default;
};

Outcome read(std::span<const std::uint8_t> bytes, int width, std::size_t n, IntegerReading reading,
             IntegerResiduals coding = kRans) {
  Outcome out;
  out.values.assign(n, 0);
  const auto done = decode_integers(
      bytes, width, kIntegerBlockLength, n,
      [&](std::size_t start, std::span<const std::int64_t> v) {
        std::copy(v.begin(), v.end(), out.values.begin() + static_cast<std::ptrdiff_t>(start));
      },
      reading, coding);
  if (!done) {
    out.values.clear();
    out.error = done.error().message;
  }
  return out;
}

// Signals whose residuals rANS codes clearly smaller than Rice codes (it
// must save a share of a block to be taken): mostly small steps with rare
// jumps (a trace on a coarse grid), noise that skips values,
// loud and nearly silent stretches, and small steps at 33 bits with rare
// jumps (those residuals need the escape). The lengths give one lane (under 1024) and
// four, and a last block shorter than the rest.
struct Case {
  const char* name;
  int width;
  std::size_t n;
};

std::vector<std::int64_t> signal(const Case& c) {
  std::mt19937_64 rng(c.n * 131 + static_cast<std::size_t>(c.width));
  const IntegerRange r = IntegerRange::of_width(c.width);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::vector<std::int64_t> x(c.n);
  const std::string name = c.name;
  std::int64_t level = 0;
  for (std::size_t i = 0; i < c.n; ++i) {
    if (name == "steps") {
      const auto roll = rng() % 100;
      level += roll < 50 ? 0 : roll < 73 ? 1 : roll < 96 ? -1 : static_cast<std::int64_t>(rng() % 61) - 30;
      x[i] = r.clamp(level);
    } else if (name == "gapped_noise") {
      // Noise of -16, 0 or 16 only around a level: Rice codes spend bits on
      // the values between, which a table leaves out.
      x[i] = r.clamp(1000 + 16 * (static_cast<std::int64_t>(rng() % 3) - 1));
    } else if (name == "loud_and_quiet") {
      const double loud = (i / 5000) % 2 == 0 ? 400.0 : 0.4;
      x[i] = r.clamp(std::llround(loud * gauss(rng)));
    } else {  // small steps with rare jumps across most of 33 bits
      const bool jump = rng() % 100 == 0;
      x[i] = jump ? r.clamp(std::llround(std::ldexp(gauss(rng), 30))) : r.clamp(level += rng() % 3 - 1);
      if (jump) level = x[i];
    }
  }
  return x;
}

class RansStreams : public ::testing::TestWithParam<Case> {};

TEST_P(RansStreams, DecodeExactlyAndFaultsEndTheSameInBothReadings) {
  const Case c = GetParam();
  const auto x = signal(c);
  bool took = false;
  const auto bytes = encode_integers(x, c.width, kIntegerBlockLength, 0, IntegerEffort::Full, kRans, &took);
  ASSERT_TRUE(took);
  const auto rice = encode_integers(x, c.width, kIntegerBlockLength);
  EXPECT_LT(bytes.size(), rice.size());
  for (const auto reading : {IntegerReading::Fast, IntegerReading::Checked}) {
    const Outcome whole = read(bytes, c.width, x.size(), reading);
    ASSERT_EQ(whole.error, "");
    EXPECT_TRUE(whole.values == x);
  }
  // A reader told the stream holds Rice codes only refuses the rANS blocks.
  EXPECT_NE(read(bytes, c.width, x.size(), IntegerReading::Fast, IntegerResiduals::Rice).error.find(
                "partition order 15"),
            std::string::npos);
  std::mt19937 rng(static_cast<unsigned>(c.n));
  int failed = 0;
  for (int trial = 0; trial < 400; ++trial) {
    auto bad = bytes;
    if (trial % 5 == 0) bad.resize(rng() % bad.size());
    for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0 && !bad.empty(); --flips) {
      bad[rng() % bad.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    }
    const Outcome fast = read(bad, c.width, x.size(), IntegerReading::Fast);
    const Outcome checked = read(bad, c.width, x.size(), IntegerReading::Checked);
    EXPECT_EQ(fast.error, checked.error);
    EXPECT_TRUE(fast.values == checked.values);
    failed += checked.error.empty() ? 0 : 1;
  }
  EXPECT_GT(failed, 100);  // a good share of the flips is caught
}

INSTANTIATE_TEST_SUITE_P(Signals, RansStreams,
                         ::testing::Values(Case{"steps", 12, 12000}, Case{"steps", 12, 700},
                                           Case{"gapped_noise", 16, 9000}, Case{"loud_and_quiet", 16, 20000},
                                           Case{"wide_jumps", 33, 5000}),
                         [](const auto& info) {
                           return std::string(info.param.name) + "_" + std::to_string(info.param.n);
                         });

TEST(RansStreams, SameBytesEveryTime) {
  const auto x = signal({"gapped_noise", 16, 9000});
  EXPECT_EQ(encode_integers(x, 16, kIntegerBlockLength, 0, IntegerEffort::Full, kRans),
            encode_integers(x, 16, kIntegerBlockLength, 0, IntegerEffort::Full, kRans));
}

// One hand-built block of 300 samples at 8 bits: fixed order 0 around 5, its
// residuals coded with rANS: `model` writes the contexts and tables, `raw`
// the raw bits, then a single lane (n < 1024) whose words are `words`.
template <class Model, class Raw>
std::vector<std::uint8_t> rans_block(const Model& model, const Raw& raw,
                                     std::vector<std::uint8_t> words) {
  BitWriter bits;
  bits.put(2, 2);   // fixed
  bits.put(0, 3);   // order 0
  bits.put(5, 8);   // the value it predicts
  bits.put(15, 4);  // residuals coded with rANS
  model(bits);
  raw(bits);
  auto body = bits.finish();
  body.insert(body.end(), words.begin(), words.end());
  std::vector<std::uint8_t> stream(4);
  quillmere::store_le32(stream.data(), static_cast<std::uint32_t>(body.size()));
  stream.insert(stream.end(), body.begin(), body.end());
  return stream;
}

// One context whose table gives token 0 (a zero residual) every slot: no
// words are read, and the state stays at its start, 2^16.
void only_zeros(BitWriter& b) {
  b.put(0, 2);  // one context
  b.put(1, 6);
}
void no_raw(BitWriter&) {}
const std::vector<std::uint8_t> kStartState = {0x00, 0x00, 0x01, 0x00};

TEST(HandBuiltRansBlocks, AWellFormedBlockDecodes) {
  const auto stream = rans_block(only_zeros, no_raw, kStartState);
  for (const auto reading : {IntegerReading::Fast, IntegerReading::Checked}) {
    const Outcome out = read(stream, 8, 300, reading);
    ASSERT_EQ(out.error, "");
    EXPECT_EQ(out.values, std::vector<std::int64_t>(300, 5));
  }
}

struct Fault {
  const char* name;
  std::vector<std::uint8_t> stream;
  const char* message;
};

std::vector<Fault> faults() {
  const auto state = kStartState;
  return {
      {"thresholds_zero", rans_block([](BitWriter& b) { b.put(1, 2), b.put(0, 7), b.put(1, 6), b.put(1, 6); },
                                     no_raw, state),
       "context thresholds do not increase"},
      {"thresholds_down",
       rans_block([](BitWriter& b) { b.put(2, 2), b.put(9, 7), b.put(4, 7); }, no_raw, state),
       "context thresholds do not increase"},
      {"no_tokens", rans_block([](BitWriter& b) { b.put(0, 2), b.put(0, 6); }, no_raw, state),
       "frequency table is malformed"},
      {"too_many_tokens", rans_block([](BitWriter& b) { b.put(0, 2), b.put(34, 6); }, no_raw, state),
       "frequency table is malformed"},
      // Token 0 takes all 4096 slots and leaves none for token 1.
      {"overfull", rans_block([](BitWriter& b) { b.put(0, 2), b.put(2, 6), b.put(13, 4), b.put(0, 12); },
                              no_raw, state),
       "frequency table is malformed"},
      // Every slot the escape: widths of 17 bits and more at 8 bits.
      {"too_wide",
       rans_block(
           [](BitWriter& b) {
             b.put(0, 2), b.put(33, 6);
             for (int t = 0; t < 32; ++t) b.put(0, 4);
           },
           [](BitWriter& b) {
             for (int i = 0; i < 300; ++i) b.put(0, 5), b.put(0, 16);
           },
           state),
       "a residual exceeds its width"},
      {"state_off", rans_block(only_zeros, no_raw, {0x01, 0x00, 0x01, 0x00}),
       "words and bits do not decode"},
      {"byte_between", rans_block(only_zeros, no_raw, {0x00, 0x00, 0x00, 0x01, 0x00}),
       "words and bits do not decode"},
      {"no_words", rans_block(only_zeros, no_raw, {}), "words and bits do not decode"},
  };
}

class HandBuiltFaults : public ::testing::TestWithParam<Fault> {};

TEST_P(HandBuiltFaults, AreRefusedWithTheirOwnError) {
  const Fault& f = GetParam();
  for (const auto reading : {IntegerReading::Fast, IntegerReading::Checked}) {
    const Outcome out = read(f.stream, 8, 300, reading);
    EXPECT_NE(out.error.find(f.message), std::string::npos) << out.error;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, HandBuiltFaults, ::testing::ValuesIn(faults()),
                         [](const auto& info) { return std::string(info.param.name); });

// A unit announces rANS residuals in its flags exactly when a block took
// them; clearing the flag makes the reader refuse the unit, not misread it.
TEST(RansUnits, TheFlagFollowsTheBlocksAndIsNeeded) {
  const auto k = signal({"steps", 12, 12000});
  std::vector<float> x(k.size());
  for (std::size_t i = 0; i < k.size(); ++i) x[i] = static_cast<float>(k[i]) * 0.25f;
  auto unit = encode_integer_unit(std::span<const float>(x), IntegerGrid{0.25, 0.0, 0.25}, std::nullopt);
  ASSERT_TRUE(unit.has_value()) << unit.error().message;
  auto& bytes = unit->bytes;
  ASSERT_EQ(bytes[quillmere::HEADER_LEN] & 4, 4);
  const auto back = decode_unit(bytes);
  ASSERT_TRUE(back.has_value()) << back.error().message;
  EXPECT_EQ(back->f32, x);
  bytes[quillmere::HEADER_LEN] &= static_cast<std::uint8_t>(~4u);
  const auto refused = decode_unit(bytes);
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().message.find("partition order 15"), std::string::npos) << refused.error().message;

  // Blocks without residuals (constant ones) leave the flag clear.
  const std::vector<float> flat(5000, 7.0f);
  const auto plain = encode_integer_unit(std::span<const float>(flat), IntegerGrid{1.0, 0.0, 1.0}, std::nullopt);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->bytes[quillmere::HEADER_LEN] & 4, 0);
}

}  // namespace
}  // namespace quillmere_tools
