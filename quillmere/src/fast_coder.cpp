// The fast coder's lanes: the coefficients (all bands back to back) are cut
// into contiguous segments, one per rANS state, so that each state's context
// chain depends on its own segment only and the decoder can run the states
// side by side. Symbols are taken in turn from every lane, which is the order
// the decoder reads both the words and the raw bits in.
#include "quillmere/fast_coder.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "fast_model.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::fast {
namespace {

// Short signals use one lane: each lane's final state costs four bytes.
constexpr std::size_t kMinForLanes = 256;
constexpr std::uint16_t kZeroBand = 0xFFFF;  // position of a band with nothing coded

unsigned lane_count(std::size_t total) { return total >= kMinForLanes ? kLanes : 1; }

// Without a coded symbol (every band empty or all zeros) no states are
// stored: they could only be the initial ones.
bool codes_symbols(const Models& models) {
  return std::any_of(models.bands.begin(), models.bands.end(),
                     [](const BandModel& b) { return b.mode != BandMode::Zero; });
}

// Lane j covers [j * seg, min((j + 1) * seg, total)).
struct Segments {
  unsigned lanes;
  std::size_t seg;
  std::size_t total;
  std::size_t begin(unsigned j) const { return std::min(total, j * seg); }
  std::size_t end(unsigned j) const { return std::min(total, (j + 1) * seg); }
};

Segments segments(std::size_t total) {
  const unsigned lanes = lane_count(total);
  return {lanes, (total + lanes - 1) / lanes, total};
}

// Saturating, so that hostile lengths cannot wrap around to a small total.
std::size_t total_length(std::span<const std::size_t> lengths) {
  std::size_t sum = 0;
  for (const std::size_t n : lengths) sum = n > SIZE_MAX - sum ? SIZE_MAX : sum + n;
  return sum;
}

void put_leb128(std::vector<std::uint8_t>& out, std::size_t v) {
  do {
    const auto byte = static_cast<std::uint8_t>(v & 0x7F);
    v >>= 7;
    out.push_back(static_cast<std::uint8_t>(byte | (v != 0 ? 0x80 : 0)));
  } while (v != 0);
}

std::expected<std::size_t, FastError> get_leb128(std::span<const std::uint8_t> in, std::size_t& pos) {
  std::size_t v = 0;
  for (unsigned shift = 0; shift < 35; shift += 7) {
    if (pos >= in.size()) return std::unexpected(FastError::Truncated);
    const std::uint8_t byte = in[pos++];
    v |= std::size_t{byte & 0x7Fu} << shift;
    if (!(byte & 0x80)) {
      // The shortest form only, so one stream has one reading.
      if (byte == 0 && shift != 0) return std::unexpected(FastError::BadLength);
      return v;
    }
  }
  return std::unexpected(FastError::BadLength);
}

// One decoding table entry: the token in bits 0-4, slot - start in bits
// 5-17 and the frequency from bit 18.
using Entry = std::uint32_t;

std::vector<Entry> slot_tables(std::span<const Table> tables) {
  std::vector<Entry> out(tables.size() * kTableTotal);
  for (std::size_t i = 0; i < tables.size(); ++i) {
    Entry* e = out.data() + i * kTableTotal;
    for (unsigned s = 0; s < tables[i].tokens; ++s) {
      const std::uint32_t f = tables[i].freq[s];
      for (std::uint32_t k = 0; k < f; ++k) e[tables[i].start[s] + k] = s | (k << 5) | (f << 18);
    }
  }
  return out;
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

  // Contexts lane by lane, counted per band.
  const Segments seg = segments(total);
  std::vector<std::uint8_t> contexts(total);
  std::vector<std::uint8_t> band_at(total);
  std::vector<BandCounts> counts(bands.size(), BandCounts{});
  for (unsigned j = 0; j < seg.lanes; ++j) {
    std::size_t b = 0;
    unsigned w1 = 0, w2 = 0;
    for (std::size_t p = seg.begin(j); p < seg.end(j); ++p) {
      while (band_end[b] <= p) {
        ++b;
        w1 = w2 = 0;
      }
      const unsigned t = tokens[p] & 0x1F;
      const unsigned c = context_of(w1, w2);
      contexts[p] = static_cast<std::uint8_t>(c);
      band_at[p] = static_cast<std::uint8_t>(b);
      ++counts[b][c][t];
      w2 = w1;
      w1 = kShapes[t].width;
    }
  }

  std::vector<std::uint8_t> out;
  out.push_back(static_cast<std::uint8_t>(bands.size()));
  const Models models = choose_and_write_models(counts, out);

  // Raw bits in decoding order: the sign, then the low bits.
  std::vector<std::uint8_t> raw;
  {
    BitWriter rb(raw);
    for (std::size_t i = 0; i < seg.seg; ++i) {
      for (unsigned j = 0; j < seg.lanes; ++j) {
        const std::size_t p = seg.begin(j) + i;
        if (p >= seg.end(j)) continue;
        const unsigned t = tokens[p] & 0x1F;
        if (t == 0) continue;
        rb.put((tokens[p] >> 7) | (std::uint32_t{extras[p]} << 1), 1 + kShapes[t].extra_bits);
      }
    }
    rb.flush();
  }
  put_leb128(out, raw.size());
  out.insert(out.end(), raw.begin(), raw.end());

  // rANS, backwards through the decoding order.
  std::array<std::uint32_t, kLanes> x;
  x.fill(kStateLow);
  std::vector<std::uint16_t> words;
  for (std::size_t i = seg.seg; i-- > 0;) {
    for (unsigned j = seg.lanes; j-- > 0;) {
      const std::size_t p = seg.begin(j) + i;
      if (p >= seg.end(j)) continue;
      const BandModel& m = models.bands[band_at[p]];
      if (m.mode == BandMode::Zero) continue;
      const Table& table = models.tables[m.table_of[contexts[p]]];
      const unsigned t = tokens[p] & 0x1F;
      const std::uint32_t f = table.freq[t];
      std::uint32_t s = x[j];
      // 64 bits: a frequency of 4096 puts the bound at 2^32.
      if (std::uint64_t{s} >= (std::uint64_t{kStateLow >> kTableBits} << 16) * f) {
        words.push_back(static_cast<std::uint16_t>(s));
        s >>= 16;
      }
      x[j] = ((s / f) << kTableBits) + (s % f) + table.start[t];
    }
  }
  const unsigned stored = codes_symbols(models) ? seg.lanes : 0;
  const std::size_t at = out.size();
  out.resize(at + 4 * stored + 2 * words.size());
  for (unsigned j = 0; j < stored; ++j) store_le32(out.data() + at + 4 * j, x[j]);
  std::uint8_t* w = out.data() + at + 4 * stored;
  for (std::size_t k = words.size(); k-- > 0; w += 2) store_le16(w, words[k]);
  return out;
}

namespace {

struct Sections {
  Models models;
  std::span<const std::uint8_t> raw;
  std::span<const std::uint8_t> states;
  std::span<const std::uint8_t> words;
};

std::expected<Sections, FastError> read_sections(std::span<const std::uint8_t> stream,
                                                 std::span<const std::size_t> lengths) {
  if (stream.empty()) return std::unexpected(FastError::Truncated);
  if (stream[0] != lengths.size()) return std::unexpected(FastError::BadLength);
  const std::size_t total = total_length(lengths);
  if (total == SIZE_MAX) return std::unexpected(FastError::BadLength);

  Sections s;
  const auto rest = stream.subspan(1);
  BitReader bits(rest);
  auto models = read_models(bits, lengths);
  if (!models) return std::unexpected(models.error());
  if (!bits.rest_of_byte_is_zero()) return std::unexpected(FastError::BadTable);
  s.models = std::move(*models);

  std::size_t pos = 1 + bits.bytes_used(rest);
  auto raw_len = get_leb128(stream, pos);
  if (!raw_len) return std::unexpected(raw_len.error());
  if (*raw_len > stream.size() - pos) return std::unexpected(FastError::Truncated);
  s.raw = stream.subspan(pos, *raw_len);
  pos += *raw_len;
  const std::size_t state_bytes = codes_symbols(s.models) ? 4 * std::size_t{lane_count(total)} : 0;
  if (stream.size() - pos < state_bytes) return std::unexpected(FastError::Truncated);
  s.states = stream.subspan(pos, state_bytes);
  s.words = stream.subspan(pos + state_bytes);
  if (s.words.size() % 2 != 0) return std::unexpected(FastError::TrailingData);
  for (std::size_t j = 0; j < state_bytes; j += 4) {
    if (load_le32(s.states.data() + j) < kStateLow) return std::unexpected(FastError::BadState);
  }
  return s;
}

// One lane's decoder: its state, where it is, and its current band.
struct Lane {
  std::uint32_t x = kStateLow;
  std::size_t pos = 0;
  std::size_t end = 0;
  std::size_t band = 0;
  std::size_t band_end = 0;
  unsigned w1 = 0, w2 = 0;
  const BandModel* model = nullptr;
};

}  // namespace

std::expected<void, FastError> preflight(std::span<const std::uint8_t> stream,
                                         std::span<const std::size_t> lengths) {
  try {
    auto s = read_sections(stream, lengths);
    if (!s) return std::unexpected(s.error());
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(FastError::OutOfMemory);
  }
}

std::expected<void, FastError> decode_coeffs_into(std::span<const std::uint8_t> stream,
                                                  std::span<const std::size_t> lengths,
                                                  std::span<std::int16_t> out) {
  try {
    auto sections = read_sections(stream, lengths);
    if (!sections) return std::unexpected(sections.error());
    const std::size_t total = total_length(lengths);
    if (out.size() != total) return std::unexpected(FastError::BadLength);
    const Models& models = sections->models;
    const std::vector<Entry> slots = slot_tables(models.tables);

    std::vector<std::size_t> band_end(lengths.size());
    std::size_t acc = 0;
    for (std::size_t b = 0; b < lengths.size(); ++b) band_end[b] = acc += lengths[b];

    const Segments seg = segments(total);
    std::array<Lane, kLanes> lanes{};
    for (unsigned j = 0; j < seg.lanes; ++j) {
      Lane& l = lanes[j];
      if (!sections->states.empty()) l.x = load_le32(sections->states.data() + 4 * j);
      l.pos = seg.begin(j);
      l.end = seg.end(j);
      l.band = static_cast<std::size_t>(
          std::upper_bound(band_end.begin(), band_end.end(), l.pos) - band_end.begin());
      l.band_end = l.band < band_end.size() ? band_end[l.band] : total;
      l.model = l.band < models.bands.size() ? &models.bands[l.band] : nullptr;
    }

    BitReader raw(sections->raw);
    const std::uint8_t* wp = sections->words.data();
    const std::uint8_t* const wend = wp + sections->words.size();
    bool bad_token = false, missing_table = false, ran_out = false;

    const auto step = [&](Lane& l) {
      while (l.pos == l.band_end) {
        ++l.band;
        l.band_end = band_end[l.band];
        l.model = &models.bands[l.band];
        l.w1 = l.w2 = 0;
      }
      unsigned t = 0;
      if (l.model->mode != BandMode::Zero) {
        const std::uint16_t table = l.model->table_of[context_of(l.w1, l.w2)];
        if (table == kNoTable) {
          missing_table = true;
        } else {
          const Entry e = slots[std::size_t{table} * kTableTotal + (l.x & (kTableTotal - 1))];
          t = e & 0x1F;
          l.x = (e >> 18) * (l.x >> kTableBits) + ((e >> 5) & 0x1FFF);
          if (l.x < kStateLow) {
            if (wp + 2 <= wend) {
              l.x = (l.x << 16) | load_le16(wp);
              wp += 2;
            } else {
              ran_out = true;
            }
          }
        }
      }
      std::int32_t w = 0;
      if (t != 0) {
        const TokenShape& shape = kShapes[t];
        const std::uint32_t v = raw.get(1u + shape.extra_bits);
        const std::uint32_t m = shape.base + (v >> 1);
        if (m >= 32768 && (m > 32768 || !(v & 1))) bad_token = true;
        w = (v & 1) ? -static_cast<std::int32_t>(m) : static_cast<std::int32_t>(m);
      }
      out[l.pos++] = static_cast<std::int16_t>(w);
      l.w2 = l.w1;
      l.w1 = kShapes[t].width;
    };

    for (std::size_t i = 0; i < seg.seg; ++i) {
      for (unsigned j = 0; j < seg.lanes; ++j) {
        if (lanes[j].pos < lanes[j].end) step(lanes[j]);
      }
      if (missing_table || ran_out) break;
    }
    if (ran_out) return std::unexpected(FastError::Truncated);
    if (missing_table) return std::unexpected(FastError::BadTable);
    if (raw.overrun()) return std::unexpected(FastError::Truncated);
    if (bad_token) return std::unexpected(FastError::BadToken);
    if (wp != wend || raw.bytes_used(sections->raw) != sections->raw.size() ||
        !raw.rest_of_byte_is_zero()) {
      return std::unexpected(FastError::TrailingData);
    }
    for (unsigned j = 0; j < seg.lanes; ++j) {
      if (lanes[j].x != kStateLow) return std::unexpected(FastError::BadState);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(FastError::OutOfMemory);
  }
}

}  // namespace quillmere::fast
