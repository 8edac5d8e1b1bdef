// The fast coder's decoder: the sections are read and checked against the
// band lengths first; then two passes over each chunk of the output. The
// first runs the lanes side by side through the rANS words, in stretches
// where no lane crosses a band boundary, and leaves each coefficient's
// token in the output; the second reads the raw bits in decoding order and
// turns every token into its coefficient. Apart, each pass keeps its state
// in registers: the tokens need only the states and the contexts, the raw
// bits only their position.
// Faults found inside a stretch (a missing table, an impossible magnitude,
// words or raw bits running out) are gathered and reported once the lanes
// stop, so the loops have no exits.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "fast_adaptive.hpp"
#include "fast_coder.hpp"
#include "wide_clones.hpp"
#include "fast_model.hpp"
#include "fast_next_context.hpp"
#include "fast_raw_bits.hpp"
#include "fast_zero_blocks.hpp"
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

// The sections after the first byte (and the block maps): `stream` starts
// at the models, `lengths` are the coded (live) lengths.
std::expected<Sections, FastError> read_sections(std::span<const std::uint8_t> stream,
                                                 std::span<const std::size_t> lengths) {
  const std::size_t total = total_length(lengths);
  if (total == SIZE_MAX) return std::unexpected(FastError::BadLength);

  Sections s;
  BitReader bits(stream);
  auto models = read_models(bits, lengths);
  if (!models) return std::unexpected(models.error());
  if (!bits.rest_of_byte_is_zero()) return std::unexpected(FastError::BadTable);
  s.models = std::move(*models);

  std::size_t pos = bits.bytes_used(stream);
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

// Marks the view of a context the stream gave no table for.
constexpr std::uint32_t kMissing = 1u << 31;

// How the decoder finds a token: the token of every slot at the table's own
// precision (a table sent at 2^p has only 2^p distinct slots, slot >> shift),
// one byte each. The 40 tables of a speech signal of 70 000 coefficients
// then take 17 kB instead of the 650 kB of full 12-bit tables of codes,
// which cost more to fill and to keep in cache than they saved.
// Each table is one block, the tokens' frequencies, their starts, then the
// slots, so that a view is one pointer and a shift. Frequencies and starts
// apart, as 16-bit values, put the state update one load (not a load, a
// shift and a mask) after the token: that update is half of each lane's
// chain from one token to the next.
struct SlotView {
  const std::uint8_t* slots;
  std::uint32_t shift;  // bits 0-4; kMissing for a context without a table
  const std::uint16_t* freqs() const noexcept { return reinterpret_cast<const std::uint16_t*>(slots) - 2 * kTokens; }
  const std::uint16_t* starts() const noexcept { return reinterpret_cast<const std::uint16_t*>(slots) - kTokens; }
};

struct SlotTables {
  std::vector<std::uint16_t> pool;
  std::vector<SlotView> views;  // per table, then the all-zero and the missing one
};

SlotTables slot_tables(std::span<const Table> tables) {
  SlotTables s;
  std::vector<unsigned> shifts(tables.size() + 2, kTableBits);
  std::size_t halves = 0;
  for (std::size_t i = 0; i < tables.size(); ++i) {
    unsigned k = kTableBits;
    for (unsigned t = 0; t < tables[i].tokens; ++t) {
      if (tables[i].freq[t] != 0) k = std::min(k, static_cast<unsigned>(std::countr_zero(tables[i].freq[t])));
    }
    shifts[i] = k;
  }
  for (const unsigned k : shifts) halves += 2 * kTokens + ((kTableTotal >> k) + 1) / 2;
  s.pool.assign(halves, 0);
  s.views.resize(tables.size() + 2);
  std::size_t at = 0;
  for (std::size_t i = 0; i < tables.size() + 2; ++i) {
    std::uint16_t* freq = s.pool.data() + at;
    std::uint16_t* start = freq + kTokens;
    auto* slots = reinterpret_cast<std::uint8_t*>(start + kTokens);
    const unsigned k = shifts[i];
    if (i < tables.size()) {
      for (unsigned t = 0; t < tables[i].tokens; ++t) {
        freq[t] = tables[i].freq[t];
        start[t] = tables[i].start[t];
        std::memset(slots + (tables[i].start[t] >> k), static_cast<int>(t), tables[i].freq[t] >> k);
      }
    } else {
      // All-zero bands, and contexts without a table: token 0 at full
      // frequency, the state never moves.
      freq[0] = kTableTotal;
    }
    s.views[i] = {slots, k | (i == tables.size() + 1 ? kMissing : 0)};
    at += 2 * kTokens + ((kTableTotal >> k) + 1) / 2;
  }
  return s;
}

// The 16-bit words in reading order. Past their end a read takes the last
// word (or a zero) and the position still advances, which the checks after
// the lanes report; no read leaves the buffer.
struct Words {
  const std::uint8_t* data;
  std::size_t last;  // offset of the last word
  std::size_t pos = 0;
};

// With a branch: done without one, each lane's word waits for the lanes
// before it to know whether they took theirs, which serialises the four
// lanes (measured: 3.4 against 2.6 ns per token on speech, and faster on
// every signal tried, mostly-zero ones included). Taking the words instead
// from one read of the next four, each lane's shifted by how many the
// lanes before it took, waits on adds, not loads: faster on dense signals
// (7-12%), slower on most speech (2-5%), so the branch stays.
inline void refill(std::uint32_t& x, Words& w) noexcept {
  if (x < kStateLow) {
    x = (x << 16) | load_le16(w.data + std::min(w.pos, w.last));
    w.pos += 2;
  }
}

// One token through a static table: the state's slot gives the token, the
// token's frequency and start the next state, and the token with the
// lane's mean the next context.
[[gnu::always_inline]] inline void decode_token(std::uint32_t& x, LaneContext& ctx, const SlotView* views, std::int16_t& out,
                         Words& w, std::uint32_t& missing, const std::uint8_t* next) noexcept {
  const SlotView& v = views[ctx.context];
  const std::uint32_t slot = x & (kTableTotal - 1);
  const unsigned t = v.slots[slot >> (v.shift & 31)];
  missing |= v.shift;
  x = v.freqs()[t] * (x >> kTableBits) + slot - v.starts()[t];
  refill(x, w);
  out = static_cast<std::int16_t>(t);
  ctx.push(t, next);
}

// Forced inline: the token loops are clones for wider instruction sets, and
// GCC left this step (called from each of them) as one out-of-line copy for
// the baseline target, so every adaptive token was a call that spilled the
// four lanes' states and sent the word cursor through memory.
[[gnu::always_inline]] inline void decode_adaptive_token(std::uint32_t& x, AdaptiveModel& model, std::int16_t& out,
                                                         Words& w) noexcept {
  const std::uint32_t slot = x & (kTableTotal - 1);
  const auto found = model.find_and_update(slot);
  x = found.freq * (x >> kTableBits) + slot - found.start;
  refill(x, w);
  out = static_cast<std::int16_t>(found.token);
}

struct Lane {
  std::uint32_t x = kStateLow;
  std::size_t pos = 0;
  std::size_t band = 0;
  LaneContext context;
  const SlotView* views = nullptr;  // the band's view per context
};

// `run` tokens of each of four lanes that all stay in static-table bands;
// the lanes' state lives in locals for the stretch. The token loops take
// the plain path's clones (wide_clones.hpp): integer work only, the same
// tokens from each, and the x86-64-v4 clone's shifts by a register
// (BMI2's, which the AVX2 clone lacks) spare every token's slot shift the
// count register: about 3 % off a decode of speech.
QUILLMERE_WIDE_CLONES
void run_four(std::array<Lane, kLanes>& lanes, std::size_t run, std::int16_t* out, Words& words,
              std::uint32_t& missing) noexcept {
  Words w = words;
  std::uint32_t x0 = lanes[0].x, x1 = lanes[1].x, x2 = lanes[2].x, x3 = lanes[3].x;
  LaneContext c0 = lanes[0].context, c1 = lanes[1].context, c2 = lanes[2].context, c3 = lanes[3].context;
  const SlotView *v0 = lanes[0].views, *v1 = lanes[1].views, *v2 = lanes[2].views, *v3 = lanes[3].views;
  std::int16_t *o0 = out + lanes[0].pos, *o1 = out + lanes[1].pos, *o2 = out + lanes[2].pos,
               *o3 = out + lanes[3].pos;
  std::uint32_t miss = 0;
  const std::uint8_t* const next = next_context_table();
  for (std::size_t r = 0; r < run; ++r) {
    decode_token(x0, c0, v0, o0[r], w, miss, next);
    decode_token(x1, c1, v1, o1[r], w, miss, next);
    decode_token(x2, c2, v2, o2[r], w, miss, next);
    decode_token(x3, c3, v3, o3[r], w, miss, next);
  }
  words = w;
  missing |= miss;
  lanes[0].x = x0, lanes[1].x = x1, lanes[2].x = x2, lanes[3].x = x3;
  lanes[0].context = c0, lanes[1].context = c1, lanes[2].context = c2, lanes[3].context = c3;
  for (auto& l : lanes) l.pos += run;
}

// `run` tokens of each of four lanes where some lanes are in adaptive
// bands: bit j of `Adaptive` set for lane j. The lanes still go in
// decoding order (lanes in one band share its model), but each keeps its
// state in locals and its kind of model fixed for the stretch, where one
// generic step per token reloaded the lane from memory and tested its band.
template <unsigned Adaptive>
QUILLMERE_WIDE_CLONES void run_mixed(std::array<Lane, kLanes>& lanes, std::array<AdaptiveModel*, kLanes> models, std::size_t run,
               std::int16_t* out, Words& words, std::uint32_t& missing) noexcept {
  // The cursor in a local: the model's vector stores may alias anything
  // reached through a reference, which would keep it in memory.
  Words w = words;
  std::uint32_t x0 = lanes[0].x, x1 = lanes[1].x, x2 = lanes[2].x, x3 = lanes[3].x;
  LaneContext c0 = lanes[0].context, c1 = lanes[1].context, c2 = lanes[2].context, c3 = lanes[3].context;
  const SlotView *v0 = lanes[0].views, *v1 = lanes[1].views, *v2 = lanes[2].views, *v3 = lanes[3].views;
  std::int16_t *o0 = out + lanes[0].pos, *o1 = out + lanes[1].pos, *o2 = out + lanes[2].pos,
               *o3 = out + lanes[3].pos;
  std::uint32_t miss = 0;
  const std::uint8_t* const next = next_context_table();
  const auto one = [&]<unsigned J>(std::uint32_t& x, LaneContext& c, const SlotView* v, std::int16_t& o) {
    if constexpr (((Adaptive >> J) & 1) != 0) {
      decode_adaptive_token(x, *models[J], o, w);
    } else {
      decode_token(x, c, v, o, w, miss, next);
    }
  };
  for (std::size_t r = 0; r < run; ++r) {
    one.template operator()<0>(x0, c0, v0, o0[r]);
    one.template operator()<1>(x1, c1, v1, o1[r]);
    one.template operator()<2>(x2, c2, v2, o2[r]);
    one.template operator()<3>(x3, c3, v3, o3[r]);
  }
  words = w;
  missing |= miss;
  lanes[0].x = x0, lanes[1].x = x1, lanes[2].x = x2, lanes[3].x = x3;
  lanes[0].context = c0, lanes[1].context = c1, lanes[2].context = c2, lanes[3].context = c3;
  for (auto& l : lanes) l.pos += run;
}
using RunMixed = void (*)(std::array<Lane, kLanes>&, std::array<AdaptiveModel*, kLanes>, std::size_t,
                          std::int16_t*, Words&, std::uint32_t&) noexcept;
template <std::size_t... A>
constexpr std::array<RunMixed, sizeof...(A)> run_mixed_table(std::index_sequence<A...>) {
  return {run_mixed<static_cast<unsigned>(A)>...};
}
constexpr auto kRunMixed = run_mixed_table(std::make_index_sequence<1u << kLanes>{});

QUILLMERE_WIDE_CLONES
void run_one(Lane& l, std::size_t run, std::int16_t* out, Words& words, std::uint32_t& missing) noexcept {
  Words w = words;
  std::uint32_t x = l.x;
  LaneContext c = l.context;
  std::int16_t* o = out + l.pos;
  const std::uint8_t* const next = next_context_table();
  for (std::size_t r = 0; r < run; ++r) decode_token(x, c, l.views, o[r], w, missing, next);
  words = w;
  l.x = x;
  l.context = c;
  l.pos += run;
}

// The first byte, and the block maps if it announces them: what is left
// is coded as `lengths` (the live lengths of mapped bands).
struct Framing {
  std::span<const std::uint8_t> body;
  std::optional<BlockMaps> maps;
  std::vector<std::size_t> live;
};

std::expected<Framing, FastError> read_framing(std::span<const std::uint8_t> stream,
                                               std::span<const std::size_t> lengths) {
  if (stream.empty()) return std::unexpected(FastError::Truncated);
  if (total_length(lengths) == SIZE_MAX) return std::unexpected(FastError::BadLength);
  const std::uint8_t first = stream[0] & ~kSideBlockFlag;
  Framing f;
  if (lengths.size() <= kMaxZeroBlockBands && (first & kZeroBlockForm) != 0) {
    if ((first & ~kZeroBlockForm) != lengths.size()) return std::unexpected(FastError::BadLength);
    std::size_t used = 0;
    auto maps = read_block_maps(stream.subspan(1), lengths, used);
    if (!maps) return std::unexpected(maps.error());
    f.live.reserve(lengths.size());
    for (const BandMap& m : maps->bands) f.live.push_back(m.live);
    f.maps = std::move(*maps);
    f.body = stream.subspan(1 + used);
    return f;
  }
  if (first != lengths.size()) return std::unexpected(FastError::BadLength);
  f.live.assign(lengths.begin(), lengths.end());
  f.body = stream.subspan(1);
  return f;
}

std::expected<void, FastError> decode_body(const Sections& sections, std::span<const std::size_t> lengths,
                                           std::span<std::int16_t> out);

std::expected<void, FastError> decode_body(std::span<const std::uint8_t> stream,
                                           std::span<const std::size_t> lengths,
                                           std::span<std::int16_t> out) {
  auto sections = read_sections(stream, lengths);
  if (!sections) return std::unexpected(sections.error());
  return decode_body(*sections, lengths, out);
}

}  // namespace

std::expected<void, FastError> decode_coeffs_checked(std::span<const std::uint8_t> stream,
                                                     std::span<const std::size_t> lengths, OutputSource output,
                                                     void* context) {
  // The output the source gave, kept to spread the live blocks over.
  struct Taken {
    OutputSource source;
    void* context;
    std::span<std::int16_t> out;
  } taken{output, context, {}};
  const auto take = [](void* c, std::size_t n) {
    auto& t = *static_cast<Taken*>(c);
    return t.out = t.source(t.context, n);
  };
  std::optional<BlockMaps> maps;
  auto done = decode_live_checked(stream, lengths, take, &taken, maps);
  if (!done) return done;
  if (maps) expand_bands(*maps, lengths, taken.out);
  return {};
}

std::expected<void, FastError> decode_live_checked(std::span<const std::uint8_t> stream,
                                                   std::span<const std::size_t> lengths, OutputSource output,
                                                   void* context, std::optional<BlockMaps>& maps) {
  maps.reset();
  try {
    auto f = read_framing(stream, lengths);
    if (!f) return std::unexpected(f.error());
    auto s = read_sections(f->body, f->live);
    if (!s) return std::unexpected(s.error());
    const std::span<std::int16_t> out = output(context, total_length(lengths));
    if (out.size() != total_length(lengths)) return std::unexpected(FastError::BadLength);
    if (!f->maps) return decode_body(*s, lengths, out);
    auto done = decode_body(*s, f->live, out.first(total_length(f->live)));
    if (!done) return done;
    maps = std::move(f->maps);
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(FastError::OutOfMemory);
  }
}

std::expected<void, FastError> preflight(std::span<const std::uint8_t> stream,
                                         std::span<const std::size_t> lengths) {
  try {
    auto f = read_framing(stream, lengths);
    if (!f) return std::unexpected(f.error());
    auto s = read_sections(f->body, f->live);
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
    auto f = read_framing(stream, lengths);
    if (!f) return std::unexpected(f.error());
    if (out.size() != total_length(lengths)) return std::unexpected(FastError::BadLength);
    if (!f->maps) return decode_body(f->body, lengths, out);
    auto done = decode_body(f->body, f->live, out.first(total_length(f->live)));
    if (!done) return done;
    expand_bands(*f->maps, lengths, out);
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(FastError::OutOfMemory);
  }
}

namespace {

// The tokens, raw bits and checks of the body, into `out` (the coded
// lengths, back to back).
std::expected<void, FastError> decode_body(const Sections& read, std::span<const std::size_t> lengths,
                                           std::span<std::int16_t> out) {
  {
    const Sections* const sections = &read;
    const std::size_t total = total_length(lengths);
    if (out.size() != total) return std::unexpected(FastError::BadLength);
    const Models& models = sections->models;
    const SlotTables tables = slot_tables(models.tables);
    const SlotView* const zero_view = tables.views.data() + models.tables.size();
    const SlotView* const missing_view = zero_view + 1;

    const std::size_t k = lengths.size();
    std::vector<std::size_t> band_end(k);
    std::vector<std::array<SlotView, kContexts>> contexts(k);
    std::size_t acc = 0;
    for (std::size_t b = 0; b < k; ++b) {
      band_end[b] = acc += lengths[b];
      for (unsigned c = 0; c < kContexts; ++c) {
        const std::uint16_t t = models.bands[b].table_of[c];
        contexts[b][c] = models.bands[b].mode == BandMode::Zero ? *zero_view
                         : t == kNoTable                        ? *missing_view
                                                                : tables.views[t];
      }
    }

    const std::uint8_t zero_word[2] = {0, 0};
    const auto& wsec = sections->words;
    Words words{wsec.size() >= 2 ? wsec.data() : zero_word, wsec.size() >= 2 ? wsec.size() - 2 : 0};
    std::uint32_t missing = 0;

    std::vector<AdaptiveModel> adaptive;  // per band; used only by adaptive bands
    adaptive.reserve(k);
    for (std::size_t b = 0; b < k; ++b) adaptive.emplace_back(std::max(2u, unsigned{models.bands[b].tokens}));
    const auto is_adaptive = [&](const Lane& l) {
      return l.band < k && models.bands[l.band].mode == BandMode::Adaptive;
    };
    // One token of a lane, whatever its band's model.
    std::int16_t* const o = out.data();
    const auto step = [&](Lane& l) {
      if (is_adaptive(l)) {
        decode_adaptive_token(l.x, adaptive[l.band], o[l.pos++], words);
      } else {
        decode_token(l.x, l.context, l.views, o[l.pos++], words, missing, next_context_table());
      }
    };

    const Segments seg = segments(total);
    std::array<Lane, kLanes> lanes{};
    const auto enter_band = [&](Lane& l) {
      while (l.band < k && band_end[l.band] <= l.pos) ++l.band;
      l.context = {};
      if (l.band < k) l.views = contexts[l.band].data();
    };
    for (unsigned j = 0; j < seg.lanes; ++j) {
      Lane& l = lanes[j];
      if (!sections->states.empty()) l.x = load_le32(sections->states.data() + 4 * j);
      l.pos = seg.begin(j);
      enter_band(l);
    }

    // The raw bits, in the same order, a chunk at a time right after the
    // tokens of the chunk: while those are still in cache (on a long signal
    // a second pass over the whole output would read it back from memory).
    RawBits raw{sections->raw.data(), sections->raw.size()};
    // In blocks whose raw bits cannot reach the end of the section, reads
    // go unchecked. Near the end the reader moves to a copy of the last
    // bytes followed by zeros (what a checked read gives past the end), so
    // that a stream whose raw section is short, or the last blocks of any,
    // still take the unchecked (for four lanes, vector) path: a unit at a
    // coarse bound has a raw section of a few hundred bytes, and read it
    // all a bit at a time through the checked read.
    constexpr std::size_t kBlock = 64;
    const std::size_t per_block = (kBlock * seg.lanes * kMaxRawBits) / 8 + 8;
    constexpr std::size_t kMostPerBlock = (kBlock * kLanes * kMaxRawBits) / 8 + 8;
    std::array<std::uint8_t, 2 * kMostPerBlock> tail{};
    std::size_t moved = 0;  // bytes the reader's data is ahead of the section's
    bool in_tail = false;
    const auto finish_lanes = [&](std::size_t from, std::size_t to) {
      for (std::size_t i = from; i < to;) {
        const std::size_t end = std::min(to, i + kBlock);
        if (!in_tail && raw.size - std::min(raw.size, raw.pos >> 3) < per_block) {
          // Fewer than per_block bytes are left from the byte in hand: they
          // and per_block zeros fit the copy. Reads past the section's end
          // (a damaged stream) still find zeros or take the checked path.
          moved = std::min(raw.size, raw.pos >> 3);
          std::memcpy(tail.data(), raw.data + moved, raw.size - moved);
          raw.data = tail.data();
          raw.size = tail.size();
          raw.pos -= 8 * moved;
          in_tail = true;
        }
        const bool near_end = raw.size - std::min(raw.size, raw.pos >> 3) < per_block;
        if (seg.lanes == kLanes) {
          std::int16_t *o0 = o + i, *o1 = o0 + seg.seg, *o2 = o1 + seg.seg, *o3 = o2 + seg.seg;
          const std::size_t n = end - i;
          if (near_end) {
            for (std::size_t r = 0; r < n; ++r) {
              finish<true>(o0[r], raw), finish<true>(o1[r], raw), finish<true>(o2[r], raw), finish<true>(o3[r], raw);
            }
          } else {
            finish_four_lanes(o0, seg.seg, n, raw);
          }
        } else if (near_end) {
          for (std::size_t r = i; r < end; ++r) finish<true>(o[r], raw);
        } else {
          for (std::size_t r = i; r < end; ++r) finish<false>(o[r], raw);
        }
        i = end;
      }
    };

    // Stretches where every lane stays in its band; the last lane may be
    // up to three coefficients shorter, and those last steps go one by one.
    constexpr std::size_t kChunk = 2048;  // per lane: 16 KiB of tokens for four
    const std::size_t common = seg.end(seg.lanes - 1) - seg.begin(seg.lanes - 1);
    for (std::size_t i = 0; i < common;) {
      std::size_t run = std::min(common - i, kChunk);
      unsigned adaptive_lanes = 0;
      for (unsigned j = 0; j < seg.lanes; ++j) {
        run = std::min(run, band_end[lanes[j].band] - lanes[j].pos);
        adaptive_lanes |= unsigned{is_adaptive(lanes[j])} << j;
      }
      if (adaptive_lanes != 0 && seg.lanes == kLanes) {
        std::array<AdaptiveModel*, kLanes> lane_models{};
        for (unsigned j = 0; j < kLanes; ++j) {
          if (((adaptive_lanes >> j) & 1) != 0) lane_models[j] = &adaptive[lanes[j].band];
        }
        kRunMixed[adaptive_lanes](lanes, lane_models, run, o, words, missing);
      } else if (adaptive_lanes != 0) {
        for (std::size_t r = 0; r < run; ++r) step(lanes[0]);
      } else if (seg.lanes == kLanes) {
        run_four(lanes, run, o, words, missing);
      } else {
        run_one(lanes[0], run, o, words, missing);
      }
      finish_lanes(i, i + run);
      i += run;
      for (unsigned j = 0; j < seg.lanes; ++j) {
        if (lanes[j].pos == band_end[lanes[j].band]) enter_band(lanes[j]);
      }
    }
    if (in_tail) {
      raw.data = sections->raw.data();
      raw.size = sections->raw.size();
      raw.pos += 8 * moved;
    }
    for (std::size_t i = common; i < seg.seg; ++i) {
      for (unsigned j = 0; j + 1 < seg.lanes; ++j) {
        step(lanes[j]);
        finish<true>(o[lanes[j].pos - 1], raw);
        if (lanes[j].pos == band_end[lanes[j].band]) enter_band(lanes[j]);
      }
    }

    if (words.pos > wsec.size() || raw.pos > 8 * sections->raw.size()) {
      return std::unexpected(FastError::Truncated);
    }
    if (missing & kMissing) return std::unexpected(FastError::BadTable);
    if (raw.over >= 0x8000) return std::unexpected(FastError::BadToken);
    if (words.pos != wsec.size() || (raw.pos + 7) / 8 != sections->raw.size()) {
      return std::unexpected(FastError::TrailingData);
    }
    // Padding bits of the last raw byte are zero in a stream the encoder made.
    if ((raw.pos & 7) != 0 && (raw.data[raw.pos >> 3] >> (raw.pos & 7)) != 0) {
      return std::unexpected(FastError::TrailingData);
    }
    for (unsigned j = 0; j < seg.lanes; ++j) {
      if (lanes[j].x != kStateLow) return std::unexpected(FastError::BadState);
    }
    return {};
  }
}

}  // namespace
}  // namespace quillmere::fast
