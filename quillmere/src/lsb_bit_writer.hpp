// The bit writer the tools' own coded streams share (the fast coefficient
// coder's tables, zero-block maps and raw bits; the corrections' token form):
// bits packed from the least significant end of each byte.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace quillmere::lsb {

class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void put(std::uint32_t value, unsigned n) {
    acc_ |= std::uint64_t{value} << fill_;
    fill_ += n;
    while (fill_ >= 8) {
      out_.push_back(static_cast<std::uint8_t>(acc_));
      acc_ >>= 8;
      fill_ -= 8;
    }
  }
  // Pads the last byte with zeros.
  void flush() {
    if (fill_ > 0) out_.push_back(static_cast<std::uint8_t>(acc_));
    acc_ = 0;
    fill_ = 0;
  }

 private:
  std::vector<std::uint8_t>& out_;
  std::uint64_t acc_ = 0;
  unsigned fill_ = 0;
};

// v >= 1 in Elias-gamma form: the bit width w as w - 1 zeros and a one, then
// the w - 1 bits below the leading one.
inline void put_gamma(BitWriter& out, std::uint32_t v) {
  const unsigned k = static_cast<unsigned>(std::bit_width(v)) - 1;
  out.put(1u << k, k + 1);  // k zeros, then the one
  out.put(v & ((1u << k) - 1), k);
}

}  // namespace quillmere::lsb
