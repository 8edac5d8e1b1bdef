// The decoding half of the bit engine and the bound on what coded bytes
// can deliver, which decoders check before they allocate. See bin_engine.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "bin_engine/probability.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::bin_engine {

// The engine's one failure: coded bytes too short to start from (fewer than
// the four state bytes). Running out of words later is the decoder's
// truncated() flag; each coder reports both as its own Truncated.
enum class [[nodiscard]] EngineError : std::uint8_t { Truncated };


// The most binary symbols that `coded_bytes` bytes of engine output can
// deliver before the decoder runs out of words. A decode step maps
// x = 4096q + s to at most x - 15q, because every probability stays within
// [15, 4081]; with x >= 2^16 that gives x + 1 shrinking by at least the factor
// 4082/4096 per symbol, while each 16-bit word multiplies it by at most 2^16.
// From x + 1 <= 2^32 at the start and x + 1 > 2^16 at the end, n symbols read
// from W words satisfy (n - 1) * log2(4096/4082) < 16 (W + 1), and
// 16 / log2(4096/4082) = 3239.2 < 3248. (The first symbol may start below
// 2^16 but never increases x, hence n - 1.)
constexpr std::uint64_t max_symbols(std::size_t coded_bytes) noexcept {
  if (coded_bytes < 4) return 0;
  const std::uint64_t words_plus_one = std::uint64_t{(coded_bytes - 4) / 2} + 1;
  constexpr std::uint64_t kPerWord = 3248;
  if (words_plus_one > UINT64_MAX / kPerWord) return UINT64_MAX;
  return words_plus_one * kPerWord;
}

// Decoder. A renormalisation that finds fewer than two bytes marks the
// decoder truncated instead of failing the single call: callers test
// truncated() once per byte or coefficient and report Truncated; the bits
// returned after that point are meaningless but reading stays in bounds.
class BinDec {
 public:
  // Truncated when fewer than 4 bytes are given. The table is allocated here.
  static std::expected<BinDec, EngineError> create(std::size_t contexts,
                                                   std::span<const std::uint8_t> coded);

  // The bit under probability p, without adaptation. Checked = false is the
  // fast path: the caller must have seen can_fast(2 * symbols) for the
  // symbols it is about to decode.
  template <bool Checked = true>
  unsigned decode(std::uint32_t p) noexcept {
    const std::uint32_t s = x_ & (kProbScale - 1);
    const std::uint32_t q = x_ >> kProbBits;
    const unsigned bit = s >= p;
    // Inverse of the encoder's step, x = freq * q + s - start:
    //   bit 0: p q + s;   bit 1: (4096 - p) q + s - p = x - p q - p.
    // Both sides need only p q, which is under way before the bit is known.
    // The choice is a conditional move: GCC would often branch on the bit,
    // and the low bits of coded values are close to random, so the branch
    // would mispredict often; on well-predicted bits the move costs no
    // more than the branch, since both values are computed anyway.
    const std::uint32_t pq = p * q;
    x_ = select_by_bit(bit, x_ - pq - p, pq + s);
    if constexpr (Checked) {
      if (x_ < kStateLow) refill();
    } else if (x_ < kStateLow) {
      // From x >= L the step leaves x >= 15 * 16 > 0, so one word always
      // restores x >= L. A branch, not a select: a word is due about once
      // per 16 bits of information, which the predictor follows well, and
      // a predicted branch keeps the test off the chain from x to x.
      x_ = (x_ << 16) | load_le16(pos_);
      pos_ += 2;
    }
    return bit;
  }

  template <bool Checked = true>
  unsigned get(std::size_t context) noexcept {
    const std::uint32_t p = probs_[context];
    const unsigned bit = decode<Checked>(p);
    probs_[context] = adapt(p, bit);
    return bit;
  }

  // The table, for callers that load probabilities ahead of the bit that
  // selects them; they must store adapt(p, bit) back as get() does.
  std::uint16_t* table() noexcept { return probs_.data(); }

  // True when the next `bytes` / 2 symbols can take the unchecked path:
  // that many bytes remain and the state is normalised (only a hostile
  // initial state can be below L, and then only before the first refill).
  bool can_fast(std::size_t bytes) const noexcept {
    return x_ >= kStateLow && static_cast<std::size_t>(end_ - pos_) >= bytes;
  }

  bool truncated() const noexcept { return truncated_; }

  // True when the last symbol has been decoded from a stream that ends
  // here: the encoder starts at x = L and the decoder runs it backwards, so
  // after the final symbol the state is L again and every word is read.
  // Bytes appended to a stream, or a stream cut and padded, leave one or
  // the other wrong.
  bool exhausted() const noexcept { return x_ == kStateLow && pos_ == end_ && !truncated_; }

 private:
  BinDec(std::vector<std::uint16_t> probs, std::span<const std::uint8_t> coded);

  // A loop, not a single step: a hostile initial state below 2^12 can
  // decode to x = 0, and then it takes more than one word to reach L.
  // Inline, so that the decoder never escapes into a call and its state
  // can live in registers.
  void refill() noexcept {
    while (x_ < kStateLow) {
      if (end_ - pos_ < 2) {
        truncated_ = true;
        return;
      }
      x_ = (x_ << 16) | load_le16(pos_);
      pos_ += 2;
    }
  }

  std::vector<std::uint16_t> probs_;
  std::uint32_t x_;
  const std::uint8_t* pos_;
  const std::uint8_t* end_;
  bool truncated_ = false;
};

}  // namespace quillmere::bin_engine
