// The compact header of the corrections blob: it decodes to exactly what
// the fixed header around the same coded bytes gives, costs less, and every
// field forged behind a valid checksum ends in an error with the signal
// untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <zlib.h>

#include "corrections_flags.hpp"
#include "corrections_gamma.hpp"
#include "corrections_parts.hpp"
#include "corrections_tokens.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere {
namespace {

using corrections::CorrectionError;

struct Pair {
  std::vector<float> original;
  std::vector<float> decoded;
};

Pair noisy_pair(std::size_t n, float magnitude, std::uint32_t every) {
  Pair p;
  std::uint32_t s = 777;
  for (std::size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    const float x = magnitude + static_cast<float>(i % 89) * 0.01f;
    const float err = (static_cast<float>(s >> 8) / 16777216.0f - 0.5f) * (i % every == 0 ? 3.0f : 0.02f);
    p.original.push_back(x);
    p.decoded.push_back(x + err);
  }
  return p;
}

// The fields of a compact header, to be written back (forged) by build().
struct Fields {
  std::uint8_t version = 3;
  std::uint8_t form = 0;
  std::vector<std::uint64_t> counts;  // sample_count, corrected, escaped, coded_len, raw_len
  std::vector<std::uint8_t> step;     // four or eight bytes as stored
  std::vector<std::uint8_t> body;     // coded bytes and escaped values
};

std::uint64_t varint(const std::vector<std::uint8_t>& b, std::size_t& at) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const std::uint8_t byte = b.at(at++);
    v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) return v;
  }
}

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

Fields parse(const std::vector<std::uint8_t>& blob) {
  Fields f;
  f.version = blob[4];
  f.form = blob[5];
  std::size_t at = 6;
  for (int i = 0; i < 5; ++i) f.counts.push_back(varint(blob, at));
  const std::size_t step_len = (f.form & 4) != 0 ? 8 : 4;
  f.step.assign(blob.begin() + static_cast<std::ptrdiff_t>(at),
                blob.begin() + static_cast<std::ptrdiff_t>(at + step_len));
  f.body.assign(blob.begin() + static_cast<std::ptrdiff_t>(at + step_len), blob.end() - 4);
  return f;
}

std::vector<std::uint8_t> with_crc(std::vector<std::uint8_t> b) {
  const std::size_t at = b.size();
  b.resize(at + 4);
  store_le32(b.data() + at, static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(at))));
  return b;
}

// `raw_varint`, when given, replaces the varint of count `which` by these
// bytes (non-minimal or overlong forms).
std::vector<std::uint8_t> build(const Fields& f, int which = -1,
                                const std::vector<std::uint8_t>& raw_varint = {}) {
  std::vector<std::uint8_t> b = {'Q', 'L', 'M', 'K', f.version, f.form};
  for (int i = 0; i < static_cast<int>(f.counts.size()); ++i) {
    if (i == which) {
      b.insert(b.end(), raw_varint.begin(), raw_varint.end());
    } else {
      put_varint(b, f.counts[static_cast<std::size_t>(i)]);
    }
  }
  b.insert(b.end(), f.step.begin(), f.step.end());
  b.insert(b.end(), f.body.begin(), f.body.end());
  return with_crc(std::move(b));
}

TEST(CompactHeader, DecodesAsTheFixedHeaderAndIsSmaller) {
  for (const std::uint32_t every : {7u, 40u}) {
    const Pair p = noisy_pair(3000, 10.0f, every);
    const Originals o = Originals::of_float(p.original);
    const double bound = 0.02;
    auto compact = corrections::encode(p.decoded, o, bound);
    corrections::EncodeBuffers buffers;
    auto fixed = corrections::tokens::encode(p.decoded, o, bound, corrections::parts::step_of(bound), buffers);
    ASSERT_TRUE(compact && fixed);
    ASSERT_EQ(compact->bytes[4], 3);
    ASSERT_EQ(fixed->bytes[4], 2);
    EXPECT_EQ(compact->corrected, fixed->corrected);
    // 36 + 4 bytes of fixed framing against at most 5 + 1 + 2 + 2 + 1 + 3 + 1
    // + 4 + 4 here.
    EXPECT_LE(compact->bytes.size() + 17, fixed->bytes.size());
    auto a = p.decoded;
    auto b = p.decoded;
    ASSERT_TRUE(corrections::apply(compact->bytes, std::span<float>(a)));
    ASSERT_TRUE(corrections::apply(fixed->bytes, std::span<float>(b)));
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * 4), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
      ASSERT_LE(std::fabs(static_cast<double>(p.original[i]) - static_cast<double>(a[i])), bound) << i;
    }
    auto facts = corrections::blob_facts(compact->bytes);
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->length, compact->bytes.size());
    EXPECT_FALSE(facts->float64);
    EXPECT_EQ(facts->sample_count, p.decoded.size());
  }
}

// A float64 source takes its form bit, a bound too small for a normal
// float32 step the wide step (whichever coding is the smallest): each form
// bit reads back to the bound.
TEST(CompactHeader, EveryFormBitRoundTrips) {
  struct Case {
    double bound;
    double offset;
    std::uint8_t form;
  };
  for (const Case c : {Case{0.02, 0.0, 0}, Case{1e-39, 0.0, 4}, Case{0.02, 1e9, 1}}) {
    SCOPED_TRACE(c.bound);
    std::vector<double> x;
    std::vector<float> y;
    for (int i = 0; i < 500; ++i) {
      const double v = std::sin(i * 0.05);
      x.push_back(c.offset + v + (i % 50 == 0 ? 0.5 : 0.0));
      y.push_back(static_cast<float>(v));
    }
    std::vector<float> x32(x.begin(), x.end());
    const bool f64 = c.offset != 0.0;
    const Originals o = f64 ? Originals::of_double(x, c.offset) : Originals::of_float(x32);
    auto enc = corrections::encode(y, o, c.bound);
    ASSERT_TRUE(enc);
    ASSERT_GT(enc->corrected, 0u);
    // Ten big misses (and, with the tiny bound, every sample) corrected;
    // bits 1 and 3 name the coding.
    EXPECT_EQ(enc->bytes[5] & ~0x0a, c.form);
    if (f64) {
      auto out = corrections::apply(enc->bytes, y, c.offset);
      ASSERT_TRUE(out);
      for (std::size_t i = 0; i < x.size(); ++i) ASSERT_LE(std::fabs(x[i] - (*out)[i]), c.bound) << i;
    } else {
      auto out = y;
      ASSERT_TRUE(corrections::apply(enc->bytes, std::span<float>(out)));
      for (std::size_t i = 0; i < x.size(); ++i) {
        ASSERT_LE(std::fabs(static_cast<double>(x32[i]) - static_cast<double>(out[i])), c.bound) << i;
      }
    }
  }
}

enum class Coding { Tokens, Gamma, Flags };

// Each coding behind the compact header.
class CompactHostile : public ::testing::TestWithParam<Coding> {
 protected:
  void SetUp() override {
    p_ = noisy_pair(400, 10.0f, 9);
    const Originals o = Originals::of_float(p_.original);
    corrections::EncodeBuffers buffers;
    auto enc = GetParam() == Coding::Gamma
                   ? corrections::gamma::encode(p_.decoded, o, 0.02, buffers)
                   : corrections::tokens::encode(p_.decoded, o, 0.02, corrections::parts::step_of(0.02), buffers);
    ASSERT_TRUE(enc);
    if (GetParam() == Coding::Flags) {
      enc = corrections::flags::encode(p_.decoded, o, corrections::parts::step_of(0.02), buffers);
      ASSERT_TRUE(enc);
    }
    blob_ = corrections::parts::compacted(enc->bytes);
    ASSERT_GT(enc->corrected, 20u);
    ASSERT_EQ(build(parse(blob_)), blob_);
  }
  std::optional<CorrectionError> refusal(const std::vector<std::uint8_t>& bytes) {
    auto y = p_.decoded;
    const auto r = corrections::apply(bytes, std::span<float>(y));
    EXPECT_EQ(std::memcmp(y.data(), p_.decoded.data(), y.size() * 4), 0);
    if (r) return std::nullopt;
    return r.error();
  }
  Pair p_;
  std::vector<std::uint8_t> blob_;
};

TEST_P(CompactHostile, EveryTruncationAndBitFlipIsRefused) {
  for (std::size_t len = 0; len < blob_.size(); ++len) {
    ASSERT_TRUE(refusal({blob_.begin(), blob_.begin() + static_cast<std::ptrdiff_t>(len)})) << len;
  }
  for (std::size_t bit = 0; bit < blob_.size() * 8; ++bit) {
    auto b = blob_;
    b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_TRUE(refusal(b)) << bit;
  }
}

TEST_P(CompactHostile, ForgedFieldsWithAValidChecksum) {
  const Fields f = parse(blob_);
  const auto with_count = [&](int which, std::uint64_t v) {
    Fields g = f;
    g.counts[static_cast<std::size_t>(which)] = v;
    return build(g);
  };
  const std::uint64_t corrected = f.counts[1];
  const std::uint64_t escaped = f.counts[2];
  const std::uint64_t coded = f.counts[3];
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::optional<CorrectionError> want;  // nullopt: any error
  } cases[] = {
      {"another sample count", with_count(0, 401), CorrectionError::WrongLength},
      {"more corrections than samples", with_count(1, 0xFFFFFFFFu), CorrectionError::BadField},
      {"one correction more than coded", with_count(1, corrected + 1), std::nullopt},
      {"one correction fewer than coded", with_count(1, corrected - 1), std::nullopt},
      {"no corrections but coded bytes", with_count(1, 0), CorrectionError::BadField},
      {"more escapes than corrections", with_count(2, corrected + 1), CorrectionError::BadField},
      {"one escape more", with_count(2, escaped + 1), std::nullopt},
      {"coded bytes past the end", with_count(3, 0xFFFFFFFFu), CorrectionError::Truncated},
      {"coded bytes one short", with_count(3, coded - 1), std::nullopt},
      {"raw bits beyond the coded bytes", with_count(4, coded + 1), CorrectionError::BadField},
      {"raw bits outside the token coding or one byte more", with_count(4, f.counts[4] + 1), std::nullopt},
      {"a count above 32 bits", build(f, 0, {0xff, 0xff, 0xff, 0xff, 0x7f}), CorrectionError::BadField},
      {"a count of six bytes", build(f, 1, {0x80, 0x80, 0x80, 0x80, 0x80, 0x00}), CorrectionError::BadField},
      {"a count padded with a zero byte", build(f, 2, {static_cast<std::uint8_t>(escaped | 0x80), 0x00}),
       CorrectionError::BadField},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto got = refusal(c.bytes);
    ASSERT_TRUE(got);
    if (c.want) {
      EXPECT_EQ(*got, *c.want);
    }
  }

  const auto with_form = [&](std::uint8_t form) {
    Fields g = f;
    g.form = form;
    return build(g);
  };
  EXPECT_EQ(refusal(with_form(16)), CorrectionError::BadField);
  EXPECT_EQ(refusal(with_form(2 | 8)), CorrectionError::BadField);
  EXPECT_EQ(refusal(with_form(0x80)), CorrectionError::BadField);
  EXPECT_EQ(refusal(with_form(1)), CorrectionError::WrongPrecision);
  // One coding's stream read as another's.
  for (const std::uint8_t other : {0, 2, 8}) {
    if (other != f.form) {
      EXPECT_TRUE(refusal(with_form(other))) << int{other};
    }
  }
  {
    Fields g = f;
    g.version = 4;
    EXPECT_EQ(refusal(build(g)), CorrectionError::BadVersion);
  }
  for (const float step : {0.0f, -0.04f, std::numeric_limits<float>::quiet_NaN(),
                           std::numeric_limits<float>::infinity()}) {
    Fields g = f;
    store_le_f32(g.step.data(), step);
    EXPECT_EQ(refusal(build(g)), CorrectionError::BadField) << step;
  }
}

INSTANTIATE_TEST_SUITE_P(Codings, CompactHostile, ::testing::Values(Coding::Tokens, Coding::Gamma, Coding::Flags),
                         [](const ::testing::TestParamInfo<Coding>& info) {
                           return info.param == Coding::Gamma   ? "gamma"
                                  : info.param == Coding::Flags ? "flags"
                                                                : "tokens";
                         });

}  // namespace
}  // namespace quillmere
