// The flag form of the corrections: where a few hundred corrections sit
// where the decoded layer bends, it is the smallest coding and is chosen;
// it applies exactly the multiples the other codings apply; it is kept out
// of sparse corrections and of the quick trial; and a stream read against
// the wrong layer or forged behind a valid checksum ends in a value or an
// error, the signal untouched on error.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
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

constexpr double kBound = 0.01;
constexpr std::uint8_t kFlagsBit = 8;

// A smooth layer with a narrow bump every `every` samples (give or take),
// and an original that misses the layer around each bump, as a wavelet
// layer misses the sharp features of what it approximates; elsewhere it
// stays within the bound. `escape_at`, when nonzero, puts an original far
// beyond any multiple at that sample.
struct Pair {
  std::vector<float> layer;
  std::vector<float> original;
};
Pair bumpy(std::size_t n, std::size_t every, std::size_t escape_at = 0) {
  Pair p;
  std::uint32_t s = 99;
  std::size_t next_bump = every / 2;
  for (std::size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(s >> 8) / 16777216.0 - 0.5) * 1.6 * kBound;
    double y = std::sin(static_cast<double>(i) * 0.01);
    double miss = 0.0;
    if (i + 2 >= next_bump && i <= next_bump + 2) {
      const double d = static_cast<double>(i) - static_cast<double>(next_bump);
      y += 0.2 * std::exp(-d * d);
      miss = ((s >> 4) & 1u ? 1.0 : -1.0) * (3.0 + static_cast<double>((s >> 5) & 3u)) * kBound;
    }
    if (i == next_bump + 2) next_bump += every - 3 + ((s >> 9) % 7);
    p.layer.push_back(static_cast<float>(y));
    p.original.push_back(static_cast<float>(y + noise + miss));
  }
  if (escape_at != 0) p.original[escape_at] = 3e38f;
  return p;
}

std::vector<double> widened(const std::vector<float>& x, double offset) {
  std::vector<double> out;
  for (const float v : x) out.push_back(static_cast<double>(v) + offset);
  return out;
}

struct Case {
  bool f64;
  std::size_t escape_at;
};

class FlagForm : public ::testing::TestWithParam<Case> {};

TEST_P(FlagForm, ChosenWhereTheLayerLocatesTheCorrectionsAndExact) {
  const Case c = GetParam();
  const Pair p = bumpy(4000, 23, c.escape_at);
  const double offset = c.f64 ? 1e6 : 0.0;
  const std::vector<double> x64 = widened(p.original, offset);
  const Originals o = c.f64 ? Originals::of_double(x64, offset) : Originals::of_float(p.original);
  auto enc = corrections::encode(p.layer, o, kBound);
  ASSERT_TRUE(enc);
  ASSERT_GT(enc->corrected, 300u);
  EXPECT_EQ(enc->escaped, c.escape_at != 0 ? 1u : 0u);
  EXPECT_EQ(enc->bytes[5] & kFlagsBit, kFlagsBit);

  // Smaller than either other coding behind the same compact header.
  corrections::EncodeBuffers buffers;
  const double step = corrections::parts::step_of(kBound);
  auto tokens = corrections::tokens::encode(p.layer, o, kBound, step, buffers);
  auto gamma = corrections::gamma::encode(p.layer, o, kBound, buffers);
  ASSERT_TRUE(tokens && gamma);
  const std::size_t tokens_len = corrections::parts::compacted(tokens->bytes).size();
  const std::size_t gamma_len = corrections::parts::compacted(gamma->bytes).size();
  EXPECT_LT(enc->bytes.size() * 50, std::min(tokens_len, gamma_len) * 49)
      << enc->bytes.size() << " " << tokens_len << " " << gamma_len;

  // The same samples as the token form, every one within the bound.
  if (c.f64) {
    auto got = corrections::apply(enc->bytes, p.layer, offset);
    auto want = corrections::apply(tokens->bytes, p.layer, offset);
    ASSERT_TRUE(got && want);
    EXPECT_EQ(std::memcmp(got->data(), want->data(), got->size() * 8), 0);
    for (std::size_t i = 0; i < x64.size(); ++i) ASSERT_LE(std::fabs(x64[i] - (*got)[i]), kBound) << i;
  } else {
    auto got = p.layer;
    auto want = p.layer;
    ASSERT_TRUE(corrections::apply(enc->bytes, std::span<float>(got)));
    ASSERT_TRUE(corrections::apply(tokens->bytes, std::span<float>(want)));
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * 4), 0);
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_LE(std::fabs(static_cast<double>(p.original[i]) - static_cast<double>(got[i])), kBound) << i;
    }
  }

  // The applied encoder's own reconstruction is what the blob gives.
  auto in_place = p.layer;
  std::vector<double> reconstructed;
  auto applied = corrections::encode_applied(in_place, o, kBound, buffers, reconstructed);
  ASSERT_TRUE(applied);
  EXPECT_EQ(applied->bytes, enc->bytes);
  if (c.f64) {
    auto got = corrections::apply(enc->bytes, p.layer, offset);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::memcmp(got->data(), reconstructed.data(), got->size() * 8), 0);
  } else {
    auto got = p.layer;
    ASSERT_TRUE(corrections::apply(enc->bytes, std::span<float>(got)));
    EXPECT_EQ(std::memcmp(got.data(), in_place.data(), got.size() * 4), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, FlagForm,
                         ::testing::Values(Case{false, 0}, Case{true, 0}, Case{false, 1234}, Case{true, 3999}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.f64 ? "f64" : "f32") +
                                  (info.param.escape_at != 0 ? "_escape" : "");
                         });

// Sparse corrections (fewer than one sample in 64) and the quick trial keep
// to the other codings.
TEST(FlagForm, NotTriedForSparseCorrectionsOrTheQuickTrial) {
  {
    const Pair p = bumpy(4000, 23);
    const Originals o = Originals::of_float(p.original);
    auto y = p.layer;
    corrections::EncodeBuffers buffers;
    std::vector<double> unused;
    auto quick = corrections::encode_applied(y, o, kBound, buffers, unused, {}, corrections::FormTrial::Quick);
    ASSERT_TRUE(quick);
    EXPECT_EQ(quick->bytes[5] & kFlagsBit, 0);
  }
  const Pair sparse = bumpy(40000, 400);
  auto enc = corrections::encode(sparse.layer, Originals::of_float(sparse.original), kBound);
  ASSERT_TRUE(enc);
  ASSERT_LT(enc->corrected * 64, sparse.layer.size());
  EXPECT_EQ(enc->bytes[5] & kFlagsBit, 0);
}

std::vector<std::uint8_t> resealed(std::vector<std::uint8_t> b) {
  const std::size_t body = b.size() - 4;
  store_le32(b.data() + body, static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(body))));
  return b;
}

// The classes come from the layer, so a blob applied to another layer of
// the same length reads other flags: whatever it yields, it ends, and a
// refusal leaves the signal as it was. The same for coded bytes forged
// behind a valid checksum.
TEST(FlagForm, WrongLayersAndForgedStreamsEndInAValueOrAnError) {
  const Pair p = bumpy(3000, 23);
  auto enc = corrections::encode(p.layer, Originals::of_float(p.original), kBound);
  ASSERT_TRUE(enc);
  ASSERT_EQ(enc->bytes[5] & kFlagsBit, kFlagsBit);
  std::vector<std::vector<float>> layers;
  for (const float scale : {0.0f, 0.5f, 2.0f, 1e30f}) {
    auto y = p.layer;
    for (float& v : y) v *= scale;
    layers.push_back(std::move(y));
  }
  layers.push_back(std::vector<float>(3000, std::nanf("")));
  int refused = 0;
  for (const auto& layer : layers) {
    auto y = layer;
    if (!corrections::apply(enc->bytes, std::span<float>(y))) {
      ++refused;
      EXPECT_EQ(std::memcmp(y.data(), layer.data(), y.size() * 4), 0);
    }
  }
  // A flat layer puts every sample in one class: the stream cannot decode
  // to the right count and end exactly where it should.
  EXPECT_GE(refused, 1);

  // The coded bytes after the header, overwritten with a pattern, CRC fixed.
  const std::size_t body_at = enc->bytes.size() - 4 - enc->escaped * 4 - 80;
  for (const std::uint8_t fill : {0x00, 0xff, 0x5a}) {
    auto b = enc->bytes;
    std::memset(b.data() + body_at, fill, 80);
    b = resealed(std::move(b));
    auto y = p.layer;
    const auto r = corrections::apply(b, std::span<float>(y));
    ASSERT_FALSE(r) << int{fill};
    EXPECT_EQ(r.error(), CorrectionError::CorruptStream);
    EXPECT_EQ(std::memcmp(y.data(), p.layer.data(), y.size() * 4), 0);
  }
}

}  // namespace
}  // namespace quillmere
