// The fast coder's encoder: tokens and their contexts lane by lane, the
// band models, the raw bits in decoding order, and the rANS pass backwards
// through that order.
#include "quillmere/fast_coder.hpp"

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

}  // namespace

std::vector<std::uint8_t> encode_coeffs(std::span<const std::span<const std::int16_t>> bands) {
  if (bands.size() > kMaxBands) throw std::invalid_argument("at most 255 bands");
  std::size_t total = 0;
  for (const auto& b : bands) total += b.size();

  // Tokens (sign in bit 7) and low bits, bands back to back.
  std::vector<std::uint8_t> tokens(total);
  std::vector<std::uint16_t> extras(total);
  std::vector<std::size_t> band_end(bands.size());
  {
    std::size_t p = 0;
    for (std::size_t b = 0; b < bands.size(); ++b) {
      for (const std::int16_t w : bands[b]) {
        const auto m = static_cast<std::uint32_t>(w < 0 ? -std::int32_t{w} : std::int32_t{w});
        const Token t = token_of(m);
        tokens[p] = static_cast<std::uint8_t>(t.token | (w < 0 ? 0x80 : 0));
        extras[p] = t.extra;
        ++p;
      }
      band_end[b] = p;
    }
  }

  // Contexts lane by lane, counted per band; key = band * kContexts +
  // context. Neighbouring coefficients often hit the same counter, so four
  // copies take turns and are summed afterwards, keeping increments of one
  // counter from waiting on each other.
  const Segments seg = segments(total);
  std::vector<std::uint16_t> keys(total);
  constexpr std::size_t kCopies = 4;
  const std::size_t keys_total = bands.size() * kContexts;
  std::vector<std::uint32_t> tally(kCopies * keys_total * kTokens, 0);
  for (unsigned j = 0; j < seg.lanes; ++j) {
    std::size_t from = seg.begin(j);
    for (std::size_t b = 0; b < bands.size() && from < seg.end(j); ++b) {
      const std::size_t to = std::min(band_end[b], seg.end(j));
      if (to <= from) continue;
      ContextState state;
      const std::size_t key_base = b * kContexts;
      for (std::size_t p = from; p < to; ++p) {
        const unsigned t = tokens[p] & 0x1F;
        const std::size_t key = key_base + state.context();
        keys[p] = static_cast<std::uint16_t>(key);
        ++tally[((p % kCopies) * keys_total + key) * kTokens + t];
        state.push(kShapes[t].width);
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

  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(bands.size()));
  std::vector<std::span<const std::uint8_t>> band_tokens(bands.size());
  for (std::size_t b = 0, from = 0; b < bands.size(); from = band_end[b++]) {
    band_tokens[b] = std::span<const std::uint8_t>(tokens.data() + from, band_end[b] - from);
  }
  const Models models = choose_and_write_models(counts, band_tokens, out);
  std::vector<AdaptiveModel> adaptive;  // per band; used only by adaptive bands
  adaptive.reserve(bands.size());
  for (std::size_t b = 0; b < bands.size(); ++b) adaptive.emplace_back(std::max(2u, unsigned{models.bands[b].tokens}));
  std::vector<const Table*> table_of_key(bands.size() * kContexts, nullptr);
  for (std::size_t b = 0; b < bands.size(); ++b) {
    if (models.bands[b].mode == BandMode::Zero) continue;
    for (unsigned c = 0; c < kContexts; ++c) {
      const std::uint16_t t = models.bands[b].table_of[c];
      if (t != kNoTable) table_of_key[b * kContexts + c] = &models.tables[t];
    }
  }

  // Raw bits in decoding order (the sign, then the low bits), and each
  // symbol's start and frequency (none for all-zero bands) for the rANS
  // pass, which runs backwards.
  std::vector<std::uint32_t> codes(total);
  std::vector<std::uint8_t> raw(2 * total + 8);
  std::size_t raw_len = 0;
  {
    std::uint8_t* rp = raw.data();
    std::uint64_t acc = 0;
    unsigned fill = 0;
    for (std::size_t i = 0; i < seg.seg; ++i) {
      for (unsigned j = 0; j < seg.lanes; ++j) {
        const std::size_t p = seg.begin(j) + i;
        if (p >= seg.end(j)) continue;
        const unsigned t = tokens[p] & 0x1F;
        const Table* tb = table_of_key[keys[p]];
        const std::size_t b = keys[p] / kContexts;
        if (tb) {
          codes[p] = tb->start[t] | (std::uint32_t{tb->freq[t]} << 16);
        } else if (models.bands[b].mode == BandMode::Adaptive) {
          codes[p] = adaptive[b].start(t) | (adaptive[b].freq(t) << 16);
          adaptive[b].update(t);
        } else {
          codes[p] = 0;
        }
        if (t == 0) continue;
        acc |= std::uint64_t((tokens[p] >> 7) | (std::uint32_t{extras[p]} << 1)) << fill;
        fill += 1 + kShapes[t].extra_bits;
        if (fill >= 32) {
          store_le32(rp, static_cast<std::uint32_t>(acc));
          rp += 4;
          acc >>= 32;
          fill -= 32;
        }
      }
    }
    for (; fill > 0; fill = fill > 8 ? fill - 8 : 0, acc >>= 8) *rp++ = static_cast<std::uint8_t>(acc);
    raw_len = static_cast<std::size_t>(rp - raw.data());
  }
  put_leb128(out, raw_len);
  out.insert(out.end(), raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(raw_len));

  // rANS, backwards through the decoding order; words are written from the
  // end of the buffer down, so they come out in reading order.
  std::array<std::uint32_t, kLanes> x;
  x.fill(kStateLow);
  std::vector<std::uint16_t> word_buf(total + 1);
  std::uint16_t* wp = word_buf.data() + word_buf.size();
  const auto put_symbol = [&](unsigned j, std::uint32_t code) {
    const std::uint32_t f = code >> 16;
    std::uint32_t s = x[j];
    // 64 bits: a frequency of 4096 puts the bound at 2^32.
    if (std::uint64_t{s} >= (std::uint64_t{kStateLow >> kTableBits} << 16) * f) {
      *--wp = static_cast<std::uint16_t>(s);
      s >>= 16;
    }
    const std::uint32_t q = divide(s, f);
    x[j] = (q << kTableBits) + (s - q * f) + (code & 0xFFFF);
  };
  std::size_t i = seg.seg;
  const std::size_t full = seg.lanes == kLanes ? seg.end(kLanes - 1) - seg.begin(kLanes - 1) : 0;
  for (; i > full; --i) {
    for (unsigned j = seg.lanes; j-- > 0;) {
      const std::size_t p = seg.begin(j) + i - 1;
      if (p < seg.end(j) && codes[p] != 0) put_symbol(j, codes[p]);
    }
  }
  for (; i-- > 0;) {
    for (unsigned j = kLanes; j-- > 0;) {
      const std::uint32_t code = codes[j * seg.seg + i];
      if (code != 0) put_symbol(j, code);
    }
  }
  const std::span<const std::uint16_t> words(wp, word_buf.data() + word_buf.size());
  const unsigned stored = codes_symbols(models) ? seg.lanes : 0;
  const std::size_t at = out.size();
  out.resize(at + 4 * stored + 2 * words.size());
  for (unsigned j = 0; j < stored; ++j) store_le32(out.data() + at + 4 * j, x[j]);
  std::uint8_t* w = out.data() + at + 4 * stored;
  for (const std::uint16_t v : words) {
    store_le16(w, v);
    w += 2;
  }
  return out;
}

}  // namespace quillmere::fast
