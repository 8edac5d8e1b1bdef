// The fast coder's adaptive model, for bands too short to pay for static
// tables: a cumulative frequency table over the band's tokens at the same
// 12-bit total, moved a 32nd of the way towards the token just coded after
// each one. Encoder and decoder update it in the same (decoding) order, so
// the lanes that pass through a band share it. Internal to the codec library.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

  // find() and update() in one step for the decoder: the token of `slot`,
  // its start and frequency before the update, then the update, over all
  // kTokens entries in four 16-byte registers. Same token, same table:
  // entry `tokens` is the total, the entries past it only ever move up
  // from it, and no slot reaches it. Without a branch per entry (a search
  // that stops at the token cost most adaptive symbols a mispredicted exit,
  // and the bounded update a loop the compiler leaves scalar). The entries
  // above the slot are exactly those past the token (the table rises
  // strictly up to the total), so the update takes the search's compares
  // as its mask instead of waiting for the token: that wait was on the
  // chain from one adaptive symbol to the next. Loads and stores cover the
  // same 16-byte pieces, so each search takes the table the last update
  // left straight from the store buffer.
  struct Found {
    unsigned token;
    std::uint32_t start;
    std::uint32_t freq;
  };
  [[gnu::always_inline]] Found find_and_update(std::uint32_t slot) noexcept {
#if defined(__SSE2__)
    const __m128i s = _mm_set1_epi16(static_cast<std::int16_t>(slot));
    __m128i above[4];
    for (unsigned k = 0; k < 4; ++k) above[k] = _mm_cmpgt_epi16(piece(k), s);
    const auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(above[0], above[1]))) |
                      static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(above[2], above[3]))) << 16;
    // Entry 0 is never above a slot; with 32 tokens entry 32, outside the
    // mask, is the first, and countr_zero gives 32.
    const unsigned t = static_cast<unsigned>(std::countr_zero(mask)) - 1;
    const Found found{t, start(t), freq(t)};
    static_assert(kFloor == 2, "the targets below double the index by a shift");
    const __m128i tail = _mm_set1_epi16(tail_);
    for (unsigned k = 0; k < 4; ++k) {
      const auto first = static_cast<std::int16_t>(8 * k);
      const __m128i index = _mm_add_epi16(_mm_set1_epi16(first), _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7));
      const __m128i target = _mm_add_epi16(_mm_slli_epi16(index, 1), _mm_and_si128(above[k], tail));
      const __m128i now = piece(k);
      const __m128i moved = _mm_add_epi16(now, _mm_srai_epi16(_mm_sub_epi16(target, now), kRate));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(cdf_.data() + 8 * k), moved);
    }
    return found;
#else
    const unsigned t = find(slot);
    const Found found{t, start(t), freq(t)};
    update(t);
    return found;
#endif
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
  // bands) knows each token beforehand and takes this one; the decoder
  // takes find_and_update().
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

#if defined(__SSE2__)
  __m128i piece(unsigned k) const noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(cdf_.data() + 8 * k));
  }
#endif
};

}  // namespace quillmere::fast
