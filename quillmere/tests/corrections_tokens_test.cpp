// The token form of the corrections blob: it must apply exactly the
// corrections the gamma form applies (same multiples, same arithmetic) over
// every token it has (gap widths up to 2^21, small and big multiples, sign
// flips, escapes, one-token tables, batches and lanes cut short), and its
// own fields forged behind a valid checksum must be refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <zlib.h>

#include "corrections_flags.hpp"
#include "corrections_gamma.hpp"
#include "corrections_tokens.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere {
namespace {

using corrections::CorrectionError;

// The token form itself, whatever encode() would choose for the count.
corrections::CorrectionResult<corrections::Encoded> tokens_of(std::span<const float> y, const Originals& o,
                                                              double bound, corrections::EncodeBuffers& buffers) {
  return corrections::tokens::encode(y, o, bound, corrections::parts::step_of(bound), buffers);
}

// Decoded samples and originals built from a list of (position, error in
// bounds): every other sample is exact.
struct Built {
  std::vector<float> y, x;
};
Built build(std::size_t n, const std::vector<std::pair<std::size_t, double>>& misses, double bound) {
  Built b;
  b.y.resize(n);
  for (std::size_t i = 0; i < n; ++i) b.y[i] = static_cast<float>(i % 50) * 0.25f;
  b.x = b.y;
  for (const auto& [at, off] : misses) b.x[at] = static_cast<float>(static_cast<double>(b.y[at]) + off * bound);
  return b;
}

struct Case {
  const char* name;
  std::size_t n;
  std::vector<std::pair<std::size_t, double>> misses;
};

std::vector<Case> cases() {
  std::vector<Case> out;
  // Gaps of every width up to 2^21, each followed directly by a neighbour.
  Case gaps{"gap_widths", std::size_t{1} << 23, {}};
  std::size_t at = 0;
  for (unsigned w = 0; w <= 20; ++w) {
    for (const std::size_t g : {std::size_t{1} << w, (std::size_t{3} << w) / 2 + 1}) {
      at += g;
      gaps.misses.push_back({at, 3.0});
      gaps.misses.push_back({++at, -3.0});
    }
  }
  if (at >= gaps.n) throw std::logic_error("gap case outgrew its signal");
  out.push_back(gaps);
  // Multiples around the small/big boundary and far beyond, in both signs,
  // then past what a multiple may be (escaped).
  Case multiples{"multiples", 4000, {}};
  const double ks[] = {1, -1, 14, 15, -15, 16, -16, 17, 31, 32, 1000, -65537, 1e6, -3e8, 2147483648.0, 5e9};
  for (std::size_t i = 0; i < std::size(ks); ++i) multiples.misses.push_back({10 + 7 * i, 2.0 * ks[i]});
  out.push_back(multiples);
  // One gap and one multiple only: every table has a single token.
  Case single{"one_token_tables", 3000, {}};
  for (std::size_t i = 5; i < 3000; i += 9) single.misses.push_back({i, 2.0});
  out.push_back(single);
  // A first multiple that is negative, then runs of flips.
  Case flips{"flips", 2000, {}};
  for (std::size_t i = 0; i < 2000; i += 2) flips.misses.push_back({i, (i / 6) % 2 ? 2.1 : -2.1});
  out.push_back(flips);
  // Lengths around a batch and the lanes: 255, 256, 257, 513 corrections.
  for (const std::size_t count : {1u, 2u, 3u, 255u, 256u, 257u, 513u}) {
    Case c{"count", 3 * count + 1, {}};
    for (std::size_t i = 0; i < count; ++i) c.misses.push_back({3 * i + (i % 3), i % 5 ? -4.0 : 60.0});
    out.push_back(c);
  }
  return out;
}

class SameAsGamma : public ::testing::TestWithParam<Case> {};

TEST_P(SameAsGamma, AppliesTheSameCorrections) {
  const Case& c = GetParam();
  const double bound = 0.01;
  const Built b = build(c.n, c.misses, bound);
  const auto o = Originals::of_float(b.x);
  corrections::EncodeBuffers buffers;
  const auto tokens = tokens_of(b.y, o, bound, buffers);
  const auto gamma = corrections::gamma::encode(b.y, o, bound, buffers);
  ASSERT_TRUE(tokens && gamma);
  ASSERT_EQ(tokens->bytes[4], 2);
  ASSERT_EQ(tokens->corrected, c.misses.size());
  EXPECT_EQ(tokens->corrected, gamma->corrected);
  EXPECT_EQ(tokens->escaped, gamma->escaped);
  auto from_tokens = b.y, from_gamma = b.y;
  ASSERT_TRUE(corrections::apply(tokens->bytes, std::span<float>(from_tokens)));
  ASSERT_TRUE(corrections::apply(gamma->bytes, std::span<float>(from_gamma)));
  ASSERT_EQ(std::memcmp(from_tokens.data(), from_gamma.data(), c.n * sizeof(float)), 0);
  for (std::size_t i = 0; i < c.n; ++i) {
    ASSERT_LE(std::fabs(static_cast<double>(b.x[i]) - static_cast<double>(from_tokens[i])), bound) << i;
  }
  // The float64 reader over the same positions and multiples.
  std::vector<double> x64(b.x.begin(), b.x.end());
  for (double& v : x64) v += 500.0;
  const auto o64 = Originals::of_double(x64, 500.0);
  const auto t64 = tokens_of(b.y, o64, bound, buffers);
  const auto g64 = corrections::gamma::encode(b.y, o64, bound, buffers);
  ASSERT_TRUE(t64 && g64);
  const auto d64 = corrections::apply(t64->bytes, b.y, 500.0);
  const auto e64 = corrections::apply(g64->bytes, b.y, 500.0);
  ASSERT_TRUE(d64 && e64);
  ASSERT_EQ(*d64, *e64);
}

INSTANTIATE_TEST_SUITE_P(Tokens, SameAsGamma, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name) + std::to_string(info.index); });

// A correction that only overflows at the end of a long blob, found after
// whole batches were written (and the refused sample itself): every sample
// must come back as it was. The step is forged behind a valid checksum so
// that the small multiples stay finite and only the last, big one does not.
TEST(TokenForm, ALateOverflowPutsEverySampleBack) {
  const double bound = 0.01;
  std::vector<std::pair<std::size_t, double>> misses;
  for (std::size_t i = 0; i < 700; ++i) misses.push_back({4 * i + 1, i % 2 ? 3.0 : -5.0});
  misses.push_back({2900, 2e9});
  const Built b = build(3000, misses, bound);
  corrections::EncodeBuffers buffers;
  auto enc = tokens_of(b.y, Originals::of_float(b.x), bound, buffers);
  ASSERT_TRUE(enc);
  ASSERT_EQ(enc->corrected, misses.size());
  std::vector<std::uint8_t> blob = enc->bytes;
  const double step = 1e30;  // k * step is finite for small k, past float for the last
  std::memcpy(blob.data() + 20, &step, 8);
  const std::size_t body = blob.size() - 4;
  store_le32(blob.data() + body, static_cast<std::uint32_t>(crc32(0L, blob.data(), static_cast<uInt>(body))));
  auto y = b.y;
  const auto r = corrections::apply(blob, std::span<float>(y));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), CorrectionError::CorruptStream);
  ASSERT_EQ(std::memcmp(y.data(), b.y.data(), y.size() * sizeof(float)), 0);
}

// encode() writes the token form, but for up to 1024 corrections keeps the
// flag form (one sample in ten corrected here) where that is smaller, and
// else the gamma form where that is, behind the compact header.
TEST(TokenForm, ChosenUnlessAFewCorrectionsAreSmallerInAnotherForm) {
  const double bound = 0.01;
  for (const std::size_t count : {1u, 5u, 16u, 17u, 400u, 1024u, 1025u, 3000u}) {
    std::vector<std::pair<std::size_t, double>> misses;
    for (std::size_t i = 0; i < count; ++i) misses.push_back({10 * i + 3, i % 3 ? 2.5 : -7.0});
    const Built b = build(10 * count + 10, misses, bound);
    const auto o = Originals::of_float(b.x);
    corrections::EncodeBuffers buffers;
    const auto chosen = corrections::encode(b.y, o, bound);
    const auto tokens = tokens_of(b.y, o, bound, buffers);
    const auto gamma = corrections::gamma::encode(b.y, o, bound, buffers);
    const auto flags = corrections::flags::encode(b.y, o, corrections::parts::step_of(bound), buffers);
    ASSERT_TRUE(chosen && tokens && gamma && flags);
    SCOPED_TRACE(count);
    // The flag form first; the gamma form only where it did not beat the
    // token form.
    std::vector<std::uint8_t> want = corrections::parts::compacted(tokens->bytes);
    if (count <= 1024) {
      auto flag_form = corrections::parts::compacted(flags->bytes);
      auto gamma_form = corrections::parts::compacted(gamma->bytes);
      if (flag_form.size() < want.size()) {
        want = std::move(flag_form);
      } else if (gamma_form.size() < want.size()) {
        want = std::move(gamma_form);
      }
    }
    EXPECT_EQ(chosen->bytes, want);
  }
}

// Forgeries of the token form's own fields, resealed.
class TokenForgery : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::pair<std::size_t, double>> misses;
    for (std::size_t i = 3; i < 1500; i += 1 + i % 11) misses.push_back({i, i % 4 ? 2.5 : -40.0});
    b_ = build(1500, misses, 0.01);
    corrections::EncodeBuffers buffers;
    auto enc = tokens_of(b_.y, Originals::of_float(b_.x), 0.01, buffers);
    ASSERT_TRUE(enc);
    blob_ = enc->bytes;
    coded_len_ = load_le32(blob_.data() + 28);
    raw_len_ = load_le32(blob_.data() + 32);
    ASSERT_GT(raw_len_, 0u);
    ASSERT_TRUE(refused_with(blob_) == std::nullopt);
  }
  static std::vector<std::uint8_t> sealed(std::vector<std::uint8_t> b) {
    const std::size_t body = b.size() - 4;
    store_le32(b.data() + body, static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(body))));
    return b;
  }
  // The error, or nullopt when applied; a refusal leaves the signal as it was.
  std::optional<CorrectionError> refused_with(const std::vector<std::uint8_t>& bytes) const {
    auto y = b_.y;
    const auto r = corrections::apply(bytes, std::span<float>(y));
    if (r) return std::nullopt;
    EXPECT_EQ(std::memcmp(y.data(), b_.y.data(), y.size() * 4), 0);
    return r.error();
  }
  Built b_;
  std::vector<std::uint8_t> blob_;
  std::uint32_t coded_len_ = 0, raw_len_ = 0;
};

TEST_F(TokenForgery, TablesStatesAndLengths) {
  const std::size_t coded = corrections::kHeaderLen;
  const auto tables = [&](auto edit) {
    auto b = blob_;
    edit(b.data() + coded);
    return sealed(b);
  };
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    CorrectionError want;
  } cases[] = {
      {"no gap table", tables([](std::uint8_t* t) { t[0] &= 0x80; }), CorrectionError::CorruptStream},
      {"more gap tokens than there are", tables([](std::uint8_t* t) { t[0] |= 0x7f; }), CorrectionError::CorruptStream},
      {"a precision above 12 bits", tables([](std::uint8_t* t) { t[0] |= 0x80, t[1] |= 0x07; }),
       CorrectionError::CorruptStream},
      {"raw bits longer than the coded bytes",
       [&] {
         auto b = blob_;
         store_le32(b.data() + 32, coded_len_ + 1);
         return sealed(b);
       }(),
       CorrectionError::BadField},
      {"one raw byte more (a word less)",
       [&] {
         auto b = blob_;
         store_le32(b.data() + 32, raw_len_ + 1);
         return sealed(b);
       }(),
       CorrectionError::CorruptStream},
      {"one raw byte less (a word more)",
       [&] {
         auto b = blob_;
         store_le32(b.data() + 32, raw_len_ - 1);
         return sealed(b);
       }(),
       CorrectionError::CorruptStream},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto got = refused_with(c.bytes);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, c.want);
  }
}

// Where the tables end: read as the layout has them (least significant
// bit first; per table a token count of 7 bits for gaps and 6 for
// multiples, then, when not zero, a 4-bit precision and the frequencies of
// all tokens but the last, each plus one in Elias-gamma form).
std::size_t tables_bits(const std::uint8_t* t) {
  std::size_t pos = 0;
  const auto get = [&](unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++pos) v |= static_cast<std::uint32_t>((t[pos / 8] >> (pos % 8)) & 1u) << i;
    return v;
  };
  for (const unsigned count_bits : {7u, 6u, 6u}) {
    const std::uint32_t count = get(count_bits);
    if (count == 0) continue;
    get(4);
    for (std::uint32_t k = 0; k + 1 < count; ++k) {
      unsigned w = 1;
      while (get(1) == 0) ++w;
      get(w - 1);
    }
  }
  return pos;
}

// The four states follow the tables, each at least 2^16; the tables'
// last byte is padded with zeros. Either forged is refused before a sample
// is read.
TEST_F(TokenForgery, StatesInRangeAndTablePaddingZero) {
  const std::size_t bits = tables_bits(blob_.data() + corrections::kHeaderLen);
  const std::size_t states = corrections::kHeaderLen + (bits + 7) / 8;
  for (std::size_t s = 0; s < 4; ++s) {
    ASSERT_GE(load_le32(blob_.data() + states + 4 * s), 1u << 16) << "the layout read here is not the blob's";
    auto b = blob_;
    store_le32(b.data() + states + 4 * s, 0xFFFFu);
    SCOPED_TRACE(s);
    EXPECT_EQ(refused_with(sealed(b)), CorrectionError::CorruptStream);
  }
  if (bits % 8 != 0) {
    auto b = blob_;
    b[states - 1] |= 0x80;
    EXPECT_EQ(refused_with(sealed(b)), CorrectionError::CorruptStream);
  }
}

}  // namespace
}  // namespace quillmere
