// Reading a block's rANS residuals: the model checked against what it may
// hold, then one pass that takes each residual's token from its context's
// slot table and its raw bits from the block's bits. Whatever the bytes, the
// pass ends after `count` residuals: words past the block's start read as
// zeros, and the final check (bits and words meet, every state back at its
// start) refuses any block that needed them.
#include <algorithm>

#include "integer_rans.hpp"
#include "integer_stream_format.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere_tools::integer_rans {
namespace {

bool read_table(BitReader& in, RansScratch& s, unsigned context) {
  const auto used = static_cast<unsigned>(in.get(6));
  if (used < 1 || used > kTokens) return false;
  auto& entry = s.entry[context];
  entry.fill(0);
  std::uint32_t start = 0;
  for (unsigned t = 0; t + 1 < used; ++t) {
    const int c = static_cast<int>(in.get(4));
    if (c > static_cast<int>(kTableBits) + 1) return false;
    const std::uint32_t f = c == 0 ? 0 : (1u << (c - 1)) | static_cast<std::uint32_t>(in.get(c - 1));
    // The last token needs one slot at least.
    if (f >= kTableTotal - start) return false;
    entry[t] = f | (start << 16);
    start += f;
  }
  entry[used - 1] = (kTableTotal - start) | (start << 16);
  auto& token_of = s.token_of[context];
  for (unsigned t = 0; t < used; ++t) {
    const std::uint32_t from = entry[t] >> 16;
    std::fill_n(token_of.begin() + from, entry[t] & 0xffffu, static_cast<std::uint8_t>(t));
  }
  return !in.overrun();
}

// The words walked back from the block's end. A word is taken without a
// branch (the renormalisation is a coin toss per token); walking past the
// block's start reads its first bytes again and marks the walk, which
// fails the block.
struct WordsBack {
  const std::uint8_t* base;  // at least two bytes
  std::size_t at;
  bool short_of_words = false;
  std::uint32_t renormalise(std::uint32_t x) noexcept {
    const bool need = x < kStateLow;
    const bool have = at >= 2;
    const std::uint32_t word = quillmere::load_le16(base + (have ? at - 2 : 0));
    short_of_words |= need & !have;
    at -= (need & have) ? 2 : 0;
    return need ? (x << 16) | word : x;
  }
  std::uint32_t state() noexcept {
    // Walking back, a state's high half comes first.
    const std::uint32_t high = renormalise(0);
    return (high << 16) | (renormalise(0) & 0xffffu);
  }
};

// The contexts' thresholds as the three comparisons a level takes (unused
// ones beyond every level).
struct Cuts {
  unsigned c0, c1, c2;
  unsigned context(int mean) const noexcept {
    const auto level = static_cast<unsigned>(mean) >> 3;
    return static_cast<unsigned>(level >= c0) + static_cast<unsigned>(level >= c1) +
           static_cast<unsigned>(level >= c2);
  }
};

// The tokens of `count` residuals, the lanes side by side; with contexts per
// lane a lane's context waits only on its own previous token.
template <unsigned kLaneCount, bool kInOrder>
void decode_tokens(WordsBack& words, std::uint8_t* tokens, std::size_t count, const Cuts& cuts,
                   const RansScratch& s) {
  constexpr unsigned kMeans = kInOrder ? 1 : kLaneCount;
  std::uint32_t state[kLaneCount];
  int mean[kMeans] = {};
  for (unsigned j = 0; j < kLaneCount; ++j) state[j] = words.state();
  const auto step = [&](unsigned j, std::size_t i) {
    int& m = mean[kInOrder ? 0 : j];
    const unsigned context = cuts.context(m);
    const std::uint32_t slot = state[j] & (kTableTotal - 1);
    const unsigned token = s.token_of[context][slot];
    const std::uint32_t e = s.entry[context][token];
    state[j] = words.renormalise((e & 0xffffu) * (state[j] >> kTableBits) + slot - (e >> 16));
    m += ((context_width(token) << 4) - m) >> 2;
    tokens[i] = static_cast<std::uint8_t>(token);
  };
  std::size_t i = 0;
  for (; i + kLaneCount <= count; i += kLaneCount) {
    for (unsigned j = 0; j < kLaneCount; ++j) step(j, i + j);
  }
  for (unsigned j = 0; i < count; ++i, ++j) step(j, i);
  for (unsigned j = 0; j < kLaneCount; ++j) words.short_of_words |= state[j] != kStateLow;
}

// Raw bits per token for the bit reader's run: the escape reads its own.
constexpr std::array<std::uint8_t, kTokens> make_raw_bits() {
  std::array<std::uint8_t, kTokens> b{};
  for (unsigned t = 0; t < kTokens; ++t) b[t] = kShapes[t].extra_bits;
  b[kEscape] = BitReader::kSpecialField;
  return b;
}
constexpr auto kRawBits = make_raw_bits();

}  // namespace

RansFault read_rans(BitReader& in, std::span<const std::uint8_t> block, std::int64_t* r, std::size_t count,
                    int width, RansScratch& scratch) {
  const unsigned contexts = static_cast<unsigned>(in.get(2)) + 1;
  const bool in_order = in.get(1) != 0;
  unsigned cut[kMaxContexts - 1] = {kLevelCount, kLevelCount, kLevelCount};
  for (unsigned j = 0; j + 1 < contexts; ++j) {
    cut[j] = static_cast<unsigned>(in.get(kThresholdBits));
    if (cut[j] == 0 || (j > 0 && cut[j] <= cut[j - 1])) return RansFault::BadThresholds;
  }
  for (unsigned j = 0; j < contexts; ++j) {
    if (!read_table(in, scratch, j)) return RansFault::BadTable;
  }
  if (scratch.tokens.size() < count) scratch.tokens.resize(count);
  std::uint8_t* tokens = scratch.tokens.data();
  // Less than the states' bytes cannot be the encoder's.
  const unsigned lanes = lanes_for(count);
  if (block.size() < 4 * lanes) return RansFault::Mismatch;
  WordsBack words{block.data(), block.size()};
  const Cuts cuts{cut[0], cut[1], cut[2]};
  if (lanes == 1) {
    decode_tokens<1, true>(words, tokens, count, cuts, scratch);
  } else if (in_order) {
    decode_tokens<kLanes, true>(words, tokens, count, cuts, scratch);
  } else {
    decode_tokens<kLanes, false>(words, tokens, count, cuts, scratch);
  }
  // Every state back at its start, else the words or tables are not the
  // encoder's.
  if (words.short_of_words) return RansFault::Mismatch;
  bool wide = false;
  in.get_field_run(
      tokens, count, kRawBits.data(),
      [&](std::size_t i, std::uint8_t token, std::uint64_t low) {
        r[i] = integer_format::unzigzag(kShapes[token].base | low);
      },
      [&](std::size_t i, std::uint8_t, BitReader& bits) {
        const int w = static_cast<int>(bits.get(kEscapeWidthBits)) + kLargestDirectWidth + 1;
        wide |= w > width + 1;
        const std::uint64_t low = bits.get_wide(std::min(w, width + 1) - 1);
        r[i] = integer_format::unzigzag((std::uint64_t{1} << (w - 1)) | low);
      });
  if (wide) return RansFault::WideResidual;
  // The bits end exactly where the words begin.
  if (in.overrun() || in.bytes_read() != words.at) return RansFault::Mismatch;
  return RansFault::None;
}

}  // namespace quillmere_tools::integer_rans
