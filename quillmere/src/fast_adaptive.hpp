// The fast coder's adaptive model, for bands too short to pay for static
// tables: a cumulative frequency table over the band's tokens at the same
// 12-bit total, moved a 32nd of the way towards the token just coded after
// each one. Encoder and decoder update it in the same (decoding) order, so
// the lanes that pass through a band share it. Internal to the codec library.
#pragma once

#include <array>
#include <cstdint>

#include "fast_model.hpp"

namespace quillmere::fast {

// Only bands up to this length try the adaptive model: each symbol costs a
// pass over the table, which long bands should not pay.
inline constexpr std::size_t kMaxAdaptiveBand = 2048;

class AdaptiveModel {
 public:
  explicit AdaptiveModel(unsigned tokens)
      : tokens_(tokens), tail_(static_cast<std::int16_t>(kTableTotal - tokens * kFloor)) {
    for (unsigned i = 0; i <= tokens; ++i) cdf_[i] = static_cast<std::int16_t>(i * kTableTotal / tokens);
    // Entries past the last token are never read; they sit at (and move
    // towards values just above) the total so that update() can run over
    // every token without a bound that depends on the band.
    for (unsigned i = tokens + 1; i < cdf_.size(); ++i) cdf_[i] = static_cast<std::int16_t>(kTableTotal);
  }

  std::uint32_t start(unsigned t) const noexcept { return static_cast<std::uint32_t>(cdf_[t]); }
  std::uint32_t freq(unsigned t) const noexcept { return static_cast<std::uint32_t>(cdf_[t + 1] - cdf_[t]); }

  // The token whose interval holds `slot` (< 4096).
  unsigned find(std::uint32_t slot) const noexcept {
    unsigned t = 0;
    while (t + 1 < tokens_ && static_cast<std::uint32_t>(cdf_[t + 1]) <= slot) ++t;
    return t;
  }

  // Every interval keeps at least one slot: the targets keep kFloor apart and
  // a step loses at most one slot to rounding, so the spacing never drops
  // below kFloor - 1 (it starts far above).
  void update(unsigned t) noexcept {
    for (unsigned i = 1; i < tokens_; ++i) {
      const std::int32_t target = i <= t ? static_cast<std::int32_t>(i * kFloor)
                                         : static_cast<std::int32_t>(kTableTotal - (tokens_ - i) * kFloor);
      cdf_[i] = static_cast<std::int16_t>(cdf_[i] + ((target - cdf_[i]) >> kRate));  // arithmetic shift: floor
    }
  }

  // The target of entry i is i * kFloor up to the token coded and
  // total - (tokens - i) * kFloor after it. Entry 0 and entry `tokens` are
  // already at their targets (0 and the total), so a fixed-length loop over
  // all kTokens entries changes exactly what a loop over 1 .. tokens - 1
  // would; in 16-bit lanes and without a data-dependent bound it runs as a
  // few vector instructions. The encoder (its size trial and its adaptive
  // bands) knows each token beforehand and takes this one. The decoder keeps
  // update(): its next search waits on the table just written, and there
  // touching only the band's own entries is what counts.
  void update_all(unsigned t) noexcept {
    const auto coded = static_cast<std::int16_t>(t);
    for (unsigned i = 0; i < kTokens; ++i) {
      const auto index = static_cast<std::int16_t>(i);
      const auto target =
          static_cast<std::int16_t>(index * static_cast<std::int16_t>(kFloor) + (index > coded ? tail_ : 0));
      const auto step = static_cast<std::int16_t>(target - cdf_[i]);  // within +-(total + 64)
      cdf_[i] = static_cast<std::int16_t>(cdf_[i] + (step >> kRate));  // arithmetic shift: floor
    }
  }

 private:
  static constexpr std::uint32_t kFloor = 2;
  static constexpr unsigned kRate = 5;
  unsigned tokens_;
  std::int16_t tail_;  // total - tokens * kFloor: the targets' offset after the coded token
  // Values stay within 0 .. total + kTokens * kFloor, well inside 16 bits.
  std::array<std::int16_t, kTokens + 1> cdf_{};
};

}  // namespace quillmere::fast
