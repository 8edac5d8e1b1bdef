// Two layers of one signal corrected together: the blobs, the corrected
// samples and a float64 source's reconstructions are bit for bit those of
// two separate calls, whether both layers take the flag form (coded in one
// pass), one of them cannot, or neither needs it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "quillmere/corrections.hpp"

namespace quillmere {
namespace {

struct Case {
  std::string name;
  std::size_t n;
  std::size_t every_a;  // one sample in `every` of each layer misses by far
  std::size_t every_b;
  double offset;        // nonzero: a float64 source lifted this far
};

// The originals and a reconstruction off by a little everywhere and by a
// lot at every `every`-th sample (shifted by `phase`).
std::vector<float> layer_of(const std::vector<double>& x, double offset, std::size_t every, std::size_t phase,
                            std::uint32_t seed, double bound) {
  std::vector<float> y;
  std::uint32_t s = seed;
  for (std::size_t i = 0; i < x.size(); ++i) {
    s = s * 1664525u + 1013904223u;
    const double noise = static_cast<double>(s >> 8) / 16777216.0 - 0.5;
    const bool far = (i + phase) % every == 0;
    y.push_back(static_cast<float>(x[i] - offset + noise * (far ? 40.0 : 0.5) * bound));
  }
  return y;
}

class TwoLayers : public ::testing::TestWithParam<Case> {};

TEST_P(TwoLayers, SameBlobsAndSamplesAsOneAtATime) {
  const Case& c = GetParam();
  const double bound = 0.01;
  std::vector<double> x;
  for (std::size_t i = 0; i < c.n; ++i) x.push_back(c.offset + std::sin(static_cast<double>(i) * 0.05));
  const std::vector<float> ya = layer_of(x, c.offset, c.every_a, 0, 777, bound);
  const std::vector<float> yb = layer_of(x, c.offset, c.every_b, 3, 4242, bound);
  std::vector<float> x32(x.begin(), x.end());
  const Originals o = c.offset != 0.0 ? Originals::of_double(x, c.offset) : Originals::of_float(x32);

  // One at a time, on one set of buffers as the search used to.
  corrections::EncodeBuffers shared;
  std::vector<float> sa = ya, sb = yb;
  std::vector<double> ra, rb;
  auto one_a = corrections::encode_applied(sa, o, bound, shared, ra);
  auto one_b = corrections::encode_applied(sb, o, bound, shared, rb);
  ASSERT_TRUE(one_a && one_b);

  // Together; buffers used before, by a longer call, must not matter.
  corrections::EncodeBuffers ba, bb;
  {
    std::vector<float> longer = layer_of(std::vector<double>(3 * c.n, 0.0), 0.0, 5, 0, 9, bound);
    std::vector<double> unused;
    std::vector<double> zeros(longer.size(), 0.0);
    std::vector<float> zeros32(zeros.begin(), zeros.end());
    ASSERT_TRUE(corrections::encode_applied(longer, Originals::of_float(zeros32), bound, bb, unused));
  }
  std::vector<float> ta = ya, tb = yb;
  std::vector<double> qa, qb;
  auto [two_a, two_b] = corrections::encode_applied_two({ta, &ba, &qa, {}}, {tb, &bb, &qb, {}}, o, bound);
  ASSERT_TRUE(two_a && two_b);

  EXPECT_EQ(two_a->bytes, one_a->bytes);
  EXPECT_EQ(two_b->bytes, one_b->bytes);
  EXPECT_EQ(two_a->corrected, one_a->corrected);
  EXPECT_EQ(two_b->escaped, one_b->escaped);
  EXPECT_EQ(ta, sa);
  EXPECT_EQ(tb, sb);
  EXPECT_EQ(qa, ra);
  EXPECT_EQ(qb, rb);
  // And each blob reads back to the samples left behind.
  if (c.offset == 0.0) {
    std::vector<float> read = yb;
    ASSERT_TRUE(corrections::apply(two_b->bytes, std::span<float>(read)));
    EXPECT_EQ(read, tb);
  }
}

// 12,000 samples with a correction in every 20 or 25 take the flag form on
// both layers; one in 3 is too many corrections for it; a float64 source
// far from zero stores some samples exactly; a layer within the bound has
// nothing to correct.
INSTANTIATE_TEST_SUITE_P(
    Layers, TwoLayers,
    ::testing::Values(Case{"both_flags", 12000, 20, 25, 0.0}, Case{"one_too_dense", 12000, 20, 3, 0.0},
                      Case{"float64", 12000, 20, 25, 1.0e6}, Case{"short_second", 12000, 20, 100000, 0.0},
                      Case{"tiny", 40, 4, 5, 0.0}),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace quillmere
