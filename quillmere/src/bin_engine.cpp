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
    const bool one = (e >> kProbBits) != 0;
    const std::uint32_t freq = one ? kProbScale - p : p;
    const std::uint32_t start = one ? p : 0;
    // Renormalise so that the coded state stays below 2^32: x' < 4096 (x / freq + 1)
    // needs x < freq * 2^20. With x < 2^32 one 16-bit shift always suffices.
    // The word is stored unconditionally and kept only when it is due: with
    // k words written before the symbol i-th from the back, k <= i, so
    // head - 2 never falls below the state's 4 bytes.
    const bool emit = x >= (freq << 20);
    store_le16(head - 2, static_cast<std::uint16_t>(x));
    head -= emit ? 2 : 0;
    x = emit ? x >> 16 : x;
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

void BinDec::refill() noexcept {
  // A loop, not a single step: a hostile initial state below 2^12 can
  // decode to x = 0, and then it takes more than one word to reach L.
  while (x_ < kStateLow) {
    if (end_ - pos_ < 2) {
      truncated_ = true;
      return;
    }
    x_ = (x_ << 16) | load_le16(pos_);
    pos_ += 2;
  }
}

}  // namespace quillmere::arans
