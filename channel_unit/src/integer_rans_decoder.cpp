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

// The words walked back from the block's end towards `floor`; past it they
// read as zeros and the walk is marked.
struct WordsBack {
  const std::uint8_t* base;
  std::size_t at;
  bool short_of_words = false;
  std::uint32_t next16() noexcept {
    if (at < 2) {
      short_of_words = true;
      return 0;
    }
    at -= 2;
    return quillmere::load_le16(base + at);
  }
};

template <unsigned kLaneCount>
RansFault decode_tokens(BitReader& in, WordsBack& words, std::int64_t* r, std::size_t count, int width,
                        const RansScratch& s) {
  std::uint32_t state[kLaneCount];
  for (unsigned j = 0; j < kLaneCount; ++j) {
    // Walking back, a state's high half comes first.
    const std::uint32_t high = words.next16();
    state[j] = (high << 16) | words.next16();
  }
  WidthMean mean;
  bool wide = false;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t& x = state[i % kLaneCount];
    const unsigned context = s.context_of[mean.level()];
    const std::uint32_t slot = x & (kTableTotal - 1);
    const unsigned token = s.token_of[context][slot];
    const std::uint32_t e = s.entry[context][token];
    x = (e & 0xffffu) * (x >> kTableBits) + slot - (e >> 16);
    if (x < kStateLow) x = (x << 16) | words.next16();
    const TokenShape shape = kShapes[token];
    std::uint64_t u;
    int w;
    if (token != kEscape) {
      u = shape.base | in.get(shape.extra_bits);
      w = shape.width;
    } else {
      w = static_cast<int>(in.get(kEscapeWidthBits)) + kLargestDirectWidth + 1;
      wide |= w > width + 1;
      u = (std::uint64_t{1} << (w - 1)) | in.get_wide(std::min(w, width + 1) - 1);
    }
    mean.push(w);
    r[i] = integer_format::unzigzag(u);
  }
  if (wide) return RansFault::WideResidual;
  for (unsigned j = 0; j < kLaneCount; ++j) {
    if (state[j] != kStateLow) return RansFault::Mismatch;
  }
  return RansFault::None;
}

}  // namespace

RansFault read_rans(BitReader& in, std::span<const std::uint8_t> block, std::int64_t* r, std::size_t count,
                    int width, RansScratch& scratch) {
  const unsigned contexts = static_cast<unsigned>(in.get(2)) + 1;
  std::array<unsigned, kMaxContexts - 1> cuts{};
  for (unsigned j = 0; j + 1 < contexts; ++j) {
    cuts[j] = static_cast<unsigned>(in.get(kThresholdBits));
    if (cuts[j] == 0 || (j > 0 && cuts[j] <= cuts[j - 1])) return RansFault::BadThresholds;
  }
  for (unsigned q = 0, j = 0; q < kLevelCount; ++q) {
    while (j + 1 < contexts && q >= cuts[j]) ++j;
    scratch.context_of[q] = static_cast<std::uint8_t>(j);
  }
  for (unsigned j = 0; j < contexts; ++j) {
    if (!read_table(in, scratch, j)) return RansFault::BadTable;
  }
  WordsBack words{block.data(), block.size()};
  const RansFault fault = lanes_for(count) == kLanes ? decode_tokens<kLanes>(in, words, r, count, width, scratch)
                                                      : decode_tokens<1>(in, words, r, count, width, scratch);
  if (fault != RansFault::None) return fault;
  // The bits end exactly where the words begin.
  if (words.short_of_words || in.overrun() || in.bytes_read() != words.at) return RansFault::Mismatch;
  return RansFault::None;
}

}  // namespace quillmere_tools::integer_rans
