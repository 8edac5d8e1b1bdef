// The fast coder's encoder: tokens and their contexts lane by lane, the
// band models, the raw bits in decoding order, and the rANS pass backwards
// through that order.
#include "fast_coder.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "fast_adaptive.hpp"
#include "fast_model.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::fast {
namespace {

void put_leb128(std::vector<std::uint8_t>& out, std::size_t v) {
  do {
    const auto byte = static_cast<std::uint8_t>(v & 0x7F);
    v >>= 7;
    out.push_back(static_cast<std::uint8_t>(byte | (v != 0 ? 0x80 : 0)));
  } while (v != 0);
}

// s / f for s < 2^32 and f <= 4096 by a multiplication: with
// m = ceil(2^44 / f) the product's top bits are exactly the quotient.
struct Reciprocals {
  std::array<std::uint64_t, kTableTotal + 1> m{};
  constexpr Reciprocals() {
    for (std::uint64_t f = 1; f <= kTableTotal; ++f) m[f] = ((std::uint64_t{1} << 44) + f - 1) / f;
  }
};
constexpr Reciprocals kReciprocals;

inline std::uint32_t divide(std::uint32_t s, std::uint32_t f) {
  return static_cast<std::uint32_t>((static_cast<unsigned __int128>(s) * kReciprocals.m[f]) >> 44);
}

// One word per coefficient from the counting pass on: the token in bits
// 0-4, the sign in bit 5, the low bits in 6-19 (at most 14) and the key
// (band * kContexts + context, below 255 * 16) in 20-31. Shifted down by
// five, the sign and low bits are the coefficient's raw bits as written.
constexpr unsigned kKeyShift = 20;
constexpr std::uint32_t kRawMask = 0x7FFF;

// Raw bits of a token: the sign (for nonzero tokens) and the low bits.
constexpr std::array<std::uint8_t, kTokens> make_raw_bits() {
  std::array<std::uint8_t, kTokens> t{};
  for (unsigned s = 1; s < kTokens; ++s) t[s] = static_cast<std::uint8_t>(1 + kShapes[s].extra_bits);
  return t;
}
constexpr auto kRawBits = make_raw_bits();

// A key's code of a symbol: start | frequency << 16; zero for all-zero bands
// (nothing coded) and kAdaptiveCode where the band's model adapts, whose
// codes depend on the order and are kept per coefficient.
constexpr std::uint32_t kAdaptiveCode = 1;

}  // namespace

std::vector<std::uint8_t> encode_coeffs(std::span<const std::span<const std::int16_t>> bands) {
  if (bands.size() > kMaxBands) throw std::invalid_argument("at most 127 bands");
  std::size_t total = 0;
  for (const auto& b : bands) total += b.size();
  std::vector<std::size_t> band_end(bands.size());
  for (std::size_t b = 0, acc = 0; b < bands.size(); ++b) band_end[b] = acc += bands[b].size();

  // Tokens, raw bits and contexts in one pass, lane by lane, counted per
  // key. Neighbouring coefficients often hit the same counter, so four
  // copies take turns and are summed afterwards, keeping increments of one
  // counter from waiting on each other.
  const Segments seg = segments(total);
  std::vector<std::uint32_t> sym(total);
  std::vector<std::uint8_t> tokens(total);  // for the adaptive model's size estimate
  constexpr std::size_t kCopies = 4;
  const std::size_t keys_total = bands.size() * kContexts;
  std::vector<std::uint32_t> tally(kCopies * keys_total * kTokens, 0);
  for (unsigned j = 0; j < seg.lanes; ++j) {
    std::size_t from = seg.begin(j);
    for (std::size_t b = 0; b < bands.size() && from < seg.end(j); ++b) {
      const std::size_t to = std::min(band_end[b], seg.end(j));
      if (to <= from) continue;
      ContextState state;
      const std::uint32_t key_base = static_cast<std::uint32_t>(b * kContexts);
      const std::int16_t* in = bands[b].data() + (from - (band_end[b] - bands[b].size()));
      for (std::size_t p = from; p < to; ++p) {
        const std::int32_t w = *in++;
        const auto m = static_cast<std::uint32_t>(w < 0 ? -w : w);
        const Token t = token_of(m);
        const std::uint32_t key = key_base + state.context();
        sym[p] = t.token | (static_cast<std::uint32_t>(w < 0) << 5) | (std::uint32_t{t.extra} << 6) |
                 (key << kKeyShift);
        tokens[p] = t.token;
        ++tally[((p % kCopies) * keys_total + key) * kTokens + t.token];
        state.push(kShapes[t.token].width);
      }
      from = to;
    }
  }
  std::vector<BandCounts> counts(bands.size(), BandCounts{});
  for (std::size_t key = 0; key < keys_total; ++key) {
    auto& row = counts[key / kContexts][key % kContexts];
    for (std::size_t k = 0; k < kCopies; ++k) {
      const std::uint32_t* copy = tally.data() + (k * keys_total + key) * kTokens;
      for (unsigned t = 0; t < kTokens; ++t) row[t] += copy[t];
    }
  }

  std::vector<std::uint8_t> head;
  head.push_back(static_cast<std::uint8_t>(bands.size()));
  std::vector<std::span<const std::uint8_t>> band_tokens(bands.size());
  for (std::size_t b = 0, from = 0; b < bands.size(); from = band_end[b++]) {
    band_tokens[b] = std::span<const std::uint8_t>(tokens.data() + from, band_end[b] - from);
  }
  const Models models = choose_and_write_models(counts, band_tokens, head);
  std::vector<std::uint32_t> key_code(keys_total * kTokens, 0);
  bool any_adaptive = false;
  for (std::size_t b = 0; b < bands.size(); ++b) {
    const BandModel& bm = models.bands[b];
    std::uint32_t* codes = key_code.data() + b * kContexts * kTokens;
    if (bm.mode == BandMode::Adaptive) {
      any_adaptive = true;
      std::fill_n(codes, kContexts * kTokens, kAdaptiveCode);
      continue;
    }
    if (bm.mode == BandMode::Zero) continue;
    for (unsigned c = 0; c < kContexts; ++c) {
      if (bm.table_of[c] == kNoTable) continue;
      const Table& tb = models.tables[bm.table_of[c]];
      for (unsigned t = 0; t < tb.tokens; ++t) {
        codes[c * kTokens + t] = tb.start[t] | (std::uint32_t{tb.freq[t]} << 16);
      }
    }
  }

  // Raw bits in decoding order (the sign, then the low bits), and the codes
  // of adaptive bands, whose model moves in that order.
  std::vector<std::uint8_t> raw(2 * total + 8);
  std::vector<std::uint32_t> adaptive_codes(any_adaptive ? total : 0);
  std::vector<AdaptiveModel> adaptive;  // per band; used only by adaptive bands
  if (any_adaptive) {
    adaptive.reserve(bands.size());
    for (std::size_t b = 0; b < bands.size(); ++b) {
      adaptive.emplace_back(std::max(2u, unsigned{models.bands[b].tokens}));
    }
  }
  std::uint8_t* rp = raw.data();
  std::uint64_t acc = 0;
  unsigned fill = 0;
  const auto put_raw = [&](std::size_t p) {
    const std::uint32_t s = sym[p];
    if (any_adaptive && key_code[((s >> kKeyShift) * kTokens)] == kAdaptiveCode) {
      AdaptiveModel& model = adaptive[(s >> kKeyShift) / kContexts];
      const unsigned t = s & 0x1F;
      adaptive_codes[p] = model.start(t) | (model.freq(t) << 16);
      model.update(t);
    }
    // Branch-free: the word is stored every time and kept when full.
    acc |= std::uint64_t{(s >> 5) & kRawMask} << fill;
    fill += kRawBits[s & 0x1F];
    store_le32(rp, static_cast<std::uint32_t>(acc));
    const unsigned full = fill >> 5;
    rp += 4 * full;
    acc >>= 32 * full;
    fill &= 31;
  };
  const std::size_t common = seg.end(seg.lanes - 1) - seg.begin(seg.lanes - 1);
  if (seg.lanes == kLanes) {
    for (std::size_t i = 0; i < common; ++i) {
      put_raw(i);
      put_raw(seg.seg + i);
      put_raw(2 * seg.seg + i);
      put_raw(3 * seg.seg + i);
    }
  } else {
    for (std::size_t i = 0; i < common; ++i) put_raw(i);
  }
  for (std::size_t i = common; i < seg.seg; ++i) {
    for (unsigned j = 0; j + 1 < seg.lanes; ++j) put_raw(seg.begin(j) + i);
  }
  for (; fill > 0; fill = fill > 8 ? fill - 8 : 0, acc >>= 8) *rp++ = static_cast<std::uint8_t>(acc);
  const auto raw_len = static_cast<std::size_t>(rp - raw.data());

  // rANS, backwards through the decoding order; words are written from the
  // end of the buffer down, so they come out in reading order. The buffer
  // has one word more than symbols, so the speculative store below always
  // lands inside it.
  std::array<std::uint32_t, kLanes> x;
  x.fill(kStateLow);
  std::vector<std::uint16_t> word_buf(total + 1);
  std::uint16_t* wp = word_buf.data() + word_buf.size();
  const auto put_symbol = [&](unsigned j, std::size_t p) {
    const std::uint32_t word = sym[p];
    std::uint32_t code = key_code[(word >> kKeyShift) * kTokens + (word & 0x1F)];
    if (code == 0) return;
    if (code == kAdaptiveCode) code = adaptive_codes[p];
    const std::uint32_t f = code >> 16;
    std::uint32_t s = x[j];
    // 64 bits: a frequency of 4096 puts the bound at 2^32. Branch-free, as
    // whether a word goes out is as good as random.
    const bool out = std::uint64_t{s} >= (std::uint64_t{kStateLow >> kTableBits} << 16) * f;
    wp[-1] = static_cast<std::uint16_t>(s);
    wp -= out;
    s >>= 16 * unsigned{out};
    const std::uint32_t q = divide(s, f);
    x[j] = (q << kTableBits) + (s - q * f) + (code & 0xFFFF);
  };
  for (std::size_t i = seg.seg; i > common; --i) {
    for (unsigned j = seg.lanes - 1; j-- > 0;) put_symbol(j, seg.begin(j) + i - 1);
  }
  if (seg.lanes == kLanes) {
    for (std::size_t i = common; i-- > 0;) {
      put_symbol(3, 3 * seg.seg + i);
      put_symbol(2, 2 * seg.seg + i);
      put_symbol(1, seg.seg + i);
      put_symbol(0, i);
    }
  } else {
    for (std::size_t i = common; i-- > 0;) put_symbol(0, i);
  }
  const auto word_count = static_cast<std::size_t>(word_buf.data() + word_buf.size() - wp);
  const unsigned stored = codes_symbols(models) ? seg.lanes : 0;

  std::vector<std::uint8_t> out;
  out.reserve(head.size() + 10 + raw_len + 4 * stored + 2 * word_count);
  out.insert(out.end(), head.begin(), head.end());
  put_leb128(out, raw_len);
  out.insert(out.end(), raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(raw_len));
  const std::size_t at = out.size();
  out.resize(at + 4 * stored + 2 * word_count);
  for (unsigned j = 0; j < stored; ++j) store_le32(out.data() + at + 4 * j, x[j]);
  std::uint8_t* w = out.data() + at + 4 * stored;
  for (std::size_t i = 0; i < word_count; ++i) store_le16(w + 2 * i, wp[i]);
  return out;
}

}  // namespace quillmere::fast
