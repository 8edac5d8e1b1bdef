// Fast coder's adaptive model: its updates (over the band's own entries,
// the encoder's over every token slot in 16-bit lanes, the decoder's in
// 16-byte registers) must move the cumulative table exactly as the
// one-entry-at-a-time rule does, and its searches must find the token
// whose interval holds a slot (streams carry no tables for adaptive bands,
// so any drift would decode a different signal). Checked against that
// rule, written out plainly, on token sequences that push the table to its
// extremes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "fast_adaptive.hpp"

namespace quillmere::fast {
namespace {

// The rule the model implements, in 32-bit arithmetic over entries
// 1 .. tokens - 1 only.
class PlainModel {
 public:
  explicit PlainModel(unsigned tokens) : tokens_(tokens) {
    for (unsigned i = 0; i <= tokens; ++i) cdf_[i] = static_cast<std::int32_t>(i * kTableTotal / tokens);
  }
  std::int32_t at(unsigned i) const { return cdf_[i]; }
  void update(unsigned t) {
    for (unsigned i = 1; i < tokens_; ++i) {
      const std::int32_t target = i <= t ? static_cast<std::int32_t>(i * 2)
                                         : static_cast<std::int32_t>(kTableTotal - (tokens_ - i) * 2);
      cdf_[i] += (target - cdf_[i]) >> 5;
    }
  }

 private:
  unsigned tokens_;
  std::array<std::int32_t, kTokens + 1> cdf_{};
};

enum class Pattern { Random, Lowest, Highest, Alternating, Runs };

std::vector<unsigned> sequence(Pattern pattern, unsigned tokens, std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned> s(n);
  for (std::size_t k = 0; k < n; ++k) {
    switch (pattern) {
      case Pattern::Random: s[k] = rng() % tokens; break;
      case Pattern::Lowest: s[k] = 0; break;
      case Pattern::Highest: s[k] = tokens - 1; break;
      case Pattern::Alternating: s[k] = k % 2 == 0 ? 0 : tokens - 1; break;
      case Pattern::Runs: s[k] = static_cast<unsigned>((k / 300) * 7 % tokens); break;
    }
  }
  return s;
}

enum class Update { BandEntries, AllSlots, WideWithSearch };

class FastAdaptiveModel : public testing::TestWithParam<std::tuple<unsigned, Pattern, Update>> {};

TEST_P(FastAdaptiveModel, MovesLikeThePlainRuleAndKeepsEveryTokenCodable) {
  const auto [tokens, pattern, update] = GetParam();
  AdaptiveModel model(tokens);
  PlainModel plain(tokens);
  const auto seq = sequence(pattern, tokens, 3000, tokens * 131u + static_cast<unsigned>(pattern));
  for (std::size_t k = 0; k < seq.size(); ++k) {
    for (unsigned t = 0; t < tokens; ++t) {
      ASSERT_EQ(model.start(t), static_cast<std::uint32_t>(plain.at(t))) << "step " << k << " token " << t;
      ASSERT_EQ(model.freq(t), static_cast<std::uint32_t>(plain.at(t + 1) - plain.at(t)))
          << "step " << k << " token " << t;
      ASSERT_GE(model.freq(t), 1u) << "step " << k << " token " << t;
    }
    ASSERT_EQ(model.start(tokens - 1) + model.freq(tokens - 1), kTableTotal) << "step " << k;
    // The decoder's search must land on the token whose interval holds the
    // slot, at both ends of that interval.
    const unsigned t = seq[k];
    ASSERT_EQ(model.find(model.start(t)), t) << "step " << k;
    ASSERT_EQ(model.find(model.start(t) + model.freq(t) - 1), t) << "step " << k;
    // The decoder's one-step search lands on the same token at the first
    // and last slot of every interval (on copies, which it updates).
    for (unsigned u = 0; u < tokens; ++u) {
      for (const std::uint32_t slot : {model.start(u), model.start(u) + model.freq(u) - 1}) {
        AdaptiveModel copy = model;
        ASSERT_EQ(copy.find_and_update(slot).token, u) << "step " << k << " token " << u << " slot " << slot;
      }
    }
    if (update == Update::AllSlots) {
      model.update_all(t);
    } else if (update == Update::WideWithSearch) {
      // A slot inside t's interval, away from its ends.
      const std::uint32_t start = model.start(t), freq = model.freq(t);
      const auto found = model.find_and_update(start + (k * 7919u) % freq);
      ASSERT_EQ(found.token, t) << "step " << k;
      ASSERT_EQ(found.start, start) << "step " << k;
      ASSERT_EQ(found.freq, freq) << "step " << k;
    } else {
      model.update(t);
    }
    plain.update(t);
  }
}

INSTANTIATE_TEST_SUITE_P(TokenCountsAndPatterns, FastAdaptiveModel,
                         testing::Combine(testing::Values(2u, 3u, 5u, 17u, 31u, 32u),
                                          testing::Values(Pattern::Random, Pattern::Lowest, Pattern::Highest,
                                                          Pattern::Alternating, Pattern::Runs),
                                          testing::Values(Update::BandEntries, Update::AllSlots, Update::WideWithSearch)));

}  // namespace
}  // namespace quillmere::fast
