// The fast decoder's context step as one lookup. Decoding a token is a
// chain per lane: the token's bit width moves the running mean, the mean
// and the width give a level, the level and the rise give the context, the
// context picks the table that decodes the next token. Done one step after
// the other that chain bounded the decoder; but the next context is a
// function of the token just decoded and the mean before it alone, so a
// table keyed on both gives it in one load, and the mean is updated beside
// it, off the chain. Internal to the codec library.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "fast_model.hpp"

namespace quillmere::fast {

// Means run from 0 to the largest width, 16, in 1/256: every update moves
// the mean towards a width at most that far, and never past it.
inline constexpr unsigned kMaxWidth = 16;
inline constexpr std::size_t kMeanSteps = (kMaxWidth << 8) + 1;

constexpr std::array<std::uint8_t, kTokens> make_token_widths() {
  std::array<std::uint8_t, kTokens> w{};
  for (unsigned t = 0; t < kTokens; ++t) w[t] = kShapes[t].width;
  return w;
}
inline constexpr auto kTokenWidth = make_token_widths();
static_assert(*std::max_element(kTokenWidth.begin(), kTokenWidth.end()) == kMaxWidth);

// Row per token (not per width: the width would be one more load on the
// chain), a byte per mean: 131 kB, built once per process in static storage,
// of which a signal touches the few lines its means visit.
struct NextContextTable {
  std::array<std::uint8_t, kTokens * kMeanSteps> context;
  NextContextTable() noexcept {
    for (unsigned t = 0; t < kTokens; ++t) {
      for (unsigned m = 0; m < kMeanSteps; ++m) {
        ContextState s{0, static_cast<int>(m)};
        s.push(kTokenWidth[t]);
        context[t * kMeanSteps + m] = static_cast<std::uint8_t>(s.context());
      }
    }
  }
};

inline const std::uint8_t* next_context_table() noexcept {
  static const NextContextTable table;
  return table.context.data();
}

// A lane's context as the decoder keeps it: the mean and the context of
// the coefficient to come (0 at a band's start, as ContextState's).
struct LaneContext {
  std::uint32_t mean = 0;  // running mean of the widths, in 1/256
  std::uint32_t context = 0;

  void push(unsigned token, const std::uint8_t* table) noexcept {
    context = table[token * kMeanSteps + mean];
    const int m = static_cast<int>(mean);
    mean = static_cast<std::uint32_t>(m + (((static_cast<int>(kTokenWidth[token]) << 8) - m) >> 4));
  }
};

}  // namespace quillmere::fast
