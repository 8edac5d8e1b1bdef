// compress() and decompress() keep their work buffers with the thread from
// one call to the next. Whatever an earlier call left there (a longer
// signal, another wavelet's band lengths, a deeper transform) must not
// reach a later result: a sequence of calls on one thread has to give, call
// for call, what each call gives alone on a thread that never ran another.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "quillmere/compressor.hpp"
#include "quillmere/decompressor.hpp"
#include "quillmere/header.hpp"
#include "quantizer.hpp"

namespace quillmere {
namespace {

struct Job {
  std::size_t length;
  Method method;
  Coder coder;
  std::optional<float> multiplier;
  unsigned seed;
};

std::vector<float> signal(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = std::sin(0.013f * static_cast<float>(i) * static_cast<float>(seed % 7 + 1)) + noise(rng);
  }
  if (n > 10) x[n / 3] = std::numeric_limits<float>::quiet_NaN();  // cleaned on the way in
  return x;
}

CodecOptions options_of(const Job& job) {
  CodecOptions o;
  o.method = job.method;
  o.coder = job.coder;
  o.quant_multiplier = job.multiplier;
  return o;
}

struct Outcome {
  std::vector<std::uint8_t> container;
  std::vector<float> decoded;
};

Outcome run(const Job& job) {
  Outcome out;
  out.container = compress(signal(job.length, job.seed), options_of(job)).value();
  out.decoded = decompress_tools(out.container).value();
  return out;
}

bool same(const Outcome& a, const Outcome& b) {
  return a.container == b.container && a.decoded.size() == b.decoded.size() &&
         std::memcmp(a.decoded.data(), b.decoded.data(), 4 * a.decoded.size()) == 0;
}

// Long before short and short before long, across wavelets whose level
// lengths differ (the 8-tap banks' do not halve), coders, and multipliers
// large enough that the deepest levels saturate and the transform runs a
// second time at a shallower depth.
const Job kJobs[] = {
    {200'000, Method::Cdf97, Coder::Fast, std::nullopt, 1},
    {50, Method::Db4, Coder::CModel, std::nullopt, 2},
    {70'001, Method::Sym4, Coder::Fast, std::nullopt, 3},
    {3, Method::Cdf53, Coder::Fast, std::nullopt, 4},
    {120'000, Method::Cdf97, Coder::Fast, 3.0e4f, 5},
    {9'999, Method::Db4, Coder::Arans, 2.0e4f, 6},
    {300'001, Method::Cdf53, Coder::Deflate, std::nullopt, 7},
    {4'097, Method::Cdf97, Coder::Fast, std::nullopt, 8},
    // Too long for the kept buffers: the level-by-level road, stepping down.
    {400'000, Method::Sym4, Coder::CModel, 3.0e4f, 9},
};

TEST(KeptBuffers, CallsInSequenceMatchCallsOnFreshThreads) {
  std::vector<Outcome> alone;
  for (const Job& job : kJobs) {
    Outcome fresh;
    std::thread([&] { fresh = run(job); }).join();
    alone.push_back(std::move(fresh));
  }
  // The saturating jobs must really have stepped down, or the second
  // transform went untested.
  const auto shallower = [&](std::size_t k) {
    const auto header = QuillmereHeader::from_bytes(alone[k].container, kLastToolsCoder).value();
    return header.levels < pick_levels(kJobs[k].length, kJobs[k].method);
  };
  EXPECT_TRUE(shallower(4));
  EXPECT_TRUE(shallower(8));

  std::thread([&] {
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t i = 0; i < alone.size(); ++i) {
        const std::size_t k = pass == 0 ? i : alone.size() - 1 - i;
        EXPECT_TRUE(same(run(kJobs[k]), alone[k])) << "job " << k << " pass " << pass;
      }
    }
  }).join();
}

// A decoded signal is the caller's own: later decodes on the thread do not
// write into it.
TEST(KeptBuffers, DecodedSamplesOutliveLaterDecodes) {
  const Outcome first = run(kJobs[2]);
  auto kept = decompress_tools(first.container).value();
  for (const Job& job : kJobs) (void)run(job);
  ASSERT_EQ(kept.size(), first.decoded.size());
  EXPECT_EQ(std::memcmp(kept.data(), first.decoded.data(), 4 * kept.size()), 0);
}

}  // namespace
}  // namespace quillmere
