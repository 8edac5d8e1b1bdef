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
    if (x >= kStateLow) return x;
    if (at < 2) {
      short_of_words = true;
      return x << 16;
    }
    at -= 2;
    return (x << 16) | quillmere::load_le16(base + at);
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

// The tokens of `count` residuals, the lanes' segments side by side: a
// lane's context waits only on its own previous token. Everything the loop
// keeps is a local: the tokens are bytes, whose stores the compiler must
// otherwise assume may change any object reached through a reference.
template <unsigned kLaneCount>
void decode_tokens(WordsBack& from, std::uint8_t* tokens, const Segments& seg, const Cuts& cuts,
                   const RansScratch& s) {
  WordsBack words = from;
  const unsigned c0 = cuts.c0, c1 = cuts.c1, c2 = cuts.c2;
  const std::uint8_t* token_of = s.token_of[0].data();
  const std::uint32_t* entry = s.entry[0].data();
  std::uint32_t state[kLaneCount];
  int mean[kLaneCount] = {};
  for (unsigned j = 0; j < kLaneCount; ++j) state[j] = words.state();
  const std::size_t size = seg.size;
  const auto step = [&](unsigned j, std::size_t k) {
    int& m = mean[j];
    const auto level = static_cast<unsigned>(m) >> 3;
    const unsigned context = static_cast<unsigned>(level >= c0) + static_cast<unsigned>(level >= c1) +
                             static_cast<unsigned>(level >= c2);
    const std::uint32_t slot = state[j] & (kTableTotal - 1);
    const unsigned token = token_of[context * kTableTotal + slot];
    const std::uint32_t e = entry[context * kTokens + token];
    state[j] = words.renormalise((e & 0xffffu) * (state[j] >> kTableBits) + slot - (e >> 16));
    m += ((context_width(token) << 4) - m) >> 2;
    tokens[j * size + k] = static_cast<std::uint8_t>(token);
  };
  // Every lane holds the last one's length; the others one more at most.
  const std::size_t all = seg.shortest();
  for (std::size_t k = 0; k < all; ++k) {
    for (unsigned j = 0; j < kLaneCount; ++j) step(j, k);
  }
  for (std::size_t k = all; k < seg.size; ++k) {
    for (unsigned j = 0; j + 1 < kLaneCount; ++j) step(j, k);
  }
  for (unsigned j = 0; j < kLaneCount; ++j) words.short_of_words |= state[j] != kStateLow;
  from = words;
}

// Raw bits per token for the bit reader's run: the escape's are prefixed
// by its width.
constexpr std::array<std::uint8_t, kTokens> make_raw_bits() {
  std::array<std::uint8_t, kTokens> b{};
  for (unsigned t = 0; t < kTokens; ++t) b[t] = kShapes[t].extra_bits;
  b[kEscape] = BitReader::kPrefixedField;
  return b;
}
constexpr auto kRawBits = make_raw_bits();

constexpr std::array<std::uint32_t, kTokens> make_bases() {
  std::array<std::uint32_t, kTokens> b{};
  for (unsigned t = 0; t < kTokens; ++t) b[t] = kShapes[t].base;
  return b;
}
constexpr auto kBases = make_bases();

}  // namespace

RansFault read_rans(BitReader& in, std::span<const std::uint8_t> block, std::int64_t* r, std::size_t count,
                    int width, RansScratch& scratch) {
  const unsigned contexts = static_cast<unsigned>(in.get(2)) + 1;
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
  const Segments seg(count);
  if (lanes == 1) {
    decode_tokens<1>(words, tokens, seg, cuts, scratch);
  } else {
    decode_tokens<kLanes>(words, tokens, seg, cuts, scratch);
  }
  // Every state back at its start, else the words or tables are not the
  // encoder's.
  if (words.short_of_words) return RansFault::Mismatch;
  // An escape's width is e + 17 and its value e + 16 raw bits below the
  // leading one; a width beyond width + 1 is refused (and read no wider).
  bool wide = false;
  in.get_field_run(tokens, count, kRawBits.data(), kLargestDirectWidth, width,
                   [&](std::size_t i, std::uint8_t token, std::uint64_t low, std::uint64_t e) {
                     const bool escape = token == kEscape;
                     const int w = static_cast<int>(e) + kLargestDirectWidth + 1;
                     const std::uint64_t lead = escape ? std::uint64_t{1} << (w - 1) : kBases[token];
                     wide |= escape & (w > width + 1);
                     r[i] = integer_format::unzigzag(lead | low);
                   });
  if (wide) return RansFault::WideResidual;
  // The bits end exactly where the words begin.
  if (in.overrun() || in.bytes_read() != words.at) return RansFault::Mismatch;
  return RansFault::None;
}

}  // namespace quillmere_tools::integer_rans
