// The cd_values layouts: every word checked, named when wrong, and sealed
// by the check word once set_local has filled it in.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "filter_params.hpp"
#include "test_support.hpp"

namespace quillmere::hdf5 {
namespace {

using namespace testing;
using PK = ParamError::Kind;

struct BadWord {
  std::size_t index;
  unsigned value;
  PK kind;
  const char* named;  // what the message must point at
};

class NonsenseWord : public ::testing::TestWithParam<BadWord> {};

TEST_P(NonsenseWord, IsNamedWithItsValueEvenWhenResealed) {
  // Resealed: the word itself is checked, not only the check word.
  auto cd = words(ElementType::F32LE, 100, 1);
  cd[GetParam().index] = GetParam().value;
  reseal(cd);
  auto p = parse_params(cd, Stage::Chunk);
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error().kind, GetParam().kind);
  const std::string text = p.error().message();
  EXPECT_NE(text.find(GetParam().named), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    EachField, NonsenseWord,
    ::testing::Values(
        BadWord{param::kElement, 5, PK::Element, "cd_values[1] (element type) is 5"},
        BadWord{param::kElement, 0, PK::Element, "cd_values[1] (element type) is 0"},
        BadWord{param::kChunkSamples, 0x80000000u, PK::ChunkSamples,
                "cd_values[2] (samples per chunk) is 2147483648"},
        BadWord{param::kFrames, 0, PK::Frames, "cd_values[3] (frames per chunk) is 0"},
        BadWord{param::kFrames, 7, PK::Frames, "cd_values[3] (frames per chunk) is 7"},
        BadWord{param::kStride, 3, PK::Stride, "cd_values[4] (channel stride) is 3"},
        BadWord{param::kTimeAxis, 32, PK::TimeAxis, "cd_values[5] (time axis) is 32"},
        BadWord{param::kMethod, 4, PK::Method, "cd_values[6] (method) is 4"},
        BadWord{param::kScale, 5, PK::Scale, "cd_values[7] (scale) is 5"},
        BadWord{param::kCutoff, 3, PK::Cutoff, "cd_values[8] (cutoff) is 3"},
        BadWord{param::kCoder, 4, PK::Coder, "cd_values[9] (coder) is 4"},
        BadWord{param::kFlags, 1u << 8, PK::Flags, "cd_values[10] (flags) is 256"},
        BadWord{param::kFlags, kFlagMaxErrorOfRange, PK::Flags, "cd_values[10] (flags) is 4"},
        BadWord{param::kMultiplier, 7, PK::Multiplier, "cd_values[11] (quant_multiplier) is 7"},
        BadWord{param::kRmse + 1, 1, PK::Bound, "cd_values[14..15] (rmse) hold"},
        BadWord{param::kReserved, 1, PK::Reserved, "cd_values[22] (reserved) is 1"}));

TEST(FilterParams, AnyAlteredWordFailsTheCheckWord) {
  const auto good = words(ElementType::F32LE, 1000, 1, kFlagMaxError, param::kMaxError, 0.5);
  ASSERT_TRUE(parse_params(good, Stage::Chunk).has_value());
  for (std::size_t i = 1; i < param::kCheck; ++i) {
    for (unsigned bit = 0; bit < 32; ++bit) {
      auto cd = good;
      cd[i] ^= 1u << bit;
      auto p = parse_params(cd, Stage::Chunk);
      ASSERT_FALSE(p.has_value()) << i << " " << bit;
    }
  }
  // The reported forgery: the element type flipped, and the samples per
  // chunk raised from 1000 to 134,217,728.
  auto element = good;
  element[param::kElement] = static_cast<unsigned>(ElementType::F32BE);
  EXPECT_EQ(parse_params(element, Stage::Chunk).error().kind, PK::Check);
  auto samples = good;
  samples[param::kChunkSamples] = samples[param::kFrames] = 134217728;
  EXPECT_EQ(parse_params(samples, Stage::Chunk).error().kind, PK::Check);
  EXPECT_NE(parse_params(samples, Stage::Chunk).error().message().find("altered"),
            std::string::npos);
}

TEST(FilterParams, CreationAcceptsUnfilledWordsButChunksDoNot) {
  auto cd = words(ElementType::F32LE, 100, 1);
  for (std::size_t i : {param::kElement, param::kChunkSamples, param::kFrames, param::kStride,
                        param::kCheck})
    cd[i] = 0;
  EXPECT_TRUE(parse_params(cd, Stage::Creation).has_value());
  EXPECT_EQ(parse_params(cd, Stage::Chunk).error().kind, PK::Element);
  // Half filled in is neither: the words must come from set_local.
  cd[param::kChunkSamples] = 100;
  EXPECT_FALSE(parse_params(cd, Stage::Creation).has_value());
}

TEST(FilterParams, MultiplierMustBeUsable) {
  const float subnormal = std::numeric_limits<float>::denorm_min();
  for (float m : {NAN, INFINITY, -1.0f, subnormal, -0.0f}) {
    auto cd = words(ElementType::F32LE, 100, 1, kFlagMultiplier);
    cd[param::kMultiplier] = std::bit_cast<std::uint32_t>(m);
    reseal(cd);
    EXPECT_EQ(parse_params(cd, Stage::Creation).error().kind, PK::Multiplier) << m;
  }
  for (float m : {0.0f, 1e-30f, 1500.0f, 1e38f}) {
    auto cd = words(ElementType::F32LE, 100, 1, kFlagMultiplier);
    cd[param::kMultiplier] = std::bit_cast<std::uint32_t>(m);
    reseal(cd);
    auto p = parse_params(cd, Stage::Chunk);
    ASSERT_TRUE(p.has_value()) << m;
    EXPECT_EQ(p->options.quant_multiplier, m);
  }
}

TEST(FilterParams, BoundsAndTheirFlags) {
  struct Case {
    std::size_t at;
    std::uint32_t flag;
    double value;
    bool ok;
  };
  for (const Case& c : {Case{param::kMaxError, kFlagMaxError, 1e-3, true},
                        Case{param::kMaxError, kFlagMaxError, 0.0, false},
                        Case{param::kRmse, kFlagRmse | kFlagRmseOfRange, 0.01, true},
                        Case{param::kPrd, kFlagPrd, -1.0, false},
                        Case{param::kPsnr, kFlagPsnr, -20.0, true},
                        Case{param::kPsnr, kFlagPsnr, INFINITY, false},
                        Case{param::kBitsPerSample, kFlagBitsPerSample, 2.5, true},
                        Case{param::kBitsPerSample, kFlagBitsPerSample, NAN, false}}) {
    auto p = parse_params(words(ElementType::F64LE, 10, 1, c.flag, c.at, c.value), Stage::Chunk);
    EXPECT_EQ(p.has_value(), c.ok) << c.at << " " << c.value;
    if (!c.ok) {
      EXPECT_EQ(p.error().kind, PK::Bound);
    }
  }
  // A bound's words without its flag, and a multiplier with a bound.
  EXPECT_EQ(parse_params(words(ElementType::F64LE, 10, 1, 0, param::kPrd, 1.0), Stage::Chunk)
                .error()
                .kind,
            PK::Bound);
  EXPECT_EQ(parse_params(words(ElementType::F64LE, 10, 1, kFlagMultiplier | kFlagPrd,
                               param::kPrd, 1.0),
                         Stage::Chunk)
                .error()
                .kind,
            PK::Flags);
  auto p = parse_params(
      words(ElementType::F64LE, 10, 1, kFlagMaxError | kFlagMaxErrorOfRange, param::kMaxError,
            1e-3),
      Stage::Chunk);
  ASSERT_TRUE(p.has_value());
  EXPECT_TRUE(p->bounds.max_error_of_range);
  EXPECT_EQ(p->bounds.max_error, 1e-3);
}

TEST(FilterParams, CountsAndVersions) {
  EXPECT_EQ(parse_params(std::vector<unsigned>{2, 0, 0}, Stage::Creation).error().kind,
            PK::Count);
  EXPECT_EQ(parse_params(std::vector<unsigned>{}, Stage::Creation).error().kind, PK::Count);
  auto cd = words(ElementType::F32LE, 100, 1);
  cd[param::kVersion] = 3;
  EXPECT_EQ(parse_params(cd, Stage::Creation).error().kind, PK::Version);
}

TEST(LegacyLayout, WordsAreCheckedAndNamedByTheirOwnLayout) {
  std::vector<unsigned> cd = {1, 1, 100, 1, 11, 0, 255, 0, 0, 0, 0};
  ASSERT_TRUE(parse_params(cd, Stage::Chunk).has_value());
  cd[3] = 9;
  EXPECT_NE(parse_params(cd, Stage::Chunk).error().message().find("cd_values[3] (method) is 9"),
            std::string::npos);
  cd[3] = 1;
  cd[7] = 1;
  cd[8] = std::bit_cast<std::uint32_t>(NAN);
  EXPECT_EQ(parse_params(cd, Stage::Creation).error().kind, PK::Multiplier);
  cd.push_back(0);
  EXPECT_EQ(parse_params(cd, Stage::Creation).error().kind, PK::Count);
}


// The whole sentence for the words whose expectation is made from the
// codec's limits and option tables: a table reordered or a limit changed
// shows here, in the text h5py users read.
struct WholeMessage {
  PK kind;
  std::size_t index;
  std::uint64_t value;
  const char* text;
};

class WholeMessages : public ::testing::TestWithParam<WholeMessage> {};

TEST_P(WholeMessages, ReadExactly) {
  const WholeMessage& m = GetParam();
  EXPECT_EQ((ParamError{m.kind, m.index, m.value}.message()), m.text);
}

INSTANTIATE_TEST_SUITE_P(
    Each, WholeMessages,
    ::testing::Values(
        WholeMessage{PK::ChunkSamples, 2, 0,
                     "quillmere filter: cd_values[2] (samples per chunk) is 0, expected 1 to 2147483647"},
        WholeMessage{PK::Method, 6, 9,
                     "quillmere filter: cd_values[6] (method) is 9, expected 0..3 (cdf53, cdf97, db4, sym4)"},
        WholeMessage{PK::Scale, 7, 13, "quillmere filter: cd_values[7] (scale) is 13, expected 6..12"},
        WholeMessage{PK::Cutoff, 8, 3,
                     "quillmere filter: cd_values[8] (cutoff) is 3, expected 0..2 (low, medium, high)"}));

}  // namespace
}  // namespace quillmere::hdf5
