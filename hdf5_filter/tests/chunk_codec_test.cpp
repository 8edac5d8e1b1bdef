// The chunk codec and the cd_values layout without HDF5: what the plugin
// does with a chunk's bytes, including damaged ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "chunk_codec.hpp"
#include "filter_params.hpp"

namespace quillmere::hdf5 {
namespace {

std::vector<unsigned> layout(unsigned element, unsigned samples, double max_error = 0.0) {
  const auto bits = std::bit_cast<std::uint64_t>(max_error);
  return {kLayoutVersion, element, samples, 1, 11, 0, 255, max_error > 0 ? kFlagMaxError : 0u, 0,
          static_cast<unsigned>(bits), static_cast<unsigned>(bits >> 32)};
}

FilterParams params(ElementType element, unsigned samples, double max_error = 0.0) {
  auto p = parse_params(layout(static_cast<unsigned>(element), samples, max_error));
  EXPECT_TRUE(p.has_value());
  return *p;
}

// Elements as a file of that element type holds them, and back.
std::vector<std::uint8_t> file_bytes(const std::vector<double>& x, ElementType element) {
  const std::size_t width = element_size(element);
  std::vector<std::uint8_t> out(x.size() * width);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const float f = static_cast<float>(x[i]);
    std::memcpy(&out[i * width], width == 4 ? static_cast<const void*>(&f) : &x[i], width);
    if (is_big_endian(element)) std::reverse(&out[i * width], &out[(i + 1) * width]);
  }
  return out;
}

std::vector<double> values(std::vector<std::uint8_t> raw, ElementType element) {
  const std::size_t width = element_size(element);
  std::vector<double> out(raw.size() / width);
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (is_big_endian(element)) std::reverse(&raw[i * width], &raw[(i + 1) * width]);
    float f;
    double d;
    std::memcpy(width == 4 ? static_cast<void*>(&f) : &d, &raw[i * width], width);
    out[i] = width == 4 ? double(f) : d;
  }
  return out;
}

std::vector<double> ramp(std::size_t n) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.01 * double(i)) + 1e-3 * double(i % 7);
  return x;
}

class ElementRoundTrip : public ::testing::TestWithParam<ElementType> {};

TEST_P(ElementRoundTrip, BoundHoldsAndNonFiniteSamplesComeBack) {
  const ElementType element = GetParam();
  auto x = ramp(1000);
  x[10] = NAN;
  x[500] = INFINITY;
  x[501] = -INFINITY;
  const double bound = 1e-4;
  const FilterParams p = params(element, 1000, bound);
  // What the dataset holds: float32 elements are the narrowed values.
  const auto held = values(file_bytes(x, element), element);

  auto stored = encode_chunk(file_bytes(x, element), p);
  ASSERT_TRUE(stored.has_value()) << stored.error().message();
  auto back = decode_chunk(*stored, p);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  const auto y = values(*back, element);
  ASSERT_EQ(y.size(), x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isfinite(held[i])) {
      EXPECT_LE(std::abs(y[i] - held[i]), bound) << i;
    } else {
      EXPECT_TRUE(std::isnan(held[i]) ? std::isnan(y[i]) : y[i] == held[i]) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllElements, ElementRoundTrip,
                         ::testing::Values(ElementType::F32LE, ElementType::F64LE,
                                           ElementType::F32BE, ElementType::F64BE));

TEST(ChunkCodec, DamagedStoredChunksAreRefused) {
  using K = ChunkError::Kind;
  const FilterParams p = params(ElementType::F64LE, 500, 1e-3);
  auto x = ramp(500);
  x[3] = NAN;  // so the unit carries a side block
  const auto stored = *encode_chunk(file_bytes(x, ElementType::F64LE), p);

  for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{51}, stored.size() - 1}) {
    auto r = decode_chunk(std::span(stored).first(cut), p);
    ASSERT_FALSE(r.has_value()) << cut;
    EXPECT_EQ(r.error().kind, K::Corrupt) << cut;
  }
  auto longer = stored;
  longer.push_back(0);
  EXPECT_EQ(decode_chunk(longer, p).error().kind, K::Corrupt);
  EXPECT_EQ(decode_chunk(stored, params(ElementType::F64LE, 499)).error().kind, K::WrongLength);
  EXPECT_EQ(decode_chunk(stored, params(ElementType::F32LE, 500)).error().kind, K::WrongPrecision);

  // Every single-byte flip ends in a chunk of the right size or an error.
  for (std::size_t i = 0; i < stored.size(); ++i) {
    auto flipped = stored;
    flipped[i] ^= 0x5A;
    auto r = decode_chunk(flipped, p);
    if (r) {
      EXPECT_EQ(r->size(), 500u * 8);
    }
  }
}

TEST(ChunkCodec, WriteSideRefusals) {
  const FilterParams p = params(ElementType::F64LE, 4);
  using K = ChunkError::Kind;
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(encode_chunk(Bytes(31), p).error().kind, K::RaggedChunk);
  EXPECT_EQ(encode_chunk({}, p).error().kind, K::EmptyChunk);
  EXPECT_EQ(encode_chunk(Bytes(40), p).error().kind, K::WrongLength);
  EXPECT_EQ(encode_chunk(Bytes(32), params(ElementType::Unknown, 4)).error().kind,
            K::ElementUnknown);
}

struct BadWord {
  std::size_t index;
  unsigned value;
  ParamError::Kind kind;
  const char* named;  // what the message must point at
};

class NonsenseParams : public ::testing::TestWithParam<BadWord> {};

TEST_P(NonsenseParams, NameTheWordAndItsValue) {
  auto cd = layout(1, 100);
  cd[GetParam().index] = GetParam().value;
  auto p = parse_params(cd);
  ASSERT_FALSE(p.has_value());
  EXPECT_EQ(p.error().kind, GetParam().kind);
  const std::string text = p.error().message();
  EXPECT_NE(text.find(GetParam().named), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(
    EachField, NonsenseParams,
    ::testing::Values(BadWord{param::kVersion, 2, ParamError::Kind::Version,
                              "cd_values[0] (layout version) is 2"},
                      BadWord{param::kElement, 5, ParamError::Kind::Element,
                              "cd_values[1] (element type) is 5"},
                      BadWord{param::kChunkSamples, 0x80000000u, ParamError::Kind::ChunkSamples,
                              "cd_values[2] (samples per chunk) is 2147483648"},
                      BadWord{param::kMethod, 4, ParamError::Kind::Method,
                              "cd_values[3] (method) is 4"},
                      BadWord{param::kScale, 5, ParamError::Kind::Scale,
                              "cd_values[4] (scale) is 5"},
                      BadWord{param::kScale, 13, ParamError::Kind::Scale,
                              "cd_values[4] (scale) is 13"},
                      BadWord{param::kCutoff, 3, ParamError::Kind::Cutoff,
                              "cd_values[5] (cutoff) is 3"},
                      BadWord{param::kCoder, 3, ParamError::Kind::Coder,
                              "cd_values[6] (coder) is 3"},
                      BadWord{param::kFlags, 4, ParamError::Kind::Flags,
                              "cd_values[7] (flags) is 4"},
                      BadWord{param::kMultiplier, 7, ParamError::Kind::Multiplier,
                              "cd_values[8] (quant_multiplier) is 7"},
                      BadWord{param::kMaxErrorHigh, 1, ParamError::Kind::MaxError,
                              "cd_values[9..10] (max_error) hold 2.1219957909652723e-314"}));

TEST(FilterParamsLayout, CountAndBoundsAreChecked) {
  EXPECT_EQ(parse_params(std::vector<unsigned>{1, 0, 0}).error().kind, ParamError::Kind::Count);
  auto cd = layout(1, 100);
  cd[param::kFlags] = kFlagMaxError;
  for (double bound : {-1.0, 0.0, double(INFINITY), double(NAN)}) {
    const auto bits = std::bit_cast<std::uint64_t>(bound);
    cd[param::kMaxErrorLow] = static_cast<unsigned>(bits);
    cd[param::kMaxErrorHigh] = static_cast<unsigned>(bits >> 32);
    EXPECT_EQ(parse_params(cd).error().kind, ParamError::Kind::MaxError) << bound;
  }
  const auto bits = std::bit_cast<std::uint64_t>(1e-3);
  cd[param::kMaxErrorLow] = static_cast<unsigned>(bits);
  cd[param::kMaxErrorHigh] = static_cast<unsigned>(bits >> 32);
  auto p = parse_params(cd);
  ASSERT_TRUE(p.has_value()) << p.error().message();
  EXPECT_EQ(p->max_error, 1e-3);
  cd[param::kFlags] = kFlagMaxError | kFlagMultiplier;
  EXPECT_EQ(parse_params(cd).error().kind, ParamError::Kind::Flags);
}

}  // namespace
}  // namespace quillmere::hdf5
