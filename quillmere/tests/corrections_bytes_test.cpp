// The gamma form's encoder bytes against a plain rendering of its layout on
// the bit engine's put() path (one symbol at a time, libm's rounding): any
// change to what that encoder writes shows here, whichever way it models,
// rounds or keeps its buffers. Blobs of that form are still read, so its
// bytes stay pinned.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <zlib.h>

#include "bin_engine.hpp"
#include "corrections_gamma.hpp"
#include "half_away_rounding.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere {
namespace {

// The layout's contexts, as the blob's format fixes them.
constexpr std::size_t kW = 34;
constexpr std::size_t kGapU = 0, kGapB = kW, kMagU = kGapB + kW * kW, kMagB = kMagU + kW;
constexpr std::size_t kSignC = kMagB + kW * kW, kCountU = kSignC + 1, kCountB = kCountU + kW;
constexpr std::size_t kAll = kCountB + kW * kW;

void put_gamma(bin_engine::BinEnc& enc, std::size_t unary, std::size_t bits, std::uint64_t v) {
  const auto w = static_cast<unsigned>(std::bit_width(v));
  for (unsigned j = 0; j + 1 < w; ++j) enc.put(unary + j, 1);
  enc.put(unary + w - 1, 0);
  for (unsigned b = w - 1; b-- > 0;) enc.put(bits + w * kW + b, (v >> b) & 1u);
}

std::vector<std::uint8_t> plain_blob(std::span<const float> y, const Originals& o, double bound) {
  const bool f64 = o.is_double();
  // A hair under twice the bound, down to a float32 where that is normal.
  const double wide = 2.0 * bound * (1.0 - 1.0 / 1024.0);
  float narrow = static_cast<float>(wide);
  if (static_cast<double>(narrow) > wide) narrow = std::nextafter(narrow, 0.0f);
  const double step = std::isnormal(narrow) ? static_cast<double>(narrow) : wide;
  bin_engine::BinEnc enc(kAll);
  std::vector<std::uint8_t> escapes;
  std::uint64_t next = 0;
  std::uint32_t corrected = 0, escaped = 0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double x = f64 ? o.f64()[i] : static_cast<double>(o.f32()[i]);
    const double r = f64 ? static_cast<double>(y[i]) + o.offset() : static_cast<double>(y[i]);
    if (std::fabs(x - r) <= bound || !std::isfinite(x)) continue;
    const double q = std::round((x - r) / step);
    std::int64_t k = 0;
    if (std::fabs(q) <= 2147483648.0) {
      k = static_cast<std::int64_t>(q);
      const double d = static_cast<double>(k) * step;
      const double got = f64 ? (static_cast<double>(y[i]) + o.offset()) + d
                             : static_cast<double>(y[i] + static_cast<float>(d));
      if (!(std::fabs(x - got) <= bound)) k = 0;
    }
    put_gamma(enc, kGapU, kGapB, i - next + 1);
    const auto mag = static_cast<std::uint64_t>(k < 0 ? -k : k);
    put_gamma(enc, kMagU, kMagB, mag + 1);
    if (mag != 0) enc.put(kSignC, k < 0);
    next = i + 1;
    ++corrected;
    if (k == 0) {
      ++escaped;
      const std::size_t at = escapes.size();
      escapes.resize(at + (f64 ? 8 : 4));
      if (f64) {
        const auto bits = std::bit_cast<std::uint64_t>(x);
        std::memcpy(escapes.data() + at, &bits, 8);
      } else {
        store_le_f32(escapes.data() + at, o.f32()[i]);
      }
    }
  }
  std::vector<std::uint8_t> coded;
  if (corrected > 0) {
    put_gamma(enc, kCountU, kCountB, std::uint64_t{corrected} + 1);
    enc.finish_into(coded);
  }
  std::vector<std::uint8_t> b(36 + coded.size() + escapes.size() + 4, 0);
  std::memcpy(b.data(), "QLMK", 4);
  b[4] = 1;
  b[5] = f64 ? 1 : 0;
  store_le32(b.data() + 8, static_cast<std::uint32_t>(y.size()));
  store_le32(b.data() + 12, corrected);
  store_le32(b.data() + 16, escaped);
  const auto step_bits = std::bit_cast<std::uint64_t>(step);
  std::memcpy(b.data() + 20, &step_bits, 8);
  store_le32(b.data() + 28, static_cast<std::uint32_t>(coded.size()));
  std::copy(coded.begin(), coded.end(), b.begin() + 36);
  std::copy(escapes.begin(), escapes.end(), b.begin() + 36 + static_cast<std::ptrdiff_t>(coded.size()));
  const std::size_t body = b.size() - 4;
  store_le32(b.data() + body, static_cast<std::uint32_t>(crc32(0L, b.data(), static_cast<uInt>(body))));
  return b;
}

struct Case {
  const char* name;
  std::size_t n;
  double miss_rate;   // share of samples off by more than the bound
  double miss_scale;  // how far off, in bounds
  double level;       // the signal's level (large levels force float32 escapes)
  double bound;
};

class SameBytes : public ::testing::TestWithParam<Case> {};

// Float32 and float64 sources, sparse and dense corrections, long gaps,
// multiples near the escape limit, non-finite originals and decoded NaNs;
// one set of kept buffers runs through all of them in turn, largest first
// and again smallest last, so that what a call leaves behind is exercised.
TEST_P(SameBytes, AsThePlainLayout) {
  const Case c = GetParam();
  std::mt19937_64 rng(c.n * 7 + 1);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<float> x32(c.n), y(c.n);
  std::vector<double> x64(c.n);
  for (std::size_t i = 0; i < c.n; ++i) {
    const double v = c.level + std::sin(static_cast<double>(i) * 0.003);
    const bool miss = u(rng) < c.miss_rate;
    const double err = (u(rng) - 0.5) * c.bound * (miss ? 2.0 * c.miss_scale : 1.9);
    x64[i] = v + err;
    x32[i] = static_cast<float>(x64[i]);
    y[i] = static_cast<float>(v - c.level);
  }
  if (c.n > 10) {
    x32[3] = NAN;
    x64[5] = INFINITY;
    y[7] = NAN;
  }
  std::vector<float> y32 = y;
  for (std::size_t i = 0; i < c.n; ++i) y32[i] = static_cast<float>(static_cast<double>(y[i]) + c.level);
  if (c.n > 10) y32[7] = NAN;

  corrections::EncodeBuffers kept;
  for (int pass = 0; pass < 2; ++pass) {
    const auto o32 = Originals::of_float(x32);
    const auto o64 = Originals::of_double(x64, c.level);
    auto a = corrections::gamma::encode(y32, o32, c.bound, kept);
    auto b = corrections::gamma::encode(y, o64, c.bound, kept);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->bytes, plain_blob(y32, o32, c.bound)) << c.name << " float32";
    EXPECT_EQ(b->bytes, plain_blob(y, o64, c.bound)) << c.name << " float64";
    corrections::EncodeBuffers fresh;
    EXPECT_EQ(corrections::gamma::encode(y32, o32, c.bound, fresh)->bytes, a->bytes) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SameBytes,
    ::testing::Values(Case{"none", 500, 0.0, 1.0, 0.0, 0.01},
                      Case{"one", 1, 1.0, 5.0, 0.0, 0.01},
                      Case{"sparse", 200000, 0.0005, 4.0, 0.0, 0.01},
                      Case{"dense", 60000, 0.9, 3.0, 0.0, 0.01},
                      Case{"far", 20000, 0.3, 1e9, 0.0, 1e-3},
                      Case{"escapes", 30000, 0.5, 3.0, 3.0e6, 0.03},
                      Case{"tiny", 5000, 0.2, 50.0, 10.0, 1e-7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HalfAwayRounding, MatchesTheLibraryEverywhere) {
  std::vector<double> v = {0.0, -0.0, 0.5, -0.5, 1.5, 2.5, -2.5, 0.49999999999999994,
                           -0.49999999999999994, 4503599627370495.5, -4503599627370495.5,
                           4503599627370496.0, 9007199254740993.0, 1e300, -1e-300,
                           std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
  std::mt19937_64 rng(3);
  for (int i = 0; i < 200000; ++i) {
    // Every exponent, and halves at every scale up to 2^53.
    v.push_back(std::bit_cast<double>(rng()));
    const double h = std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 60));
    v.push_back(std::floor(h) + 0.5);
    v.push_back(-(std::floor(h) + 0.5));
  }
  for (const double x : v) {
    const double want = std::round(x), got = round_half_away(x);
    if (std::isnan(want)) {
      ASSERT_TRUE(std::isnan(got)) << x;
    } else {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(want)) << x;
    }
  }
}

}  // namespace
}  // namespace quillmere
