// The search's judge lists the samples beyond a bound a block at a time,
// and the corrections encoder decides each sample on its own. Outliers on
// either side of every block edge, in the signal's last samples, and next
// to non-finite values must all be found by both: counted against a plain
// scan, and (for the encoder) every one corrected to within the bound.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "quillmere/corrections.hpp"
#include "search_support.hpp"

namespace quillmere {
namespace {

constexpr double kBound = 0.01;

struct Layout {
  std::vector<float> original;
  std::vector<float> decoded;
};

// Small errors everywhere; large ones at the edges of 512-sample blocks,
// at the ends, and at a few scattered positions.
Layout layout_of(std::size_t n) {
  Layout s;
  for (std::size_t i = 0; i < n; ++i) {
    const float x = std::sin(static_cast<float>(i) * 0.05f);
    s.original.push_back(x);
    s.decoded.push_back(x + (i % 3 == 0 ? 0.004f : -0.003f));
  }
  const auto miss = [&](std::size_t i, float by) {
    if (i < n) s.decoded[i] = s.original[i] + by;
  };
  for (std::size_t edge = 0; edge <= n + 512; edge += 512) {
    miss(edge, 0.05f);
    if (edge > 0) miss(edge - 1, -0.2f);
    miss(edge + 1, 1.5f);
  }
  if (n > 0) miss(n - 1, -0.03f);
  for (std::size_t i = 7; i < n; i += 97) miss(i, 0.021f);
  return s;
}

std::size_t plain_count(const Layout& s) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.original.size(); ++i) {
    const double e = static_cast<double>(s.original[i]) - static_cast<double>(s.decoded[i]);
    count += std::isfinite(static_cast<double>(s.original[i])) && !(std::fabs(e) <= kBound);
  }
  return count;
}

class OutlierListing : public ::testing::TestWithParam<std::size_t> {};

TEST_P(OutlierListing, JudgeCountsEveryOutlierAndTheSameDistortion) {
  const Layout s = layout_of(GetParam());
  const Originals originals = Originals::of_float(s.original);
  const search::Reference ref = search::reference_of(originals);
  const auto with = search::judge(ref, s.decoded, kBound);
  const auto without = search::judge(ref, s.decoded, 0.0);
  EXPECT_EQ(with.outliers, plain_count(s));
  EXPECT_EQ(with.correction_bytes > 0.0, with.outliers > 0);
  // Listing outliers must not change the distortion measured.
  EXPECT_EQ(with.distortion.max_error, without.distortion.max_error);
  EXPECT_EQ(with.distortion.rmse, without.distortion.rmse);
  // The same values as float64 originals go through the sample-by-sample
  // scan: the listing must hand the tally the same outliers in the same
  // order, or the gaps it prices differ.
  const std::vector<double> wide(s.original.begin(), s.original.end());
  const Originals wide_originals = Originals::of_double(wide, 0.0);
  const auto scanned = search::judge(search::reference_of(wide_originals), s.decoded, kBound);
  EXPECT_EQ(with.outliers, scanned.outliers);
  EXPECT_EQ(with.correction_bytes, scanned.correction_bytes);
}

TEST_P(OutlierListing, EncoderCorrectsEveryOutlier) {
  Layout s = layout_of(GetParam());
  if (GetParam() > 600) {
    // A NaN reconstruction (escaped) and a non-finite original (left alone)
    // on either side of a block edge.
    s.decoded[511] = std::numeric_limits<float>::quiet_NaN();
    s.original[512] = std::numeric_limits<float>::infinity();
  }
  auto enc = corrections::encode(s.decoded, Originals::of_float(s.original), kBound);
  ASSERT_TRUE(enc);
  EXPECT_EQ(enc->corrected, plain_count(s));
  auto y = s.decoded;
  ASSERT_TRUE(corrections::apply(enc->bytes, std::span<float>(y)));
  for (std::size_t i = 0; i < y.size(); ++i) {
    if (!std::isfinite(s.original[i])) {
      EXPECT_EQ(std::memcmp(&y[i], &s.decoded[i], sizeof(float)), 0) << i;
      continue;
    }
    ASSERT_LE(std::fabs(static_cast<double>(s.original[i]) - static_cast<double>(y[i])), kBound) << i;
  }
}

// The listing a judgement with corrections hands the encoder: exactly the
// samples a plain scan finds beyond the bound, the judgement itself
// unchanged, and the encoder given it writing the blob it writes unaided.
TEST_P(OutlierListing, JudgementListsWhatTheEncoderFinds) {
  const Layout s = layout_of(GetParam());
  const Originals originals = Originals::of_float(s.original);
  const search::Reference ref = search::reference_of(originals);
  std::vector<std::uint64_t> listed{~std::uint64_t{0}};  // stale contents must go
  const auto listing = search::judge_listing(ref, s.decoded, kBound, listed);
  const auto plain = search::judge(ref, s.decoded, kBound);
  EXPECT_EQ(listing.outliers, plain.outliers);
  EXPECT_EQ(listing.correction_bytes, plain.correction_bytes);
  EXPECT_EQ(listing.distortion.rmse, plain.distortion.rmse);
  EXPECT_EQ(listing.distortion.max_error, plain.distortion.max_error);
  std::vector<std::uint64_t> want((s.original.size() + 63) / 64, 0);
  for (std::size_t i = 0; i < s.original.size(); ++i) {
    const double e = static_cast<double>(s.original[i]) - static_cast<double>(s.decoded[i]);
    if (!(std::fabs(e) <= kBound)) want[i / 64] |= std::uint64_t{1} << (i % 64);
  }
  EXPECT_EQ(listed, want);
  auto unaided = corrections::encode(s.decoded, originals, kBound);
  ASSERT_TRUE(unaided);
  auto y = s.decoded;
  std::vector<double> unused;
  corrections::EncodeBuffers buffers;
  auto aided = corrections::encode_applied(y, originals, kBound, buffers, unused, listed);
  ASSERT_TRUE(aided);
  EXPECT_EQ(aided->bytes, unaided->bytes);
}

// Where a listing could not be exact, none is given: a NaN reconstruction
// (beyond any bound, but no comparison says so), float64 originals, and no
// correction bound at all.
TEST(OutlierListing, NoListingWhereItCouldMiss) {
  const Layout s = layout_of(1100);
  const Originals originals = Originals::of_float(s.original);
  const search::Reference ref = search::reference_of(originals);
  std::vector<std::uint64_t> listed;
  search::judge_listing(ref, s.decoded, kBound, listed);
  ASSERT_FALSE(listed.empty());
  search::judge_listing(ref, s.decoded, 0.0, listed);
  EXPECT_TRUE(listed.empty());
  auto with_nan = s.decoded;
  with_nan[700] = std::numeric_limits<float>::quiet_NaN();
  search::judge_listing(ref, with_nan, kBound, listed);
  EXPECT_TRUE(listed.empty());
  const std::vector<double> wide(s.original.begin(), s.original.end());
  const Originals wide_originals = Originals::of_double(wide, 0.0);
  const auto scanned = search::judge_listing(search::reference_of(wide_originals), s.decoded, kBound, listed);
  EXPECT_TRUE(listed.empty());
  EXPECT_EQ(scanned.outliers, plain_count(s));
}

INSTANTIATE_TEST_SUITE_P(Lengths, OutlierListing,
                         ::testing::Values(1, 3, 5, 511, 512, 513, 1024, 1537, 2051));

}  // namespace
}  // namespace quillmere

namespace quillmere {
namespace {

// The corrections' estimate on a case small enough to price by hand: three
// samples off by 3 at bound 1 (multiple 2), at positions 0, 1 and 5. Gaps
// 0, 0 and 3 fall in bit-length classes 0, 0 and 2 (entropy 2 log2(3/2) +
// log2 3 bits), the multiples all in class 2 (no entropy); raw bits are the
// gaps' and multiples' bits below the leading one and a sign each: 2 + 2 + 3.
TEST(CorrectionEstimate, PricedByHand) {
  std::vector<float> x(8, 0.0f), y(8, 0.0f);
  for (const std::size_t i : {0u, 1u, 5u}) y[i] = 3.0f;
  const Originals originals = Originals::of_float(x);
  const auto j = search::judge(search::reference_of(originals), y, 1.0);
  EXPECT_EQ(j.outliers, 3u);
  const double entropy = 2.0 * std::log2(1.5) + std::log2(3.0);
  EXPECT_NEAR(j.correction_bytes, (entropy + 7.0) / 8.0 + 44.0, 1e-12);
}

}  // namespace
}  // namespace quillmere
