// The fast coder's model choice on bands made to stress its decisions:
// contexts whose counts are equal (merges that save the same, where the
// first must win), contexts that barely occur beside crowded ones, small
// alphabets where one precision of a table is as good as the next, and
// short bands where the adaptive model and static tables come close. The
// streams are pinned (size and FNV-1a of the bytes, as the earlier encoder
// wrote them), so a faster choice that picks differently fails here even
// where its stream still decodes.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "band_helpers.hpp"
#include "fast_coder.hpp"

namespace quillmere::fast {
namespace {

using testing_bands::Band;
using testing_bands::Bytes;

struct Lcg {
  std::uint64_t state;
  std::uint32_t next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  }
};

// Values 0..alphabet-1 with random signs, the larger ones rarer.
Band small_alphabet(Lcg& g, std::size_t n, unsigned alphabet) {
  Band b(n);
  for (auto& w : b) {
    const std::uint32_t r = g.next();
    const auto m = static_cast<int>((r % alphabet) * ((r >> 20) & 1));
    w = static_cast<std::int16_t>((r >> 31) != 0 ? -m : m);
  }
  return b;
}

// One short pattern over and over: the lanes' contexts settle into a few
// states that see the same tokens the same number of times.
Band periodic(std::size_t n) {
  static constexpr std::int16_t kPattern[] = {0, 1, 0, -2, 5, 0, 0, 1, -1, 3, 0, 17};
  Band b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = kPattern[i % std::size(kPattern)];
  return b;
}

// Mostly zeros with rare loud bursts: many contexts occur a handful of times.
Band bursts(Lcg& g, std::size_t n) {
  Band b(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t r = g.next();
    if ((r & 0x3F) == 0) b[i] = static_cast<std::int16_t>(static_cast<int>(r >> 17) - 16384);
  }
  return b;
}

struct Case {
  const char* name;
  std::vector<Band> (*make)();
  std::size_t size;
  std::uint64_t fnv;
};

std::uint64_t fnv1a(const Bytes& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 0x100000001b3ULL;
  return hash;
}

std::vector<Band> small_alphabets() {
  Lcg g{11};
  return {small_alphabet(g, 9000, 2), small_alphabet(g, 6000, 3), small_alphabet(g, 3000, 4),
          small_alphabet(g, 1800, 3), small_alphabet(g, 400, 2)};
}

std::vector<Band> periodic_bands() { return {periodic(12000), periodic(2000), periodic(37)}; }

std::vector<Band> sparse_bands() {
  Lcg g{23};
  return {bursts(g, 20000), bursts(g, 1500), small_alphabet(g, 5000, 16)};
}

class ModelChoice : public ::testing::TestWithParam<Case> {};

TEST_P(ModelChoice, StreamIsPinnedAndDecodes) {
  const Case& c = GetParam();
  const std::vector<Band> bands = c.make();
  const Bytes stream = encode_coeffs(testing_bands::views_of(bands));
  EXPECT_EQ(stream.size(), c.size);
  EXPECT_EQ(fnv1a(stream), c.fnv) << std::hex << fnv1a(stream);
  const auto lengths = testing_bands::lengths_of(bands);
  Band out(std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}));
  ASSERT_TRUE(decode_coeffs_into(stream, lengths, out).has_value());
  Band all;
  for (const auto& b : bands) all.insert(all.end(), b.begin(), b.end());
  EXPECT_EQ(out, all);
}

INSTANTIATE_TEST_SUITE_P(Bands, ModelChoice,
                         ::testing::Values(Case{"small_alphabets", small_alphabets, 3550, 0x32f91656549992ebULL},
                                           Case{"periodic", periodic_bands, 4034, 0x4b1ba09f3fa05867ULL},
                                           Case{"sparse", sparse_bands, 3041, 0x3770a7528ec831baULL}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmere::fast
