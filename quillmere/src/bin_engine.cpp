// The cold half of the bit engine: the backward coding pass, decoder set-up
// and the checked refill. put() and get() live in the header to be inlined.
#include "quillmere/bin_engine.hpp"

#include <memory>
#include <utility>

namespace quillmere::arans {

void BinEnc::finish_into(std::vector<std::uint8_t>& out) const {
  const std::size_t n = pending_.size();
  // At most one word per symbol (see below), plus the 4-byte state. The
  // buffer is filled from its end; for a large run the pages it never
  // reaches are never touched, so the slack costs address space only.
  const std::size_t capacity = 2 * n + 4;
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  std::uint8_t* const end = buffer.get() + capacity;
  std::uint8_t* head = end;

  std::uint32_t x = kStateLow;
  for (std::size_t i = n; i-- > 0;) {
    const std::uint32_t e = pending_[i];
    const std::uint32_t p = e & (kProbScale - 1);
    const std::uint32_t mask = 0u - (e >> kProbBits);  // all ones for bit 1
    const std::uint32_t freq = p + ((kProbScale - 2 * p) & mask);
    const std::uint32_t start = p & mask;
    // Renormalise so that the coded state stays below 2^32: x' < 4096 (x / freq + 1)
    // needs x < freq * 2^20. With x < 2^32 one 16-bit shift always suffices,
    // so there is at most one word per symbol and the buffer cannot overflow.
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
  head -= 4;
  store_le32(head, x);
  out.insert(out.end(), head, end);
}

std::vector<std::uint8_t> BinEnc::finish() const {
  std::vector<std::uint8_t> out;
  finish_into(out);
  return out;
}

std::expected<BinDec, AransError> BinDec::create(std::size_t contexts,
                                                 std::span<const std::uint8_t> coded) {
  if (coded.size() < 4) return std::unexpected(AransError::Truncated);
  return BinDec(std::vector<std::uint16_t>(contexts ? contexts : 1, kProbInit), coded);
}

BinDec::BinDec(std::vector<std::uint16_t> probs, std::span<const std::uint8_t> coded)
    : probs_(std::move(probs)),
      x_(load_le32(coded.data())),
      pos_(coded.data() + 4),
      end_(coded.data() + coded.size()) {}

}  // namespace quillmere::arans
