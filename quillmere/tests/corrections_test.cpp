// The corrections blob: the bound holds in the decoder's own arithmetic,
// and hostile bytes end in an error with the signal untouched, in either
// coding behind the fixed header (the token form and the gamma form, both
// still read; the compact header encode() writes has its own suite).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <zlib.h>

#include "corrections_gamma.hpp"
#include "corrections_tokens.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere {
namespace {

using corrections::CorrectionError;

enum class Form { Tokens, Gamma };

corrections::CorrectionResult<corrections::Encoded> encode_as(Form form, std::span<const float> y,
                                                             const Originals& o, double bound) {
  // Each form behind the fixed header, whose fields the hostile cases forge
  // at their offsets.
  corrections::EncodeBuffers buffers;
  if (form == Form::Tokens) {
    return corrections::tokens::encode(y, o, bound, corrections::parts::step_of(bound), buffers);
  }
  return corrections::gamma::encode(y, o, bound, buffers);
}

std::string form_name(const ::testing::TestParamInfo<Form>& info) {
  return info.param == Form::Tokens ? "tokens" : "gamma";
}

struct Pair {
  std::vector<float> original;
  std::vector<float> decoded;
};

// A reconstruction with a few large misses, many small ones and some exact.
Pair noisy_pair(std::size_t n, float magnitude) {
  Pair p;
  std::uint32_t s = 12345;
  for (std::size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    const float x = magnitude + static_cast<float>(i % 97) * 0.01f;
    const float err = (static_cast<float>(s >> 8) / 16777216.0f - 0.5f) * (i % 13 == 0 ? 3.0f : 0.1f);
    p.original.push_back(x);
    p.decoded.push_back(x + err);
  }
  return p;
}

class FloatSource : public ::testing::TestWithParam<std::tuple<float, double>> {};

TEST_P(FloatSource, EveryCorrectedSampleMeetsTheBound) {
  const auto [magnitude, bound] = GetParam();
  const Pair p = noisy_pair(5000, magnitude);
  auto enc = corrections::encode(p.decoded, Originals::of_float(p.original), bound);
  ASSERT_TRUE(enc);
  EXPECT_GT(enc->corrected, 0u);
  auto out = p.decoded;
  ASSERT_TRUE(corrections::apply(enc->bytes, std::span<float>(out)));
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_LE(std::fabs(static_cast<double>(p.original[i]) - static_cast<double>(out[i])), bound) << i;
  }
  auto len = corrections::blob_length(enc->bytes);
  ASSERT_TRUE(len);
  EXPECT_EQ(*len, enc->bytes.size());
}

// At 1e6 a float32 step is 0.0625: bounds near it force escapes.
INSTANTIATE_TEST_SUITE_P(Bounds, FloatSource,
                         ::testing::Values(std::tuple{0.0f, 0.01}, std::tuple{1e6f, 0.04},
                                           std::tuple{1e6f, 0.0313}, std::tuple{-3.0f, 1e-5}));

TEST(Corrections, EscapesWhenRoundingWouldMissAndFloat64SourcesUseTheOffset) {
  const double offset = 1.0e9;
  std::vector<double> x;
  std::vector<float> decoded;
  for (int i = 0; i < 2000; ++i) {
    const double v = offset + std::sin(i * 0.01) + (i % 7 == 0 ? 0.3 : 0.0);
    x.push_back(v);
    decoded.push_back(static_cast<float>(std::sin(i * 0.01)));
  }
  // A bound far below float32's step at 1e9 but not below double's.
  for (const double bound : {0.05, 1e-6}) {
    auto enc = corrections::encode(decoded, Originals::of_double(x, offset), bound);
    ASSERT_TRUE(enc);
    auto out = corrections::apply(enc->bytes, decoded, offset);
    ASSERT_TRUE(out);
    for (std::size_t i = 0; i < x.size(); ++i) ASSERT_LE(std::fabs(x[i] - (*out)[i]), bound) << i;
  }
}

TEST(Corrections, NonFiniteOriginalsAreLeftAlone) {
  std::vector<float> x = {1.0f, NAN, INFINITY, 4.0f};
  std::vector<float> y = {1.5f, 2.0f, 3.0f, 4.0f};
  auto enc = corrections::encode(y, Originals::of_float(x), 0.1);
  ASSERT_TRUE(enc);
  EXPECT_EQ(enc->corrected, 1u);
  ASSERT_TRUE(corrections::apply(enc->bytes, std::span<float>(y)));
  EXPECT_EQ(y[1], 2.0f);
  EXPECT_EQ(y[2], 3.0f);
  EXPECT_LE(std::fabs(y[0] - 1.0f), 0.1f);
}

TEST(Corrections, RefusesBadBoundsAndMismatches) {
  const std::vector<float> a = {1.0f, 2.0f};
  const std::vector<float> b = {1.0f};
  for (const double bound : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    auto e = corrections::encode(a, Originals::of_float(a), bound);
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error(), CorrectionError::BadBound);
  }
  EXPECT_EQ(corrections::encode(a, Originals::of_float(b), 0.1).error(), CorrectionError::LengthMismatch);

  auto enc = corrections::encode(a, Originals::of_float(a), 0.1);
  ASSERT_TRUE(enc);
  std::vector<float> three = {1.0f, 2.0f, 3.0f};
  EXPECT_EQ(corrections::apply(enc->bytes, std::span<float>(three)).error(), CorrectionError::WrongLength);
  EXPECT_EQ(corrections::apply(enc->bytes, a, 0.0).error(), CorrectionError::WrongPrecision);
}

class Hostile : public ::testing::TestWithParam<Form> {
 protected:
  void SetUp() override {
    p_ = noisy_pair(300, 10.0f);
    auto enc = encode_as(GetParam(), p_.decoded, Originals::of_float(p_.original), 0.02);
    ASSERT_TRUE(enc);
    blob_ = enc->bytes;
    ASSERT_GT(enc->corrected, 20u);
  }
  // The signal must come through any failure exactly as it was.
  void expect_refused(const std::vector<std::uint8_t>& bytes) {
    auto y = p_.decoded;
    const auto r = corrections::apply(bytes, std::span<float>(y));
    ASSERT_FALSE(r);
    ASSERT_EQ(std::memcmp(y.data(), p_.decoded.data(), y.size() * 4), 0);
  }
  static void fix_crc(std::vector<std::uint8_t>& b) {
    const std::size_t body = b.size() - 4;
    store_le32(b.data() + body, static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(body))));
  }
  Pair p_;
  std::vector<std::uint8_t> blob_;
};

TEST_P(Hostile, EveryTruncationIsRefused) {
  for (std::size_t len = 0; len < blob_.size(); ++len) {
    expect_refused(std::vector<std::uint8_t>(blob_.begin(), blob_.begin() + static_cast<std::ptrdiff_t>(len)));
  }
}

TEST_P(Hostile, EverySingleBitFlipIsRefused) {
  for (std::size_t bit = 0; bit < blob_.size() * 8; ++bit) {
    auto b = blob_;
    b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    expect_refused(b);
  }
}

TEST_P(Hostile, TrailingBytesAreIgnored) {
  auto b = blob_;
  b.insert(b.end(), {1, 2, 3, 4, 5});
  auto y = p_.decoded;
  auto z = p_.decoded;
  ASSERT_TRUE(corrections::apply(b, std::span<float>(y)));
  ASSERT_TRUE(corrections::apply(blob_, std::span<float>(z)));
  EXPECT_EQ(y, z);
}

// Fields forged with a valid checksum: the checks behind the CRC must hold
// on their own.
TEST_P(Hostile, ForgedFieldsWithAValidChecksum) {
  const auto forged = [&](std::size_t offset, std::uint32_t value) {
    auto b = blob_;
    store_le32(b.data() + offset, value);
    fix_crc(b);
    return b;
  };
  const std::uint32_t corrected = load_le32(blob_.data() + 12);
  const std::uint32_t escaped = load_le32(blob_.data() + 16);
  const struct {
    const char* what;
    std::size_t offset;
    std::uint32_t value;
  } cases[] = {
      {"more corrections than samples", 12, 0xFFFFFFFFu},
      {"one correction more than coded", 12, corrected + 1},
      {"one correction fewer than coded", 12, corrected - 1},
      {"more escapes than corrections", 16, corrected + 1},
      {"one escape more", 16, escaped + 1},
      {"reserved word", 32, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_refused(forged(c.offset, c.value));
  }
  auto nan_step = blob_;
  const std::uint64_t nan_bits = 0x7FF8000000000000ull;
  std::memcpy(nan_step.data() + 20, &nan_bits, 8);
  fix_crc(nan_step);
  expect_refused(nan_step);
  auto bad_stream = blob_;
  for (std::size_t i = corrections::kHeaderLen; i < corrections::kHeaderLen + 8; ++i) bad_stream[i] ^= 0xA5;
  fix_crc(bad_stream);
  auto y = p_.decoded;
  // A scrambled stream may still parse as positions and multiples: then
  // the samples change, but the call must neither crash nor read past n.
  (void)corrections::apply(bad_stream, std::span<float>(y));
}

INSTANTIATE_TEST_SUITE_P(Forms, Hostile, ::testing::Values(Form::Tokens, Form::Gamma), form_name);

}  // namespace
}  // namespace quillmere

namespace quillmere {
namespace {

// A blob long enough that most corrections are read on the decoder's
// unchecked path and written before a fault at its end is found: the
// signal must still come back exactly as it was.
class LongBlobFault : public ::testing::TestWithParam<std::tuple<Form, int>> {};

std::vector<std::uint8_t> with_crc(std::vector<std::uint8_t> b) {
  const std::size_t body = b.size() - 4;
  store_le32(b.data() + body, static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(body))));
  return b;
}

TEST_P(LongBlobFault, RefusedWithEverySampleRestored) {
  const Pair p = noisy_pair(20000, 10.0f);
  auto enc = encode_as(std::get<0>(GetParam()), p.decoded, Originals::of_float(p.original), 0.02);
  ASSERT_TRUE(enc);
  ASSERT_GT(enc->corrected, 5000u);
  std::vector<std::uint8_t> b = enc->bytes;
  const std::uint32_t corrected = load_le32(b.data() + 12);
  const std::uint32_t coded_len = load_le32(b.data() + 28);
  switch (std::get<1>(GetParam())) {
    case 0:  // the header claims one correction fewer than coded
      store_le32(b.data() + 12, corrected - 1);
      break;
    case 1:  // one more: the stream runs out on the checked path
      store_le32(b.data() + 12, corrected + 1);
      break;
    case 2: {  // the coded stream cut short by 16 bytes
      store_le32(b.data() + 28, coded_len - 16);
      const auto cut = b.begin() + static_cast<std::ptrdiff_t>(corrections::kHeaderLen + coded_len - 16);
      b.erase(cut, cut + 16);
      break;
    }
    default:  // the last word of the stream changed
      b[corrections::kHeaderLen + coded_len - 1] ^= 0x40;
      break;
  }
  b = with_crc(std::move(b));
  auto y = p.decoded;
  ASSERT_FALSE(corrections::apply(b, std::span<float>(y)));
  ASSERT_EQ(std::memcmp(y.data(), p.decoded.data(), y.size() * 4), 0);
  // The float64 reader refuses the same bytes (as the wrong precision
  // first, so only its stream checks are compared when re-tagged).
  b[5] = 1;
  EXPECT_FALSE(corrections::apply(with_crc(b), p.decoded, 0.0));
}

INSTANTIATE_TEST_SUITE_P(Faults, LongBlobFault,
                         ::testing::Combine(::testing::Values(Form::Tokens, Form::Gamma),
                                            ::testing::Values(0, 1, 2, 3)));

}  // namespace
}  // namespace quillmere
