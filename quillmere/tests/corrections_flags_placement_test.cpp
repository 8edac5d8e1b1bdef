// The flag coding's encoder and reader walk the signal in groups of four
// within chunks of classes, code the groups with nothing corrected as a run
// and refill the classes at chunk edges; contexts halve their counts when
// they fill. Corrections placed on those edges (a run ending where a chunk
// ends, the signal's short last group, every sample of a group, a context
// used far past its count limit) come back from the reader exactly where
// and as they were coded.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "corrections_flags.hpp"
#include "corrections_parts.hpp"
#include "quillmere/corrections.hpp"

namespace quillmere {
namespace {

constexpr double kStep = 0.02;

struct Placement {
  const char* name;
  std::size_t n;
  std::vector<std::uint32_t> positions;  // ascending
};
void PrintTo(const Placement& p, std::ostream* os) { *os << p.name; }

// A layer whose shape varies enough to use every class, so that a wrong
// class (a stale chunk, a group's largest class taken over the wrong
// samples) moves the reader to another context and breaks the round trip.
std::vector<float> shaped_layer(std::size_t n) {
  std::vector<float> y(n);
  std::uint32_t s = 7;
  for (std::size_t i = 0; i < n; ++i) {
    s = s * 1664525u + 1013904223u;
    const double wiggle = (static_cast<double>(s >> 8) / 16777216.0 - 0.5) * kStep * ((i / 97) % 5);
    y[i] = static_cast<float>(std::sin(static_cast<double>(i) * 0.013) + wiggle);
  }
  return y;
}

std::vector<std::uint32_t> every(std::size_t from, std::size_t to, std::size_t stride) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = from; i < to; i += stride) out.push_back(static_cast<std::uint32_t>(i));
  return out;
}

class FlagPlacement : public ::testing::TestWithParam<Placement> {};

TEST_P(FlagPlacement, ReaderFindsEveryCorrectionWhereItWasCoded) {
  const Placement& pl = GetParam();
  const std::vector<float> layer = shaped_layer(pl.n);
  // Originals are only read for escapes (multiple 0): one escape is kept
  // among the multiples, the rest vary in size and sign.
  std::vector<float> original = layer;
  corrections::EncodeBuffers buf;
  std::uint32_t prev_end = 0;
  std::vector<std::int64_t> want_k;
  for (std::size_t j = 0; j < pl.positions.size(); ++j) {
    const std::uint32_t at = pl.positions[j];
    buf.gaps.push_back(at - prev_end);
    prev_end = at + 1;
    std::int64_t k = static_cast<std::int64_t>(1 + (j * 7) % 13) * (j % 3 == 1 ? -1 : 1);
    if (j == pl.positions.size() / 2) {
      k = 0;
      original[at] = 1e30f;
    } else if (j % 11 == 5) {
      k = corrections::parts::kMaxMultiple - static_cast<std::int64_t>(j);  // the widest magnitudes
    }
    buf.multiples.push_back(k);
    want_k.push_back(k);
  }
  const Originals o = Originals::of_float(original);
  auto enc = corrections::flags::encode(layer, o, kStep, buf);
  ASSERT_TRUE(enc);
  ASSERT_EQ(enc->corrected, pl.positions.size());
  ASSERT_EQ(enc->escaped, 1u);
  // As written: the compact header.
  const std::vector<std::uint8_t> blob = corrections::parts::compacted(enc->bytes);
  auto h = corrections::parts::read_header(blob);
  ASSERT_TRUE(h);
  auto reader = corrections::flags::Reader::open(blob, *h, layer);
  ASSERT_TRUE(reader);
  const auto entries = reader->next_batch();
  ASSERT_TRUE(reader->closes());
  ASSERT_EQ(entries.size(), pl.positions.size());
  for (std::size_t j = 0; j < entries.size(); ++j) {
    ASSERT_EQ(entries[j].position, pl.positions[j]) << j;
    ASSERT_EQ(entries[j].k, want_k[j]) << j;
  }
  // Read against a layer that differs in one sample's shape only, the
  // classes there change; the stream still ends in a value or a refusal.
  std::vector<float> other = layer;
  other[pl.positions.front()] += 1.0f;
  auto again = corrections::flags::Reader::open(blob, *h, other);
  ASSERT_TRUE(again);
  const auto read = again->next_batch();
  EXPECT_TRUE(again->closes() ? read.size() == pl.positions.size() : read.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Edges, FlagPlacement,
    ::testing::Values(
        // A run of empty groups that ends exactly where a chunk of classes
        // ends, and corrections on both sides of each chunk edge.
        Placement{"chunk_edges", 3000, {3, 255, 256, 511, 512, 513, 767, 1024, 1279, 1280, 2047, 2999}},
        // The first sample, and every sample of one group (the last flag of
        // a group is implied only when none before it is set).
        Placement{"whole_groups", 2001, {0, 1, 2, 3, 4, 8, 9, 10, 11, 700, 701, 702, 703, 2000}},
        // Short last groups: n not a multiple of four, last samples corrected.
        Placement{"short_tail_1", 1029, {5, 600, 1026, 1027, 1028}},
        Placement{"short_tail_3", 1027, {1, 1024, 1025, 1026}},
        Placement{"single_sample_signal", 1, {0}},
        Placement{"two_samples", 2, {1}},
        // Long runs: the empty groups' contexts pass their count limit many
        // times over, and so do the flags' (corrections one in sixty).
        Placement{"halving", 65000, every(31, 65000, 64)},
        // Dense: the magnitudes' and signs' contexts halve too.
        Placement{"dense", 9000, every(2, 9000, 3)}),
    [](const ::testing::TestParamInfo<Placement>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace quillmere
