// The judgement that denormalises the inverse transform's samples in its
// own pass must leave the samples, marks and sums of the two passes it
// replaces (denormalise_and_cut, then judge_marking), to the bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reconstruct.hpp"
#include "search_support.hpp"

namespace quillmere {
namespace {

struct Case {
  std::size_t n;      // signal length
  std::size_t extra;  // synthesis samples beyond it (a padded transform)
  double bound;       // in the signal's units
};

std::string name_of(const testing::TestParamInfo<Case>& info) {
  return "n" + std::to_string(info.param.n) + "_pad" + std::to_string(info.param.extra) + "_b" +
         std::to_string(static_cast<int>(info.param.bound * 1e4));
}

class DenormalisedMarking : public testing::TestWithParam<Case> {};

TEST_P(DenormalisedMarking, GivesTheTwoPassesSamplesMarksAndSums) {
  const Case& c = GetParam();
  std::mt19937 rng(static_cast<std::uint32_t>(c.n * 31 + c.extra));
  std::normal_distribution<float> noise(0.0f, 0.02f);
  // Originals in [-3, 5]; the unscaled synthesis is the normalised signal
  // plus noise the size of a coarse quantisation.
  const stages::Denormalisation frame{-3.0f, 5.0f, 0.125f, static_cast<std::uint32_t>(c.n)};
  const float range = frame.max - frame.min;
  std::vector<float> x(c.n), unscaled(c.n + c.extra);
  for (std::size_t i = 0; i < unscaled.size(); ++i) {
    const float v = static_cast<float>(0.4 * std::sin(0.01 * static_cast<double>(i)));
    unscaled[i] = v + noise(rng);
    if (i < c.n) x[i] = frame.min + range * (v + frame.mean);
  }
  const auto o = Originals::of_float(x);
  const auto ref = search::reference_in_lanes(o);

  std::vector<float> two_pass = unscaled;
  ASSERT_TRUE(stages::denormalise_and_cut(two_pass, frame));
  search::Judgement want;
  std::vector<std::uint64_t> want_marks;
  search::Unmarked want_within;
  ASSERT_TRUE(search::judge_marking(ref, two_pass, c.bound, want, want_marks, want_within));

  std::vector<float> fused = unscaled;
  search::Judgement got;
  std::vector<std::uint64_t> got_marks;
  search::Unmarked got_within;
  ASSERT_TRUE(search::denormalise_judge_marking(ref, fused, frame, c.bound, got, got_marks, got_within));

  ASSERT_EQ(fused.size(), two_pass.size());
  for (std::size_t i = 0; i < fused.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(fused[i]), std::bit_cast<std::uint32_t>(two_pass[i])) << i;
  }
  EXPECT_EQ(got_marks, want_marks);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got.distortion.max_error),
            std::bit_cast<std::uint64_t>(want.distortion.max_error));
  EXPECT_EQ(std::bit_cast<std::uint64_t>(got.distortion.rmse), std::bit_cast<std::uint64_t>(want.distortion.rmse));
  for (int l = 0; l < 4; ++l) {
    EXPECT_EQ(got_within.max4[l], want_within.max4[l]) << l;
    EXPECT_EQ(got_within.sq4[l], want_within.sq4[l]) << l;
  }
  // The bound must split the samples for the marks to mean anything.
  std::size_t marked = 0;
  for (const std::uint64_t w : got_marks) marked += static_cast<std::size_t>(std::popcount(w));
  if (c.n >= 64) {
    EXPECT_GT(marked, 0u);
    EXPECT_LT(marked, c.n);
  }
}

// Lengths on and off the four lanes and the 512-sample blocks.
INSTANTIATE_TEST_SUITE_P(Lengths, DenormalisedMarking,
                         testing::Values(Case{1, 0, 0.1}, Case{3, 5, 0.1}, Case{64, 0, 0.15},
                                         Case{513, 7, 0.1}, Case{1030, 2, 0.25}, Case{4099, 1, 0.1},
                                         Case{4096, 0, 0.05}),
                         name_of);

TEST(DenormalisedMarkingRefusal, LeavesTheSamplesAloneWhereItCannotMark) {
  const stages::Denormalisation frame{0.0f, 1.0f, 0.0f, 100};
  std::vector<float> x(100, 0.5f);
  const std::vector<float> short_synthesis(99, 0.25f);
  search::Judgement j;
  std::vector<std::uint64_t> marks;
  search::Unmarked within;
  {
    const auto o = Originals::of_float(x);
    const auto ref = search::reference_of(o);
    std::vector<float> y = short_synthesis;  // shorter than the signal
    EXPECT_FALSE(search::denormalise_judge_marking(ref, y, frame, 0.1, j, marks, within));
    EXPECT_EQ(y, short_synthesis);
  }
  {
    x[10] = NAN;  // originals not all finite
    const auto o = Originals::of_float(x);
    const auto ref = search::reference_of(o);
    std::vector<float> y(100, 0.25f);
    EXPECT_FALSE(search::denormalise_judge_marking(ref, y, frame, 0.1, j, marks, within));
    EXPECT_EQ(y, std::vector<float>(100, 0.25f));
  }
  {
    const std::vector<double> x64(100, 0.5);
    const auto o = Originals::of_double(x64, 0.0);
    const auto ref = search::reference_of(o);
    std::vector<float> y(100, 0.25f);
    EXPECT_FALSE(search::denormalise_judge_marking(ref, y, frame, 0.1, j, marks, within));
  }
}

}  // namespace
}  // namespace quillmere
