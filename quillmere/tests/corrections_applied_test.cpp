// Corrections made and applied in one go: the blob is the one encode()
// writes, and the samples left behind are bit for bit those apply() gives
// when it reads that blob, whichever form the blob took and wherever
// samples had to be stored exactly.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quillmere/corrections.hpp"
#include "search_support.hpp"

namespace quillmere {
namespace {

struct Case {
  std::string name;
  std::size_t n;
  std::size_t every;  // one sample in `every` misses by far
  double magnitude;   // where the signal sits (1e6: float32 steps of 0.0625)
  double bound;
};

// A reconstruction off by a little everywhere and by a lot at every
// `every`-th sample.
void make(const Case& c, std::vector<double>& x, std::vector<float>& y) {
  std::uint32_t s = 777;
  for (std::size_t i = 0; i < c.n; ++i) {
    s = s * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(s >> 8) / 16777216.0 - 0.5);
    const double v = c.magnitude + std::sin(static_cast<double>(i) * 0.05);
    x.push_back(v);
    y.push_back(static_cast<float>(v + noise * (i % c.every == 0 ? 40.0 : 0.5) * c.bound));
  }
}

class Applied : public ::testing::TestWithParam<Case> {};

// A float32 source and its reconstruction for case c.
struct Float32Source {
  std::vector<float> x;
  std::vector<float> y;
};
Float32Source float32_source(const Case& c) {
  std::vector<double> x64;
  Float32Source s;
  make(c, x64, s.y);
  s.x.assign(x64.begin(), x64.end());
  return s;
}

TEST_P(Applied, Float32MatchesApplyAndTheBlobIsEncodes) {
  const Case& c = GetParam();
  const auto [x, y] = float32_source(c);
  const auto o = Originals::of_float(x);
  auto plain = corrections::encode(y, o, c.bound);
  ASSERT_TRUE(plain);
  ASSERT_GT(plain->corrected, 0u);

  std::vector<float> fused = y;
  std::vector<double> unused;
  corrections::EncodeBuffers buffers;
  auto made = corrections::encode_applied(fused, o, c.bound, buffers, unused);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->bytes, plain->bytes);
  EXPECT_EQ(made->corrected, plain->corrected);
  EXPECT_EQ(made->escaped, plain->escaped);

  std::vector<float> read = y;
  ASSERT_TRUE(corrections::apply(plain->bytes, std::span<float>(read)));
  for (std::size_t i = 0; i < y.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(fused[i]), std::bit_cast<std::uint32_t>(read[i])) << i;
  }
}

TEST_P(Applied, MarksFromTheJudgementGiveTheSameBlobAndDistortion) {
  const Case& c = GetParam();
  const auto [x, y] = float32_source(c);
  const auto o = Originals::of_float(x);
  const auto ref = search::reference_in_lanes(o);
  search::Judgement marked;
  std::vector<std::uint64_t> marks;
  search::Unmarked within;
  ASSERT_TRUE(search::judge_marking(ref, y, c.bound, marked, marks, within));
  // The same distortion as a plain judgement, to the bit, and a mark on
  // exactly the samples beyond the bound.
  const auto plain = search::judge(ref, y, 0.0).distortion;
  EXPECT_EQ(std::bit_cast<std::uint64_t>(marked.distortion.rmse), std::bit_cast<std::uint64_t>(plain.rmse));
  EXPECT_EQ(marked.distortion.max_error, plain.max_error);
  ASSERT_EQ(marks.size(), (y.size() + 63) / 64);
  for (std::size_t i = 0; i < y.size(); ++i) {
    const bool beyond = std::fabs(static_cast<double>(x[i]) - static_cast<double>(y[i])) > c.bound;
    ASSERT_EQ(((marks[i / 64] >> (i % 64)) & 1u) != 0, beyond) << i;
  }

  std::vector<float> scanned = y, taken = y;
  std::vector<double> unused;
  corrections::EncodeBuffers buffers;
  auto a = corrections::encode_applied(scanned, o, c.bound, buffers, unused);
  auto b = corrections::encode_applied(taken, o, c.bound, buffers, unused, marks);
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_EQ(a->bytes, b->bytes);
  EXPECT_EQ(scanned, taken);

  // The corrected signal's figures from the marked samples alone: the
  // largest error exactly a full judgement's, the RMS error to rounding.
  const auto full = search::judge(ref, taken, 0.0).distortion;
  const auto part = search::corrected_distortion(ref, taken, marks, within);
  EXPECT_EQ(part.max_error, full.max_error);
  EXPECT_LE(part.max_error, c.bound);
  EXPECT_NEAR(part.rmse, full.rmse, 1e-12 * full.rmse);
  EXPECT_LT(part.rmse, plain.rmse);
}

TEST_P(Applied, Float64MatchesApplyAndLeavesTheLayerAlone) {
  const Case& c = GetParam();
  std::vector<double> x;
  std::vector<float> y;
  make(c, x, y);
  // The layer codes x - offset; the offset puts the samples where a float32
  // step is far coarser than the bound, so that escapes occur as well.
  const double offset = 1.0e9;
  for (double& v : x) v += offset;
  const auto o = Originals::of_double(x, offset);
  auto plain = corrections::encode(y, o, c.bound);
  ASSERT_TRUE(plain);

  std::vector<float> layer = y;
  std::vector<double> fused;
  corrections::EncodeBuffers buffers;
  auto made = corrections::encode_applied(layer, o, c.bound, buffers, fused);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->bytes, plain->bytes);
  EXPECT_EQ(layer, y);

  auto read = corrections::apply(plain->bytes, y, offset);
  ASSERT_TRUE(read);
  ASSERT_EQ(fused.size(), read->size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint64_t>(fused[i]), std::bit_cast<std::uint64_t>((*read)[i])) << i;
  }
}

// Few corrections (the gamma form kept), many (the token form), and bounds
// near float32's step at 1e6 so that some samples are stored exactly.
INSTANTIATE_TEST_SUITE_P(
    Blobs, Applied,
    ::testing::Values(Case{"few", 400, 97, 0.0, 0.01}, Case{"many", 20000, 3, 0.0, 0.01},
                      Case{"escapes", 5000, 5, 1.0e6, 0.0313}, Case{"fine", 5000, 7, -3.0, 1e-5}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(Applied, BuffersReusedAcrossCallsOfDifferentSizes) {
  // The search keeps one set of buffers for every finalist: a long call
  // before a short one must not leave corrections behind.
  corrections::EncodeBuffers buffers;
  std::vector<double> unused;
  for (const Case& c : {Case{"long", 20000, 3, 0.0, 0.01}, Case{"short", 300, 50, 0.0, 0.01}}) {
    const auto [x, y] = float32_source(c);
    std::vector<float> fused = y;
    auto made = corrections::encode_applied(fused, Originals::of_float(x), c.bound, buffers, unused);
    ASSERT_TRUE(made);
    std::vector<float> read = y;
    ASSERT_TRUE(corrections::apply(made->bytes, std::span<float>(read)));
    EXPECT_EQ(fused, read) << c.name;
  }
}

TEST(Applied, QuickTrialKeepsTheSameCorrectionsAndTriesTheGammaFormOnlyForAHandful) {
  // A few hundred corrections: the size at which the gamma form can win.
  for (const Case& c : {Case{"hundreds", 12000, 40, 0.0, 0.01}, Case{"handful", 600, 50, 0.0, 0.01}}) {
    const auto [x, y] = float32_source(c);
    const auto o = Originals::of_float(x);
    corrections::EncodeBuffers buffers;
    std::vector<double> unused;
    std::vector<float> smallest = y, quick = y;
    auto a = corrections::encode_applied(smallest, o, c.bound, buffers, unused, {},
                                         corrections::FormTrial::Smallest);
    auto b = corrections::encode_applied(quick, o, c.bound, buffers, unused, {}, corrections::FormTrial::Quick);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->corrected, b->corrected) << c.name;
    EXPECT_EQ(smallest, quick) << c.name;
    std::vector<float> read = y;
    ASSERT_TRUE(corrections::apply(b->bytes, std::span<float>(read)));
    EXPECT_EQ(quick, read) << c.name;
    // The flag form, outside the quick trial, may take the place of the
    // gamma form for a handful: never larger.
    if (b->corrected <= 16 && (a->bytes[5] & 8) != 0) {
      EXPECT_LE(a->bytes.size(), b->bytes.size()) << c.name;
    } else if (b->corrected <= 16) {
      EXPECT_EQ(a->bytes, b->bytes) << c.name;
    } else {
      EXPECT_LT(a->bytes.size(), b->bytes.size()) << c.name << ": " << a->corrected << " corrections";
    }
  }
}

}  // namespace
}  // namespace quillmere
