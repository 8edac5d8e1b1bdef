// One executor shared by several threads at once must give every thread
// exactly what it gives a single caller: executors are immutable and every
// operation owns its buffers. Built with a race detector (or AddressSanitizer
// for the handle's reference count), this is where sharing would show.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"
#include "wavelet/wavelet.hpp"

namespace wavelet {
namespace {

using testing::random_signal;
using testing::same_bits;

struct Wavelet {
  std::string name;
  DwtHandle (*make)();
};

void PrintTo(const Wavelet& w, std::ostream* os) { *os << w.name; }

const Wavelet kWavelets[] = {
    {"cdf53", [] { return make_cdf53_f32(); }},
    {"cdf97", [] { return make_cdf97_f32(); }},
    {"db4", [] { return make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap); }},
    {"sym4", [] { return make_symlet_f32(2, BorderMode::Wrap); }},
};

constexpr unsigned kThreads = 4;
constexpr int kRounds = 3;
// Short levels, odd ones, and one long enough for the fused loops and for
// the sliding windows of the streamed inverse (from 16384 floats a level).
constexpr std::size_t kLengths[] = {100, 333, 4097, 70001};
constexpr std::size_t kLevels = 6;

// Everything one caller gets from the executor for one signal.
struct Outcome {
  MultiDwt decomposition;
  std::vector<float> reconstruction;
  std::vector<float> one_level_inverse;
  std::vector<float> approximation;  // execute_forward into caller buffers
  std::vector<float> details;
};

Outcome run_all(const DwtExecutor& e, const std::vector<float>& x) {
  Outcome out;
  auto m = e.multi_dwt(x, kLevels);
  if (!m) return out;
  out.decomposition = std::move(*m);
  std::vector<std::span<const float>> details;
  for (const Dwt& level : out.decomposition.levels) details.emplace_back(level.details);
  if (auto y = e.multi_idwt(details, out.decomposition.levels.back().approximation)) {
    out.reconstruction = std::move(*y);
  }
  const Dwt& first = out.decomposition.levels.front();
  if (auto y = e.idwt(first.approximation, first.details)) out.one_level_inverse = std::move(*y);
  const DwtSize size = e.dwt_size(x.size());
  out.approximation.resize(size.approximation);
  out.details.resize(size.details);
  if (!e.execute_forward(x, out.approximation, out.details)) out.approximation.clear();
  return out;
}

bool same_outcome(const Outcome& got, const Outcome& want) {
  if (got.decomposition.levels.size() != want.decomposition.levels.size()) return false;
  for (std::size_t k = 0; k < want.decomposition.levels.size(); ++k) {
    const Dwt& g = got.decomposition.levels[k];
    const Dwt& w = want.decomposition.levels[k];
    if (!same_bits(g.approximation, w.approximation) || !same_bits(g.details, w.details)) {
      return false;
    }
  }
  return same_bits(got.reconstruction, want.reconstruction) &&
         same_bits(got.one_level_inverse, want.one_level_inverse) &&
         same_bits(got.approximation, want.approximation) &&
         same_bits(got.details, want.details);
}

class SharedExecutor : public ::testing::TestWithParam<Wavelet> {};

TEST_P(SharedExecutor, EveryThreadGetsTheSingleThreadedResult) {
  DwtHandle shared = GetParam().make();
  ASSERT_NE(shared, nullptr);
  std::vector<std::vector<float>> signals;
  std::vector<Outcome> want;
  for (std::size_t n : kLengths) {
    signals.push_back(random_signal(n, static_cast<std::uint32_t>(n)));
    want.push_back(run_all(*shared, signals.back()));
    ASSERT_EQ(want.back().decomposition.levels.size(), kLevels) << n;
    ASSERT_FALSE(want.back().reconstruction.empty()) << n;
  }

  std::atomic<int> mismatches{0};
  std::latch start(kThreads + 1);
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) {
    // Each thread holds its own reference; the test drops its own below,
    // so the last release happens on one of the threads.
    threads.emplace_back([&, handle = shared, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        // Threads start at different signals so that different code paths
        // overlap in time.
        for (std::size_t i = 0; i < signals.size(); ++i) {
          const std::size_t s = (i + t) % signals.size();
          if (!same_outcome(run_all(*handle, signals[s]), want[s])) ++mismatches;
        }
      }
    });
  }
  shared.reset();
  start.arrive_and_wait();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(AllWavelets, SharedExecutor, ::testing::ValuesIn(kWavelets),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace wavelet
