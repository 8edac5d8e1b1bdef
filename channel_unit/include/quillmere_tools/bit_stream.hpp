// Bits written and read most significant first, for the integer coder's
// blocks. The reader never reads past its span: beyond the end it yields
// zeros and remembers that it did, and the caller checks `overrun()` once
// per partition instead of once per bit.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace quillmere_tools {

class BitWriter {
 public:
  // `bits` <= 57 per call: the accumulator keeps at most 7 pending bits.
  // Whole bytes leave as one 8-byte store (of which the whole ones count),
  // so the buffer keeps 8 bytes of room past what it holds.
  [[gnu::always_inline]] void put(std::uint64_t value, int bits) {
    if (bits == 0) return;
    value &= bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    acc_ = (acc_ << bits) | value;
    pending_ += bits;
    if (pending_ < 8) return;
    const int whole = pending_ >> 3;
    pending_ &= 7;
    if (bytes_.size() < used_ + 8) bytes_.resize(std::max<std::size_t>(2 * bytes_.size(), used_ + 64));
    // The whole bytes, first most significant, at the top of a word.
    std::uint64_t word = (acc_ >> pending_) << (64 - 8 * whole);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    std::memcpy(bytes_.data() + used_, &word, 8);
    used_ += static_cast<std::size_t>(whole);
    acc_ &= (std::uint64_t{1} << pending_) - 1;
  }
  // `count` Rice codes of parameter k <= 30 in turn, with the writer's state
  // in locals (registers) for the whole run: v >> k zeros, a one and the k
  // low bits; from `limit` (<= 24) zeros on, `limit` zeros and then v raw in
  // `escape_bits` (<= 34). The room for the longest codes is made first.
  // Each code joins a word of up to 63 bits and the top 32 of them are
  // stored after every code, the place moving on only when 32 were there:
  // no branch on the count (which fell every few codes and mispredicted)
  // and no mask, since the bits above the count are shifted out before
  // they are stored. The same bits as one code at a time.
  void put_rice_run(const std::uint64_t* v, std::size_t count, int k, std::uint32_t limit, int escape_bits) {
    const std::size_t most = used_ + 8 * count + 16;
    if (bytes_.size() < most) bytes_.resize(std::max(2 * bytes_.size(), most));
    std::uint8_t* out = bytes_.data() + used_;
    std::uint64_t acc = acc_;
    unsigned pending = static_cast<unsigned>(pending_);  // below 32 between codes
    const std::uint64_t low_mask = (std::uint64_t{1} << k) - 1;
    const std::uint64_t one = std::uint64_t{1} << k;
    // Appends `bits` (<= 32) of `value`, which holds no bits above them.
    const auto add = [&](std::uint64_t value, unsigned bits) {
      acc = (acc << bits) | value;
      pending += bits;
      auto word = static_cast<std::uint32_t>(acc >> (pending & 31));
      if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap32(word);
      std::memcpy(out, &word, 4);
      out += (pending >> 5) * 4;
      pending &= 31;
    };
    const auto q_short = static_cast<std::uint64_t>(std::min<std::uint32_t>(limit, static_cast<std::uint32_t>(32 - k)));
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t q = v[i] >> k;
      if (q < q_short) [[likely]] {  // below the escape and within 32 bits
        add(one | (v[i] & low_mask), static_cast<unsigned>(q) + 1 + static_cast<unsigned>(k));
      } else if (q < limit) {
        add(0, static_cast<unsigned>(q));
        add(one | (v[i] & low_mask), static_cast<unsigned>(k) + 1);
      } else {
        add(0, limit);
        const int high = escape_bits > 32 ? escape_bits - 32 : 0;
        if (high > 0) add((v[i] >> 32) & ((std::uint64_t{1} << high) - 1), static_cast<unsigned>(high));
        const int rest = escape_bits - high;
        add(v[i] & ((std::uint64_t{1} << rest) - 1), static_cast<unsigned>(rest));
      }
    }
    used_ = static_cast<std::size_t>(out - bytes_.data());
    acc_ = 0;
    pending_ = 0;
    put(acc, static_cast<int>(pending));
  }
  // Wider values in two pieces.
  void put_wide(std::uint64_t value, int bits) {
    if (bits > 32) {
      put(value >> 32, bits - 32);
      put(value, 32);
    } else {
      put(value, bits);
    }
  }
  // `zeros` zero bits, then a one.
  void put_unary(std::uint64_t zeros) {
    while (zeros >= 32) {
      put(0, 32);
      zeros -= 32;
    }
    put(1, static_cast<int>(zeros) + 1);
  }
  // Pads the last byte with zero bits and hands the bytes over.
  std::vector<std::uint8_t> finish() {
    if (pending_ > 0) put(0, 8 - pending_);
    bytes_.resize(used_);
    used_ = 0;
    return std::move(bytes_);
  }
  // Pads the last byte with zero bits and shows the bytes, which stay the
  // writer's until restart(): a writer used again keeps its buffer, already
  // grown, where finish() hands it over.
  std::span<const std::uint8_t> padded() {
    if (pending_ > 0) put(0, 8 - pending_);
    return std::span<const std::uint8_t>(bytes_.data(), used_);
  }
  void restart() noexcept {
    used_ = 0;
    acc_ = 0;
    pending_ = 0;
  }
  std::size_t bit_count() const noexcept { return used_ * 8 + static_cast<std::size_t>(pending_); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t used_ = 0;
  std::uint64_t acc_ = 0;
  int pending_ = 0;
};

class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}

  // `bits` <= 57.
  std::uint64_t get(int bits) noexcept {
    if (bits == 0) return 0;
    fill(bits);
    have_ -= bits;
    const std::uint64_t v = (acc_ >> have_) & ((std::uint64_t{1} << bits) - 1);
    acc_ &= (std::uint64_t{1} << have_) - 1;
    return v;
  }

  std::uint64_t get_wide(int bits) noexcept {
    if (bits > 32) {
      const std::uint64_t high = get(bits - 32);
      return (high << 32) | get(32);
    }
    return get(bits);
  }

  std::int64_t get_signed(int bits) noexcept {
    if (bits == 0) return 0;
    const std::uint64_t v = get_wide(bits);
    const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    return static_cast<std::int64_t>(v ^ sign) - static_cast<std::int64_t>(sign);
  }

  // Zero bits up to the next one (consumed), when fewer than `limit` (<= 32);
  // otherwise `limit` zeros are consumed and `limit` returned (the caller's
  // escape). Past the end of the span the bits read as zeros.
  std::uint32_t get_unary(std::uint32_t limit) noexcept {
    fill(32);
    const auto window = static_cast<std::uint32_t>(acc_ >> (have_ - 32));
    const auto zeros = static_cast<std::uint32_t>(std::countl_zero(window));
    if (zeros >= limit) {
      consume(static_cast<int>(limit));
      return limit;
    }
    consume(static_cast<int>(zeros) + 1);
    return zeros;
  }

  // rice(v, k) with k <= 30: `limit` (<= 24) zeros or more are the escape,
  // then v raw in `escape_bits`. One refill serves the whole code word
  // (at most limit - 1 zeros, a one and k bits: 54 bits).
  [[gnu::always_inline]] std::uint64_t get_rice(int k, std::uint32_t limit, int escape_bits) noexcept {
    fill(56);
    const std::uint64_t window = acc_ << (64 - have_);
    const auto zeros = static_cast<std::uint32_t>(std::countl_zero(window));
    if (zeros >= limit) {
      consume(static_cast<int>(limit));
      return get_wide(escape_bits);
    }
    have_ -= static_cast<int>(zeros) + 1 + k;
    const std::uint64_t low = (acc_ >> have_) & ((std::uint64_t{1} << k) - 1);
    acc_ &= (std::uint64_t{1} << have_) - 1;
    return (std::uint64_t{zeros} << k) | low;
  }

  // `count` Rice codes as get_rice reads them, handed to `put(i, v)` in turn,
  // with the reader's state in locals (registers) for the whole run: one
  // partition's residuals. Within the run the bits above `have` are left
  // as they are, not masked off after each code: every read shifts them
  // out or masks them, and the mask's shifts would sit in the chain from
  // one code to the next. They are cleared when the run hands its state
  // back.
  template <class Put>
  void get_rice_run(std::size_t count, int k, std::uint32_t limit, int escape_bits, const Put& put) noexcept {
    std::uint64_t acc = acc_;
    int have = have_;
    std::size_t next = next_;
    const std::uint64_t low_mask = (std::uint64_t{1} << k) - 1;
    // Enough bits to tell the escape and to read any code short of it: a
    // refill (to 57 bits or more) serves several short codes.
    const int need = static_cast<int>(limit) + 1 + k;
    for (std::size_t i = 0; i < count; ++i) {
      if (have < need) refill_locals(acc, have, next, 56);
      const auto zeros = static_cast<std::uint32_t>(std::countl_zero(acc << (64 - have)));
      if (zeros >= limit) {
        acc_ = acc, have_ = have, next_ = next;
        consume(static_cast<int>(limit));
        put(i, get_wide(escape_bits));
        acc = acc_, have = have_, next = next_;
        continue;
      }
      have -= static_cast<int>(zeros) + 1 + k;
      put(i, (std::uint64_t{zeros} << k) | ((acc >> have) & low_mask));
    }
    store_locals(acc, have, next);
  }

  // get_rice_run for a `put(i, v)` that returns whether to go on: the run
  // stops after the first code it refuses, the reader then just past that
  // code. Whether every code was taken. Bits above `have` as in
  // get_rice_run.
  template <class Put>
  bool get_rice_run_while(std::size_t count, int k, std::uint32_t limit, int escape_bits, const Put& put) noexcept {
    std::uint64_t acc = acc_;
    int have = have_;
    std::size_t next = next_;
    const std::uint64_t low_mask = (std::uint64_t{1} << k) - 1;
    const int need = static_cast<int>(limit) + 1 + k;
    for (std::size_t i = 0; i < count; ++i) {
      if (have < need) refill_locals(acc, have, next, 56);
      const auto zeros = static_cast<std::uint32_t>(std::countl_zero(acc << (64 - have)));
      std::uint64_t v;
      if (zeros >= limit) {
        acc_ = acc, have_ = have, next_ = next;
        consume(static_cast<int>(limit));
        v = get_wide(escape_bits);
        acc = acc_, have = have_, next = next_;
      } else {
        have -= static_cast<int>(zeros) + 1 + k;
        v = (std::uint64_t{zeros} << k) | ((acc >> have) & low_mask);
      }
      if (!put(i, v)) {
        store_locals(acc, have, next);
        return false;
      }
    }
    store_locals(acc, have, next);
    return true;
  }
  // The bytes the bits consumed so far lie in, a partly read one counting
  // (meaningful while !overrun()): where data after the bits begins.
  std::size_t bytes_read() const noexcept { return next_ - static_cast<std::size_t>((have_ - phantom_) / 8); }

  // Fields of codes[0 .. count) in turn, with the reader's state in locals
  // (registers) for the whole run: code c stands for bits_of[c] raw bits
  // (<= 32), handed to put(i, c, v, 0); a code marked kPrefixedField stands
  // for a 5-bit prefix e, then min(e + prefix_base, prefix_limit) raw bits
  // (prefix_limit <= 40), handed to put(i, c, v, e). Bits above `have` as
  // in get_rice_run.
  static constexpr std::uint8_t kPrefixedField = 0xff;
  template <class Put>
  void get_field_run(const std::uint8_t* codes, std::size_t count, const std::uint8_t* bits_of, int prefix_base,
                     int prefix_limit, const Put& put) noexcept {
    std::uint64_t acc = acc_;
    int have = have_;
    std::size_t next = next_;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t code = codes[i];
      const bool prefixed = bits_of[code] == kPrefixedField;
      const int need = prefixed ? 5 + prefix_limit : bits_of[code];
      if (have < need) refill_locals(acc, have, next, need);
      std::uint64_t prefix = 0;
      int bits = need;
      if (prefixed) {
        have -= 5;
        prefix = (acc >> have) & 31u;
        bits = std::min(static_cast<int>(prefix) + prefix_base, prefix_limit);
      }
      have -= bits;
      put(i, code, (acc >> have) & ((std::uint64_t{1} << bits) - 1), prefix);
    }
    store_locals(acc, have, next);
  }

  // Whether a bit beyond the span has been consumed (a look-ahead alone
  // does not count).
  bool overrun() const noexcept { return phantom_ > have_; }
  // Every byte read and nothing beyond the last one's padding.
  bool at_end() const noexcept { return !overrun() && next_ == bytes_.size() && have_ - phantom_ < 8; }

 private:
  // The run readers keep the state in locals; this tops them up: a whole
  // word while eight bytes remain, else the last bytes (and the zeros past
  // them) one at a time up to `tail_bits`.
  void refill_locals(std::uint64_t& acc, int& have, std::size_t& next, int tail_bits) noexcept {
    if (bytes_.size() - next >= 8) {
      const std::uint64_t word = load_word(bytes_.data() + next);
      const int take = (64 - have) >> 3;
      acc = take == 8 ? word : (acc << (8 * take)) | (word >> (64 - 8 * take));
      next += static_cast<std::size_t>(take);
      have += 8 * take;
    } else {
      acc_ = acc, have_ = have, next_ = next;
      fill(tail_bits);
      acc = acc_, have = have_, next = next_;
    }
  }

  // The run readers' locals handed back, the bits above `have` (which the
  // runs leave in place) cleared as every other reader expects.
  void store_locals(std::uint64_t acc, int have, std::size_t next) noexcept {
    acc_ = have >= 64 ? acc : acc & ((std::uint64_t{1} << have) - 1);
    have_ = have;
    next_ = next;
  }

  // Eight bytes, the first most significant.
  static std::uint64_t load_word(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    return word;
  }

  // Whole words while eight bytes remain (as many bytes as the accumulator
  // takes), single bytes near the end; `bits` <= 57.
  void fill(int bits) noexcept {
    if (have_ >= bits) return;
    if (bytes_.size() - next_ >= 8) {
      const std::uint64_t word = load_word(bytes_.data() + next_);
      const int take = (64 - have_) >> 3;  // >= 1, as have_ < 57
      acc_ = take == 8 ? word : (acc_ << (8 * take)) | (word >> (64 - 8 * take));
      next_ += static_cast<std::size_t>(take);
      have_ += 8 * take;
      return;
    }
    while (have_ < bits) {
      if (next_ < bytes_.size()) {
        acc_ = (acc_ << 8) | bytes_[next_++];
      } else {
        acc_ <<= 8;
        phantom_ += 8;
      }
      have_ += 8;
    }
  }

  void consume(int bits) noexcept {
    have_ -= bits;
    acc_ &= (std::uint64_t{1} << have_) - 1;
  }

  std::span<const std::uint8_t> bytes_;
  std::size_t next_ = 0;
  std::uint64_t acc_ = 0;
  int have_ = 0;
  int phantom_ = 0;  // zero bits appended past the end, the last of have_
};

}  // namespace quillmere_tools
