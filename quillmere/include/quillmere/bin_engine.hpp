// The adaptive binary rANS bit engine shared by the byte-plane coder (arans)
// and the coefficient model (cmodel).
//
// Read me first:
//  * A probability p is P(bit = 0) in units of 1/4096. Bit 0 owns the slot
//    range [0, p) of the 4096 slots, bit 1 owns [p, 4096).
//  * rANS is last-in first-out. BinEnc therefore only *models* in put(): it
//    records (p, bit) in forward order and adapts; finish() codes the record
//    backwards, so that BinDec meets the bits, and adapts, in forward order.
//  * The state x lives in [L, 2^32) between symbols, L = 2^16, and moves 16
//    bits at a time. Words leave the encoder in the reverse of the order in
//    which the decoder reads them; finish() writes its buffer from the back.
//  * Coded bytes: final state (u32 LE), then the words (u16 LE) in reading order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "quillmere/byte_io.hpp"

namespace quillmere::arans {

enum class [[nodiscard]] AransError : std::uint8_t { Truncated, BadLength };

constexpr std::string_view message(AransError error) noexcept {
  switch (error) {
    case AransError::Truncated: return "Stream truncated";
    case AransError::BadLength: return "Inconsistent or oversized length in stream";
  }
  return "Unknown arans error";
}

inline constexpr std::uint32_t kProbBits = 12;
inline constexpr std::uint32_t kProbScale = 1u << kProbBits;  // 4096
inline constexpr std::uint16_t kProbInit = kProbScale / 2;
inline constexpr std::uint32_t kStateLow = 1u << 16;  // L

// One adaptation step, rate 1/16. Starting from 2048 the result never leaves
// [15, 4081]: at 4081 the upward step (4096 - p) >> 4 is 0, at 15 the
// downward step p >> 4 is 0, and both maps are monotone in p. The clamp to
// [1, 4095] that a general adaptive coder needs can therefore never fire and
// is left out; the bit-engine tests check the closure exhaustively.
//
// Branch-free form, as bits are often unpredictable: bit 1 is p - floor(p / 16);
// bit 0 is p + floor((4096 - p) / 16) = p - ceil((p - 4096) / 16)
// = p - floor((p - 4081) / 16), with an arithmetic shift for the floor.
constexpr std::uint16_t adapt(std::uint32_t p, unsigned bit) noexcept {
  const std::int32_t offset = static_cast<std::int32_t>(bit - 1) & -std::int32_t{kProbScale - 15};
  return static_cast<std::uint16_t>(static_cast<std::int32_t>(p) - ((static_cast<std::int32_t>(p) + offset) >> 4));
}

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

// `if_one` when bit is 1, else `if_zero`, by a conditional move. The bit
// decoders choose the next state and the next node's probability with it:
// coded magnitudes end in bits close to random, where a branch mispredicts
// about half the time and costs more than the whole bit (measured on a
// speech-like signal: cmodel decoding 3.3 ns a bit with GCC's branch for
// the probability, 2.4 with the move). GCC does not reliably emit the move
// for the plain conditional, hence the assembly.
inline std::uint32_t select_by_bit(unsigned bit, std::uint32_t if_one,
                                   std::uint32_t if_zero) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  asm("test %[bit], %[bit]\n\tcmovnz %[one], %[out]"
      : [out] "+r"(if_zero)
      : [bit] "r"(bit), [one] "r"(if_one)
      : "cc");
  return if_zero;
#else
  return bit ? if_one : if_zero;
#endif
}

// The queued form of a bit modelled under probability p: p | bit << 12,
// which is the coded symbol (freq, start) in two bytes: bit 0 is (p, 0),
// bit 1 is (4096 - p, p).
constexpr std::uint16_t symbol(std::uint32_t p, unsigned bit) noexcept {
  return static_cast<std::uint16_t>(p | (bit << kProbBits));
}

// The queue of modelled symbols: a plain growable array whose large
// blocks come from allocate_symbols() (see bin_engine.cpp for why).
class SymbolQueue {
 public:
  std::uint16_t* data() noexcept { return data_.get(); }
  const std::uint16_t* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  void reserve(std::size_t n);  // std::bad_alloc when it cannot
  void resize(std::size_t n) {  // new slots are left unwritten
    if (n > capacity_) reserve(n);
    size_ = n;
  }
  void push_back(std::uint16_t v) {
    if (size_ == capacity_) [[unlikely]] reserve(capacity_ < 512 ? 1024 : 2 * capacity_);
    data_[size_++] = v;
  }

 private:
  struct Free {
    void operator()(std::uint16_t* p) const noexcept;
  };
  std::unique_ptr<std::uint16_t[], Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// adapt() by the queued symbol: kAdapted[symbol(p, bit)] == adapt(p, bit).
// The encoders' modelling loops are bound by instruction throughput, not by
// latency, and one load replaces five operations there.
inline constexpr std::array<std::uint16_t, 2 * kProbScale> kAdapted = [] {
  std::array<std::uint16_t, 2 * kProbScale> t{};
  for (std::uint32_t p = 0; p < kProbScale; ++p) {
    t[symbol(p, 0)] = adapt(p, 0);
    t[symbol(p, 1)] = adapt(p, 1);
  }
  return t;
}();

// Encoder: model every bit forward, then finish() once.
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
  std::vector<std::uint8_t> finish() const;

 private:
  std::vector<std::uint16_t> probs_;
  SymbolQueue pending_;  // symbol() of every modelled bit, in order
};

// The encoder's state and the front of its output, which grows backwards.
// Callers that interleave coding with other work hold one in a local
// variable, so that it lives in registers.
struct Coder {
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
    // keeps the comparison off the chain from x to x (measured: about a
    // third faster than the branch-free form, even on incompressible bits).
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
// exactly what one BinEnc holding r1 r2 ... rk would finish() to.
class BackwardCoder {
 public:
  // Room for `max_symbols` symbols in all; passing more is a bug. The
  // output buffer is reserved for the worst case (one word a symbol) but
  // filled from its end, so its untouched pages cost address space only.
  explicit BackwardCoder(std::size_t max_symbols);

  void code_backwards(std::span<const std::uint16_t> run) noexcept;

  // For callers that code symbol by symbol: take the state, code through
  // it, and give it back before the next call.
  Coder take() const noexcept { return {x_, head_}; }
  void give_back(const Coder& c) noexcept {
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

// Decoder. A renormalisation that finds fewer than two bytes marks the
// decoder truncated instead of failing the single call: callers test
// truncated() once per byte or coefficient and report Truncated; the bits
// returned after that point are meaningless but reading stays in bounds.
class BinDec {
 public:
  // Truncated when fewer than 4 bytes are given. The table is allocated here.
  static std::expected<BinDec, AransError> create(std::size_t contexts,
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
    // mispredicts often (measured on a speech-like signal: the byte-plane
    // decoder 3.9 ns a bit with the branch, 2.7 with the move; on
    // well-predicted synthetic data the move is no slower).
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

}  // namespace quillmere::arans
