// The scan for non-finite samples skips whole blocks it finds clean: runs
// placed around block edges, at the ends and across a block must come out
// as a sample-by-sample reading finds them, in float32 and float64.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "quillmere_tools/coded_samples.hpp"
#include "quillmere_tools/non_finite.hpp"

namespace quillmere_tools {
namespace {

struct Placed {
  std::size_t length;                  // of the signal
  std::vector<std::size_t> positions;  // samples made non-finite, kinds in turn
};

class NonFiniteScan : public ::testing::TestWithParam<Placed> {};

template <class T>
std::vector<T> signal_with(const Placed& p) {
  const T kinds[3] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                      -std::numeric_limits<T>::infinity()};
  std::vector<T> x(p.length);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<T>(std::sin(0.01 * static_cast<double>(i)));
  for (std::size_t k = 0; k < p.positions.size(); ++k) x[p.positions[k]] = kinds[(k / 2) % 3];
  return x;
}

// Sample by sample: a new run wherever the kind changes or a gap opens.
template <class T>
std::vector<NonFiniteRun> expected_runs(const std::vector<T>& x) {
  std::vector<NonFiniteRun> runs;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (std::isfinite(x[i])) continue;
    const auto kind = std::isnan(x[i]) ? NonFiniteKind::NaN
                      : x[i] > 0       ? NonFiniteKind::PlusInf
                                       : NonFiniteKind::MinusInf;
    if (!runs.empty() && runs.back().kind == kind && runs.back().start + runs.back().length == i) {
      ++runs.back().length;
    } else {
      runs.push_back({i, 1, kind});
    }
  }
  return runs;
}

TEST_P(NonFiniteScan, FindsEveryRunAroundBlockEdges) {
  const auto f = signal_with<float>(GetParam());
  EXPECT_EQ(find_non_finite<float>(f), expected_runs(f));
  const auto d = signal_with<double>(GetParam());
  EXPECT_EQ(find_non_finite<double>(d), expected_runs(d));
}

// A float32 signal is first scanned for its range and any non-finite sample
// in one pass; a sample missed there would reach the codec unrecorded.
TEST_P(NonFiniteScan, PreparedFloat32RecordsEveryRunAndCodesOnlyFiniteSamples) {
  const auto f = signal_with<float>(GetParam());
  const auto coded = prepare_samples(std::span<const float>(f));
  ASSERT_TRUE(coded);
  EXPECT_EQ(coded->runs, expected_runs(f));
  for (const float v : coded->samples) ASSERT_TRUE(std::isfinite(v));
  // A clean signal is coded from the caller's memory, without a copy.
  EXPECT_EQ(coded->samples.data() == f.data(), GetParam().positions.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Positions, NonFiniteScan,
    ::testing::Values(Placed{1000, {}}, Placed{1000, {0}}, Placed{1000, {999}}, Placed{256, {255}},
                      Placed{512, {255, 256}}, Placed{513, {511, 512}}, Placed{2000, {257, 1023, 1024, 1025}},
                      Placed{255, {254}}, Placed{1000, {256}}, Placed{768, {512, 513, 767}}, Placed{1000, {300, 301, 302, 303, 304, 305, 306}},
                      Placed{5000, {4095, 4096, 4097, 4999}}));

// The range check rides in the same pass: its extremes in a lane of a
// whole block, in the ragged end, or beside a NaN (the two-pass road).
TEST(PreparedFloat32, RefusesARangeBeyondFloat32WhereverItsEndsLie) {
  struct Ends {
    std::size_t length, low, high;
    bool with_nan;
  };
  for (const Ends e : {Ends{1000, 0, 999, false}, Ends{1000, 999, 17, false}, Ends{4097, 4096, 256, false},
                       Ends{20, 3, 19, false},
                       Ends{1000, 5, 700, true}}) {
    std::vector<float> x(e.length, 1.0f);
    x[e.low] = -3e38f;
    x[e.high] = 3e38f;
    if (e.with_nan) x[e.length / 2] = std::numeric_limits<float>::quiet_NaN();
    const auto coded = prepare_samples(std::span<const float>(x));
    ASSERT_FALSE(coded) << e.length << " " << e.low << " " << e.high;
    EXPECT_NE(coded.error().message.find("exceeds what float32 can span"), std::string::npos);
    x[e.high] = 1e37f;  // now within range
    EXPECT_TRUE(prepare_samples(std::span<const float>(x))) << e.length;
  }
}

}  // namespace
}  // namespace quillmere_tools
