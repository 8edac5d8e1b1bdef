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
#include "quillmere/compressor.hpp"

namespace quillmere::hdf5 {
namespace {

std::vector<unsigned> layout(unsigned element, unsigned samples) {
  return {kLayoutVersion, element, samples, 1, 11, 0, 255, 0, 0, 0, 0};
}

FilterParams params(ElementType element, unsigned samples) {
  auto p = parse_params(layout(static_cast<unsigned>(element), samples));
  EXPECT_TRUE(p.has_value());
  return *p;
}

template <class T>
std::vector<std::uint8_t> bytes_of(const std::vector<T>& v, bool big_endian) {
  std::vector<std::uint8_t> out(v.size() * sizeof(T));
  std::memcpy(out.data(), v.data(), out.size());
  if (big_endian) {
    for (std::size_t i = 0; i < out.size(); i += sizeof(T)) {
      std::reverse(&out[i], &out[i + sizeof(T)]);
    }
  }
  return out;
}

std::vector<double> ramp(std::size_t n) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(0.01 * double(i)) + 1e-3 * double(i % 7);
  return x;
}

class ElementRoundTrip : public ::testing::TestWithParam<ElementType> {};

TEST_P(ElementRoundTrip, DecodesToWhatTheCodecGivesForTheNarrowedSamples) {
  const ElementType element = GetParam();
  const bool big = is_big_endian(element);
  const auto x = ramp(1000);
  std::vector<float> narrowed(x.begin(), x.end());
  const auto raw = element_size(element) == 4 ? bytes_of(narrowed, big) : bytes_of(x, big);
  const FilterParams p = params(element, 1000);

  auto stored = encode_chunk(raw, p);
  ASSERT_TRUE(stored.has_value()) << stored.error().message();
  // Same container as the codec on the float32 samples: chunks and
  // compress_signal agree byte for byte.
  EXPECT_EQ(*stored, *compress(narrowed, p.options));

  auto back = decode_chunk(*stored, p);
  ASSERT_TRUE(back.has_value()) << back.error().message();
  ASSERT_EQ(back->size(), raw.size());
  double worst = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    std::uint8_t word[8];
    std::memcpy(word, back->data() + i * element_size(element), element_size(element));
    if (big) std::reverse(word, word + element_size(element));
    double v;
    if (element_size(element) == 4) {
      float f;
      std::memcpy(&f, word, 4);
      v = f;
    } else {
      std::memcpy(&v, word, 8);
    }
    worst = std::max(worst, std::abs(v - x[i]));
  }
  EXPECT_LT(worst, 0.01);
}

INSTANTIATE_TEST_SUITE_P(AllElements, ElementRoundTrip,
                         ::testing::Values(ElementType::F32LE, ElementType::F64LE,
                                           ElementType::F32BE, ElementType::F64BE));

TEST(ChunkCodec, DamagedStoredChunksAreRefused) {
  const auto x = ramp(500);
  const std::vector<float> f(x.begin(), x.end());
  const FilterParams p = params(ElementType::F32LE, 500);
  const auto stored = *encode_chunk(bytes_of(f, false), p);

  for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{51}, stored.size() - 1}) {
    auto r = decode_chunk(std::span(stored).first(cut), p);
    ASSERT_FALSE(r.has_value()) << cut;
    EXPECT_EQ(r.error().kind, ChunkError::Kind::Truncated) << cut;
  }
  auto longer = stored;
  longer.push_back(0);
  EXPECT_EQ(decode_chunk(longer, p).error().kind, ChunkError::Kind::TrailingBytes);
  EXPECT_EQ(decode_chunk(stored, params(ElementType::F32LE, 499)).error().kind,
            ChunkError::Kind::WrongLength);
  auto bad_magic = stored;
  bad_magic[0] ^= 0xFF;
  EXPECT_EQ(decode_chunk(bad_magic, p).error().kind, ChunkError::Kind::Codec);

  // Every single-byte flip ends in a chunk of the right size or an error.
  for (std::size_t i = 0; i < stored.size(); ++i) {
    auto flipped = stored;
    flipped[i] ^= 0x5A;
    auto r = decode_chunk(flipped, p);
    if (r) {
      EXPECT_EQ(r->size(), 500u * 4);
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
  cd[param::kFlags] = kFlagMaxError | kFlagMultiplier;
  cd[param::kMultiplier] = std::bit_cast<std::uint32_t>(3.0f);
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
  EXPECT_EQ(p->options.quant_multiplier, 3.0f);
}

}  // namespace
}  // namespace quillmere::hdf5
