// The encoding half of the bit engine: the rANS state step, the backward
// coding pass and the plain forward-modelling encoder. See bin_engine.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bin_engine/probability.hpp"
#include "bin_engine/symbol_queue.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::bin_engine {

// ceil(2^64 / f) for every frequency f in [2, 4095]; indices 0 and 1 are
// unused (f = 1 would need 2^64, and probabilities never leave [15, 4081]).
inline constexpr std::array<std::uint64_t, kProbScale> kReciprocal = [] {
  std::array<std::uint64_t, kProbScale> r{};
  for (std::uint64_t f = 2; f < kProbScale; ++f) r[f] = ~std::uint64_t{0} / f + 1;
  return r;
}();

// floor(x / freq) without a division, for any 32-bit x and freq in
// [2, 4095]: the high half of the 128-bit product x * m. With
// m = ceil(2^64 / f) = (2^64 + e) / f, 0 <= e < f:
// x*m / 2^64 = x/f + x*e / (f * 2^64), and the error term is below
// 2^32 / 2^64, far too small to carry x/f (whose fraction is at most
// (f-1)/f) past the next integer. Taking the high half needs no shift, so
// the encoder's chain from state to state is one operation shorter.
// (~0 / f + 1 is ceil(2^64 / f) because no f in range divides 2^64
// except powers of two, where it gives 2^64 / f exactly, also the ceiling.)
constexpr std::uint32_t div_by_freq(std::uint32_t x, std::uint32_t freq) noexcept {
  return static_cast<std::uint32_t>(
      (static_cast<unsigned __int128>(x) * kReciprocal[freq]) >> 64);
}

// The encoder's state and the front of its output, which grows backwards.
// Callers that interleave coding with other work hold one in a local
// variable, so that it lives in registers.
struct RansState {
  std::uint32_t x = kStateLow;
  std::uint8_t* head;

  // Codes one queued symbol; the output must have room for a word.
  void code(std::uint32_t e) noexcept {
    const std::uint32_t p = e & (kProbScale - 1);
    const std::uint32_t mask = 0u - (e >> kProbBits);  // all ones for bit 1
    const std::uint32_t freq = p + ((kProbScale - 2 * p) & mask);
    const std::uint32_t start = p & mask;
    // Renormalise so that the coded state stays below 2^32: x' < 4096 (x / freq + 1)
    // needs x < freq * 2^20. With x < 2^32 one 16-bit shift always suffices,
    // so there is at most one word per symbol.
    // A branch rather than a select: a word is due about once per 16 bits of
    // information, a rhythm the predictor follows, and a predicted branch
    // keeps the comparison off the chain from x to x, which a select would
    // lengthen by its compare and move on every symbol, taken or not.
    if (x >= (freq << 20)) {
      head -= 2;
      store_le16(head, static_cast<std::uint16_t>(x));
      x >>= 16;
    }
    // x' = C(s, x) = floor(x / freq) * 4096 + x mod freq + start
    //             = x + start + floor(x / freq) * (4096 - freq).
    const std::uint32_t q = div_by_freq(x, freq);
    x += start + q * (kProbScale - freq);
  }
};

// The coding half of the encoder on its own, for callers that model in
// pieces: runs of queued symbols are coded from the last run to the first,
// each run from its end to its start, the state running on between runs.
// Coding the runs r1, r2, ..., rk given in the order rk, ..., r1 yields
// exactly what one BinEnc holding r1 r2 ... rk would finish_into().
class BackwardCoder {
 public:
  // Room for `max_symbols` symbols in all; passing more is a bug. The
  // output buffer is reserved for the worst case (one word a symbol) but
  // filled from its end, so its untouched pages cost address space only.
  explicit BackwardCoder(std::size_t max_symbols);

  void code_backwards(std::span<const std::uint16_t> run) noexcept;

  // For callers that code symbol by symbol: take the state, code through
  // it, and give it back before the next call.
  RansState take() const noexcept { return {x_, head_}; }
  void give_back(const RansState& c) noexcept {
    x_ = c.x;
    head_ = c.head;
  }

  // Appends the final state and every word, in decoding order.
  void finish_into(std::vector<std::uint8_t>& out);

 private:
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint8_t* end_;
  std::uint8_t* head_;
  std::uint32_t x_ = kStateLow;
};

// The encoder in its plainest form: model every bit forward, then
// finish_into() once. It queues two bytes per bit of the whole input; the
// coders themselves model in runs through BackwardCoder instead, and the
// tests hold their output to this one's.
class BinEnc {
 public:
  explicit BinEnc(std::size_t contexts) : probs_(contexts ? contexts : 1, kProbInit) {}

  void reserve(std::size_t symbols) { pending_.reserve(symbols); }

  void put(std::size_t context, unsigned bit) {
    const std::uint32_t p = probs_[context];
    pending_.push_back(symbol(p, bit));
    probs_[context] = adapt(p, bit);
  }

  // The bulk form of put() for hot loops: claim(n) appends n slots and
  // returns the first; the caller fills them with symbol() and adapt() on
  // table() through local pointers, which stay in registers where a
  // member cursor would be stored back after every bit, then passes the
  // end of what it wrote to commit(). Writing past the claim is a bug.
  std::uint16_t* claim(std::size_t n) {
    pending_.resize(pending_.size() + n);
    return pending_.data() + pending_.size() - n;
  }
  void commit(const std::uint16_t* end) noexcept {
    pending_.resize(static_cast<std::size_t>(end - pending_.data()));
  }
  std::uint16_t* table() noexcept { return probs_.data(); }

  std::size_t pending_size() const noexcept { return pending_.size(); }

  // Codes every pending symbol and appends the engine output to `out`.
  void finish_into(std::vector<std::uint8_t>& out) const;
  // The same into a fresh vector: the coded bytes of everything put().
  std::vector<std::uint8_t> finish() const {
    std::vector<std::uint8_t> out;
    finish_into(out);
    return out;
  }

 private:
  std::vector<std::uint16_t> probs_;
  SymbolQueue pending_;  // symbol() of every modelled bit, in order
};

}  // namespace quillmere::bin_engine
