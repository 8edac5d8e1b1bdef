// The fast coder's decoder: the sections are read and checked against the
// band lengths first; then the lanes run side by side in stretches where no
// lane crosses a band boundary, each symbol one table load, one state
// update and at most one 16-bit word. Faults found inside a stretch (a
// missing table, an impossible magnitude, words or raw bits running out)
// are gathered and reported once the lanes stop, so the loop has no exits.
#include <algorithm>
#include <cstring>
#include <new>

#include "fast_adaptive.hpp"
#include "fast_coder.hpp"
#include "fast_model.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::fast {
namespace {

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

struct Sections {
  Models models;
  std::span<const std::uint8_t> raw;
  std::span<const std::uint8_t> states;
  std::span<const std::uint8_t> words;
};

std::expected<Sections, FastError> read_sections(std::span<const std::uint8_t> stream,
                                                 std::span<const std::size_t> lengths) {
  if (stream.empty()) return std::unexpected(FastError::Truncated);
  if ((stream[0] & ~kSideBlockFlag) != lengths.size()) return std::unexpected(FastError::BadLength);
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
  // Every word refills one state by 16 bits, and each symbol takes at most
  // one: more words than symbols can never all be read.
  if (s.words.size() / 2 > total) return std::unexpected(FastError::TrailingData);
  return s;
}

// One decoding table entry: the token in bits 0-4, slot - start in bits
// 5-17, the frequency in bits 18-30; bit 31 marks a context the stream gave
// no table for.
using Entry = std::uint32_t;
constexpr Entry kMissing = 1u << 31;

// The slot tables of every table of the stream, then one for all-zero bands
// (token 0 everywhere at full frequency: the state never moves) and one for
// missing contexts.
std::vector<Entry> slot_tables(std::span<const Table> tables) {
  std::vector<Entry> out((tables.size() + 2) * kTableTotal);
  for (std::size_t i = 0; i < tables.size(); ++i) {
    Entry* e = out.data() + i * kTableTotal;
    for (unsigned s = 0; s < tables[i].tokens; ++s) {
      const std::uint32_t f = tables[i].freq[s];
      for (std::uint32_t k = 0; k < f; ++k) e[tables[i].start[s] + k] = s | (k << 5) | (f << 18);
    }
  }
  Entry* zero = out.data() + tables.size() * kTableTotal;
  for (std::uint32_t k = 0; k < kTableTotal; ++k) zero[k] = (k << 5) | (kTableTotal << 18);
  std::fill_n(zero + kTableTotal, kTableTotal, kMissing);
  return out;
}

// Raw bits of a token: the sign (for nonzero tokens) and the low bits.
constexpr std::array<std::uint8_t, kTokens> make_raw_bits() {
  std::array<std::uint8_t, kTokens> t{};
  for (unsigned s = 1; s < kTokens; ++s) t[s] = static_cast<std::uint8_t>(1 + kShapes[s].extra_bits);
  return t;
}
constexpr auto kRawBits = make_raw_bits();

struct Lane {
  std::uint32_t x = kStateLow;
  std::size_t pos = 0;
  std::size_t band = 0;
  ContextState context;
  const Entry* const* ctx = nullptr;  // the band's slot table per context
};

// Everything the lanes share: the output, the raw bits (read from a copy
// with eight zero bytes after it, so a read never leaves the buffer) and
// the words, and the gathered faults.
struct Shared {
  std::int16_t* out;
  const std::uint8_t* raw;
  std::size_t raw_bits;
  std::size_t raw_pos = 0;
  const std::uint8_t* words;
  std::size_t word_bytes;
  std::size_t word_pos = 0;
  std::uint32_t missing = 0;    // bit 31: a context without a table was met
  std::uint32_t bad_token = 0;  // nonzero: a magnitude beyond 16 bits
};

inline void renormalise(Lane& l, Shared& s, std::uint32_t x, const std::uint8_t* zero_word) {
  if (x < kStateLow) {
    const std::uint8_t* src = s.word_pos < s.word_bytes ? s.words + s.word_pos : zero_word;
    x = (x << 16) | load_le16(src);
    s.word_pos += 2;
  }
  l.x = x;
}

// The sign and low bits of token t, the coefficient, and the context.
inline void finish(Lane& l, Shared& s, unsigned t) {
  const std::size_t at = std::min(s.raw_pos >> 3, s.raw_bits >> 3);
  std::uint64_t bits;
  std::memcpy(&bits, s.raw + at, 8);
  const unsigned n = kRawBits[t];
  const auto v = static_cast<std::uint32_t>((bits >> (s.raw_pos & 7)) & ((1u << n) - 1));
  s.raw_pos += n;
  const std::uint32_t sign = v & 1;
  const std::uint32_t m = kShapes[t].base + (v >> 1);
  s.bad_token |= static_cast<std::uint32_t>(m > 32767u + sign);
  s.out[l.pos++] = static_cast<std::int16_t>(static_cast<std::uint16_t>((m ^ (0u - sign)) + sign));
  l.context.push(kShapes[t].width);
}

inline void decode_one(Lane& l, Shared& s, const std::uint8_t* zero_word) {
  const Entry e = l.ctx[l.context.context()][l.x & (kTableTotal - 1)];
  const unsigned t = e & 0x1F;
  renormalise(l, s, ((e >> 18) & 0x1FFF) * (l.x >> kTableBits) + ((e >> 5) & 0x1FFF), zero_word);
  s.missing |= e;
  finish(l, s, t);
}

inline void decode_adaptive(Lane& l, Shared& s, AdaptiveModel& model, const std::uint8_t* zero_word) {
  const std::uint32_t slot = l.x & (kTableTotal - 1);
  const unsigned t = model.find(slot);
  renormalise(l, s, model.freq(t) * (l.x >> kTableBits) + slot - model.start(t), zero_word);
  model.update(t);
  finish(l, s, t);
}

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
    const Entry* const zero_table = slots.data() + models.tables.size() * kTableTotal;
    const Entry* const missing_table = zero_table + kTableTotal;

    const std::size_t k = lengths.size();
    std::vector<std::size_t> band_end(k);
    std::vector<std::array<const Entry*, kContexts>> contexts(k);
    std::size_t acc = 0;
    for (std::size_t b = 0; b < k; ++b) {
      band_end[b] = acc += lengths[b];
      for (unsigned c = 0; c < kContexts; ++c) {
        const std::uint16_t t = models.bands[b].table_of[c];
        contexts[b][c] = models.bands[b].mode == BandMode::Zero ? zero_table
                         : t == kNoTable                        ? missing_table
                                                                : slots.data() + std::size_t{t} * kTableTotal;
      }
    }

    std::vector<std::uint8_t> raw(sections->raw.size() + 8, 0);
    std::copy(sections->raw.begin(), sections->raw.end(), raw.begin());
    const std::uint8_t zero_word[2] = {0, 0};
    Shared shared{out.data(), raw.data(), 8 * sections->raw.size(), 0, sections->words.data(),
                  sections->words.size(), 0, 0, 0};

    std::vector<AdaptiveModel> adaptive;  // per band; used only by adaptive bands
    adaptive.reserve(k);
    for (std::size_t b = 0; b < k; ++b) adaptive.emplace_back(std::max(2u, unsigned{models.bands[b].tokens}));
    const auto is_adaptive = [&](const Lane& l) {
      return l.band < k && models.bands[l.band].mode == BandMode::Adaptive;
    };
    // One step of a lane, whatever its band's model.
    const auto step = [&](Lane& l) {
      if (is_adaptive(l)) {
        decode_adaptive(l, shared, adaptive[l.band], zero_word);
      } else {
        decode_one(l, shared, zero_word);
      }
    };

    const Segments seg = segments(total);
    std::array<Lane, kLanes> lanes{};
    const auto enter_band = [&](Lane& l) {
      while (l.band < k && band_end[l.band] <= l.pos) ++l.band;
      l.context = {};
      if (l.band < k) l.ctx = contexts[l.band].data();
    };
    for (unsigned j = 0; j < seg.lanes; ++j) {
      Lane& l = lanes[j];
      if (!sections->states.empty()) l.x = load_le32(sections->states.data() + 4 * j);
      l.pos = seg.begin(j);
      enter_band(l);
    }

    // Stretches where every lane stays in its band; the last lane may be
    // up to three coefficients shorter, and those last steps go one by one.
    const std::size_t common = seg.end(seg.lanes - 1) - seg.begin(seg.lanes - 1);
    for (std::size_t i = 0; i < common;) {
      std::size_t run = common - i;
      bool any_adaptive = false;
      for (unsigned j = 0; j < seg.lanes; ++j) {
        run = std::min(run, band_end[lanes[j].band] - lanes[j].pos);
        any_adaptive = any_adaptive || is_adaptive(lanes[j]);
      }
      if (any_adaptive) {
        for (std::size_t r = 0; r < run; ++r) {
          for (unsigned j = 0; j < seg.lanes; ++j) step(lanes[j]);
        }
      } else if (seg.lanes == kLanes) {
        for (std::size_t r = 0; r < run; ++r) {
          decode_one(lanes[0], shared, zero_word);
          decode_one(lanes[1], shared, zero_word);
          decode_one(lanes[2], shared, zero_word);
          decode_one(lanes[3], shared, zero_word);
        }
      } else {
        for (std::size_t r = 0; r < run; ++r) decode_one(lanes[0], shared, zero_word);
      }
      i += run;
      for (unsigned j = 0; j < seg.lanes; ++j) {
        if (lanes[j].pos == band_end[lanes[j].band]) enter_band(lanes[j]);
      }
    }
    for (std::size_t i = common; i < seg.seg; ++i) {
      for (unsigned j = 0; j + 1 < seg.lanes; ++j) {
        step(lanes[j]);
        if (lanes[j].pos == band_end[lanes[j].band]) enter_band(lanes[j]);
      }
    }

    if (shared.word_pos > shared.word_bytes || shared.raw_pos > shared.raw_bits) {
      return std::unexpected(FastError::Truncated);
    }
    if (shared.missing & kMissing) return std::unexpected(FastError::BadTable);
    if (shared.bad_token != 0) return std::unexpected(FastError::BadToken);
    if (shared.word_pos != shared.word_bytes || (shared.raw_pos + 7) / 8 != sections->raw.size()) {
      return std::unexpected(FastError::TrailingData);
    }
    // Padding bits of the last raw byte are zero in a stream the encoder made.
    if ((shared.raw_pos & 7) != 0 && (raw[shared.raw_pos >> 3] >> (shared.raw_pos & 7)) != 0) {
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
