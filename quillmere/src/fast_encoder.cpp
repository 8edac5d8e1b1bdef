// The fast coder's encoder. All coefficients are known up front, so the
// work is split into passes that each keep little state: one vectorised
// pass describes every coefficient (token, context width, raw bits), the
// raw bits are written from those descriptions in decoding order, a pass
// over the lanes side by side makes the contexts, symbol words and token
// counts; then the band models, the codes of adaptive bands, and the rANS
// pass backwards through the decoding order. The work buffers stay with
// the thread between calls (work_buffer.hpp).
#include "fast_coder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "fast_adaptive.hpp"
#include "fast_model.hpp"
#include "fast_reciprocal.hpp"
#include "fast_zero_blocks.hpp"
#include "vector_clones.hpp"
#include "wide_clones.hpp"
#include "quillmere/byte_io.hpp"
#include "quillmere/unset_on_growth.hpp"
#include "work_buffer.hpp"

namespace quillmere::fast {
namespace {

void put_leb128(std::vector<std::uint8_t>& out, std::size_t v) {
  do {
    const auto byte = static_cast<std::uint8_t>(v & 0x7F);
    v >>= 7;
    out.push_back(static_cast<std::uint8_t>(byte | (v != 0 ? 0x80 : 0)));
  } while (v != 0);
}

// A coefficient's symbol word: key * kTokens + token, the key being
// band * kContexts + context (below 127 * 32). It indexes the token counts
// of its lane and, once the models are chosen, the codes.
constexpr unsigned kKeyShift = 5;

// A symbol's code: start | frequency << 16. The identity code (the whole
// range) is what all-zero bands, which code nothing, get.
constexpr std::uint32_t kIdentityCode = kTableTotal << 16;

// The raw bits in decoding order, without a branch: eight bytes are stored
// every time and the whole bytes kept, so at most seven bits wait in the
// accumulator. One put takes up to 56 bits, so the four lanes' bits of one
// step (at most 15 each, 60 only when all four are -32768) mostly go in
// together and the chain from one put to the next is one per step instead
// of one per coefficient. The buffer needs eight bytes beyond what it keeps.
struct RawWriter {
  std::uint8_t* p;
  std::uint64_t acc = 0;
  unsigned fill = 0;

  // n <= 56, and value < 2^n.
  void put(std::uint64_t value, unsigned n) noexcept {
    acc |= value << fill;
    fill += n;
    std::memcpy(p, &acc, sizeof acc);  // little-endian hosts, as byte_io.hpp
    p += fill >> 3;
    acc >>= fill & ~7u;
    fill &= 7;
  }
  void flush() noexcept {
    if (fill > 0) *p++ = static_cast<std::uint8_t>(acc);
  }
};

// What each coefficient is apart from its context, made for all of them
// up front in one pass without a branch or a lookup, which compilers
// vectorise: its raw bits (the sign for nonzero tokens, then the low bits;
// token 0 has none) as value | count << 16, and its token | the bit width
// its lane's context goes on with << 8.
//
// The bit width comes from the exponent of the magnitude as a float, exact
// for every int16 magnitude, and so does 2^(width - 2), the weight of the
// lower of the leading two bits. Magnitudes below 4 are their own token,
// which the formula for larger ones would get wrong, so both are made and
// one kept; masks rather than conditionals, which compilers turn into
// branches. All of it is exact, so the AVX2 clone writes the same values.
constexpr unsigned kRawCountShift = 16;
constexpr unsigned kWidthShift = 8;

QUILLMERE_WIDE_CLONES
void describe(const std::int16_t* in, std::size_t n, std::uint32_t* bits, std::uint16_t* shape) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t w = in[i];
    const auto m = static_cast<std::uint32_t>(w < 0 ? -w : w);
    const auto f = std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(m | 3)));
    const std::uint32_t width = (f >> 23) - 126;  // bit_width(m | 3) >= 2
    const auto low = static_cast<std::uint32_t>(
        static_cast<std::int32_t>(std::bit_cast<float>((f & 0x7F800000u) - 0x00800000u)));  // 2^(width-2)
    const std::uint32_t large = 2 * width - 2 + static_cast<std::uint32_t>((m & low) != 0);
    const std::uint32_t extra = m & (low - 1);
    const std::uint32_t small = 0u - static_cast<std::uint32_t>(m < 4);
    const std::uint32_t token = (m & small) | (large & ~small);
    // Widths below 4 for the context: 0, 1, 2, 2 (bit_width of m).
    const std::uint32_t small_width = m - static_cast<std::uint32_t>(m == 3);
    const std::uint32_t ctx_width = (small_width & small) | (width & ~small);
    const std::uint32_t nonzero = 0u - static_cast<std::uint32_t>(m != 0);
    bits[i] = (static_cast<std::uint32_t>(w < 0) | (extra << 1)) | (((width - 1) & nonzero) << kRawCountShift);
    shape[i] = static_cast<std::uint16_t>(token | (ctx_width << kWidthShift));
  }
}

// One coefficient's symbol word and count from its shape and its lane's
// context, which then moves on.
inline void count_one(std::uint16_t shape, std::uint32_t key_base, ContextState& ctx, std::uint32_t& sym,
                      std::uint32_t* tally) noexcept {
  const std::uint32_t s = ((key_base + ctx.context()) << kKeyShift) | (shape & (kTokens - 1));
  sym = s;
  ++tally[s];
  ctx.push(shape >> kWidthShift);
}

struct Lane {
  std::size_t pos = 0;
  std::size_t band = 0;
  ContextState context;
  std::uint32_t key_base = 0;
  std::uint32_t* tally = nullptr;  // this lane's counts
};

// The context of ContextState in the form the four-lane loop wants: the
// last width kept times 256 (the shape's high byte as it is), so that the
// level's index is one shift, (last * 256 + 3 * mean + 128) / 256, and the
// table gives the level already placed in the symbol word.
constexpr std::array<std::uint32_t, kMaxWeighted + 1> make_level_keys() {
  std::array<std::uint32_t, kMaxWeighted + 1> t{};
  for (unsigned q = 0; q <= kMaxWeighted; ++q) t[q] = std::uint32_t{2} * kContextOfWeighted[q] << kKeyShift;
  return t;
}
constexpr auto kLevelKey = make_level_keys();

struct FastContext {
  std::int32_t last256;  // last width * 256
  std::int32_t mean;     // ContextState::mean, never negative
  explicit FastContext(const ContextState& c)
      : last256(static_cast<std::int32_t>(c.last << 8)), mean(c.mean) {}
  ContextState state() const { return {static_cast<unsigned>(last256) >> 8, mean}; }

  // The symbol word of a shape, given kLevelKey with its band's
  // key_base << kKeyShift added to every entry.
  std::uint32_t symbol(std::uint32_t shape, const std::uint32_t* level_key) noexcept {
    const auto rise = static_cast<std::uint32_t>(last256 > mean) << kKeyShift;
    const std::uint32_t s = level_key[static_cast<std::uint32_t>(last256 + 3 * mean + 128) >> 8] + rise +
                            (shape & (kTokens - 1));
    last256 = static_cast<std::int32_t>(shape & (0xFFu << kWidthShift));
    mean += (last256 - mean) >> 4;  // arithmetic shift: floor
    return s;
  }
};

// Lane j's copy of the counts lies kLaneTally * j after lane 0's when the
// bands are few enough (compress() makes at most nine), so that one
// register addresses all four copies; more bands take a stride of their own.
constexpr std::size_t kFixedTallyBands = 16;
constexpr std::size_t kLaneTally = kFixedTallyBands * kContexts * kTokens;

// `run` coefficients of each of four lanes that all stay in their bands.
// The lanes' segments lie `seg` apart, so one position and that distance
// (in bytes) address all four lanes' shapes and symbols; each lane's key
// is folded into its own copy of the level table, kept on the stack. With
// eight pointers, four keys and four counts the loop held more than the
// registers and reloaded some every step. Everything the loop reads of the
// lanes is copied into locals first, so that the stores to the symbols and
// counts cannot make it reload them. Fixed: the counts' copies lie
// kLaneTally apart (else lanes[j].tally).
template <bool Fixed>
void run_four(std::array<Lane, kLanes>& lanes, std::size_t run, std::size_t seg, const std::uint16_t* shape,
              std::uint32_t* sym) noexcept {
  std::uint32_t level_key[kLanes][kMaxWeighted + 1];
  for (unsigned j = 0; j < kLanes; ++j) {
    const std::uint32_t key = lanes[j].key_base << kKeyShift;
    for (unsigned q = 0; q <= kMaxWeighted; ++q) level_key[j][q] = kLevelKey[q] + key;
  }
  FastContext c0(lanes[0].context), c1(lanes[1].context), c2(lanes[2].context), c3(lanes[3].context);
  std::uint32_t* const t0 = lanes[0].tally;
  std::uint32_t *const t1 = Fixed ? t0 + kLaneTally : lanes[1].tally,
                       *const t2 = Fixed ? t0 + 2 * kLaneTally : lanes[2].tally,
                       *const t3 = Fixed ? t0 + 3 * kLaneTally : lanes[3].tally;
  // Bytes between neighbouring lanes' shapes; their symbols lie twice that apart.
  const std::size_t d = seg * sizeof(std::uint16_t), d3 = 3 * d;
  const auto* h = reinterpret_cast<const unsigned char*>(shape + lanes[0].pos);
  auto* s = reinterpret_cast<unsigned char*>(sym + lanes[0].pos);
  const auto shape_at = [](const unsigned char* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return std::uint32_t{v};
  };
  const auto put = [](unsigned char* p, std::uint32_t v) { std::memcpy(p, &v, sizeof v); };
  for (const unsigned char* const end = h + run * sizeof(std::uint16_t); h != end;
       h += sizeof(std::uint16_t), s += sizeof(std::uint32_t)) {
    const std::uint32_t a = c0.symbol(shape_at(h), level_key[0]), b = c1.symbol(shape_at(h + d), level_key[1]),
                        c = c2.symbol(shape_at(h + 2 * d), level_key[2]), e = c3.symbol(shape_at(h + d3), level_key[3]);
    put(s, a), put(s + 2 * d, b), put(s + 4 * d, c), put(s + 2 * d3, e);
    ++t0[a], ++t1[b], ++t2[c], ++t3[e];
  }
  lanes[0].context = c0.state(), lanes[1].context = c1.state(), lanes[2].context = c2.state(),
  lanes[3].context = c3.state();
  for (auto& l : lanes) l.pos += run;
}

// Describes positions [from, to) of the bands laid end to end: the raw
// bits into `bits` (from its start), the shapes into `shape` at their
// positions. `band` is a cursor that only moves forward.
void describe_range(std::span<const std::span<const std::int16_t>> bands, const std::vector<std::size_t>& band_end,
                    std::size_t& band, std::size_t from, std::size_t to, std::uint32_t* bits,
                    std::uint16_t* shape) noexcept {
  while (from < to) {
    while (band_end[band] <= from) ++band;
    const std::size_t start = band_end[band] - bands[band].size();
    const std::size_t end = std::min(to, band_end[band]);
    describe(bands[band].data() + (from - start), end - from, bits, shape + from);
    bits += end - from;
    from = end;
  }
}

// The four lanes' raw bits of each of n steps as one value (lane 0's in
// the lowest bits) and its bit count: at most 15 bits per lane, so at most
// 60 in all, which always fit. A pass of its own without a branch, which
// the AVX2 clone vectorises (its variable 64-bit shifts), so that the loop
// that appends the bits does nothing else.
QUILLMERE_WIDE_CLONES
void join_steps(const std::uint32_t* b0, const std::uint32_t* b1, const std::uint32_t* b2, const std::uint32_t* b3,
                std::size_t n, std::uint64_t* value, std::uint8_t* count) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t a = b0[i], b = b1[i], c = b2[i], d = b3[i];
    const std::uint64_t na = a >> kRawCountShift, nb = b >> kRawCountShift, nc = c >> kRawCountShift;
    const std::uint64_t nab = na + nb, ncd = nc + (d >> kRawCountShift);
    const std::uint64_t ab = std::uint64_t{a & 0xFFFF} | (std::uint64_t{b & 0xFFFF} << na);
    const std::uint64_t cd = std::uint64_t{c & 0xFFFF} | (std::uint64_t{d & 0xFFFF} << nc);
    value[i] = ab | (cd << nab);
    count[i] = static_cast<std::uint8_t>(nab + ncd);
  }
}

// The raw bits of steps [i0, i1) in decoding order from their descriptions
// (lane j's at lane_bits + j * stride). With four lanes the bits of one
// step go in one put unless they exceed what a put takes (only when most
// of the four are near -32768), and then in two.
void write_raw(const std::uint32_t* lane_bits, std::size_t stride, const Segments& seg, std::size_t i0,
               std::size_t i1, std::uint64_t* joined, std::uint8_t* joined_count, RawWriter& raw) noexcept {
  const auto put = [&raw](std::uint32_t b) { raw.put(b & 0xFFFF, b >> kRawCountShift); };
  const std::size_t common = seg.end(seg.lanes - 1) - seg.begin(seg.lanes - 1);
  const std::size_t both = std::min(i1, common);
  if (seg.lanes == kLanes) {
    if (i0 < both) {
      join_steps(lane_bits, lane_bits + stride, lane_bits + 2 * stride, lane_bits + 3 * stride, both - i0, joined,
                 joined_count);
    }
    for (std::size_t i = 0; i + i0 < both; ++i) {
      const std::uint64_t v = joined[i];
      const unsigned n = joined_count[i];
      if (n <= 56) [[likely]] {
        raw.put(v, n);
      } else {
        raw.put(v & 0xFFFFFFFFu, 32);
        raw.put(v >> 32, n - 32);
      }
    }
  } else {
    for (std::size_t i = i0; i < both; ++i) put(lane_bits[i - i0]);
  }
  for (std::size_t i = std::max(i0, common); i < i1; ++i) {
    for (unsigned j = 0; j + 1 < seg.lanes; ++j) put(lane_bits[j * stride + (i - i0)]);
  }
}

// The lanes' copies of the token counts, all zero between calls: a coding
// zeroes the rows it counted into as it sums them, where clearing them
// before counting had been a pass of memset over tens of kilobytes in
// every coding (most of them rows of short bands with few counts).
class ZeroedCounts {
 public:
  // At least n zero elements; may throw std::bad_alloc. Until given back,
  // nothing is known of them.
  std::uint32_t* take(std::size_t n) {
    if (n > zero_) {
      zero_ = 0;
      data_.reset();
      data_ = std::make_unique<std::uint32_t[]>(n);  // value-initialised: zeros
      capacity_ = zero_ = n;
    }
    taken_ = zero_;
    zero_ = 0;
    return data_.get();
  }
  // All zero again (the caller cleared what it wrote).
  void give_back() noexcept { zero_ = taken_; }
  void release_if_large() noexcept {
    if (capacity_ * sizeof(std::uint32_t) > kKeepBytes) {
      data_.reset();
      capacity_ = zero_ = taken_ = 0;
    }
  }

 private:
  std::unique_ptr<std::uint32_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t zero_ = 0;   // leading elements known to be zero
  std::size_t taken_ = 0;  // zero_ at the last take
};

// What a thread keeps between calls.
struct Scratch {
  WorkBuffer<std::uint32_t> bits;
  WorkBuffer<std::uint16_t> shape;
  WorkBuffer<std::uint32_t> sym;
  ZeroedCounts tally;
  WorkBuffer<std::uint32_t> codes;
  WorkBuffer<std::uint32_t> adaptive;  // the adaptive model's trial codes
  WorkBuffer<std::uint8_t> raw;
  WorkBuffer<std::uint16_t> words;
  WorkBuffer<std::int16_t> live;  // mapped bands' live blocks

  void release_large() noexcept {
    live.release_if_large();
    bits.release_if_large();
    shape.release_if_large();
    sym.release_if_large();
    tally.release_if_large();
    codes.release_if_large();
    adaptive.release_if_large();
    raw.release_if_large();
    words.release_if_large();
  }
};

thread_local Scratch scratch;

// Releases the large buffers however the encoder leaves.
struct ReleaseOnExit {
  ~ReleaseOnExit() { scratch.release_large(); }
};

// Everything after the first byte and the block maps, which `head`
// already holds: the models, the raw bits, the states and the words of
// these bands (the live blocks of mapped ones).
std::vector<std::uint8_t> encode_body(std::span<const std::span<const std::int16_t>> bands,
                                      std::vector<std::uint8_t> head) {
  const std::size_t k = bands.size();
  std::size_t total = 0;
  for (const auto& b : bands) total += b.size();
  std::vector<std::size_t> band_end(k);
  for (std::size_t b = 0, acc = 0; b < k; ++b) band_end[b] = acc += bands[b].size();

  const Segments seg = segments(total);
  // Descriptions and raw bits a stretch of steps at a time, so that the
  // raw bits' descriptions stay in cache between the two; the shapes are
  // kept for the context pass.
  constexpr std::size_t kStretch = 2048;
  std::uint32_t* const bits = scratch.bits.take(kLanes * kStretch);
  std::uint64_t joined[kStretch];
  std::uint8_t joined_count[kStretch];
  std::uint16_t* const shape = scratch.shape.take(total);
  std::uint8_t* const raw_start = scratch.raw.take(2 * total + 8);
  RawWriter raw{raw_start};
  std::array<std::size_t, kLanes> cursor{};
  for (std::size_t i0 = 0; i0 < seg.seg; i0 += kStretch) {
    const std::size_t i1 = std::min(seg.seg, i0 + kStretch);
    for (unsigned j = 0; j < seg.lanes; ++j) {
      const std::size_t from = seg.begin(j) + i0, to = std::min(seg.begin(j) + i1, seg.end(j));
      describe_range(bands, band_end, cursor[j], from, to, bits + j * kStretch, shape);
    }
    write_raw(bits, kStretch, seg, i0, i1, joined, joined_count, raw);
  }
  raw.flush();
  const auto raw_len = static_cast<std::size_t>(raw.p - raw_start);

  // Symbols and counts in decoding order: the lanes side by side, in
  // stretches where none crosses a band boundary. Each lane counts into
  // its own copy of the counts, so that neighbouring increments of one
  // counter do not wait on each other; the copies are summed afterwards.
  std::uint32_t* const sym = scratch.sym.take(total);
  const std::size_t keys_total = k * kContexts;
  const std::size_t tally_size = keys_total * kTokens;
  const bool fixed_tally = k <= kFixedTallyBands;
  const std::size_t lane_tally = fixed_tally ? kLaneTally : tally_size;
  std::uint32_t* const tally = scratch.tally.take(seg.lanes * lane_tally);
  // A lane only ever counts into the rows of the bands its segment meets
  // (most bands lie in one lane), so only those are summed and cleared.
  std::array<std::size_t, kLanes> first_band{}, end_band{};
  for (unsigned j = 0; j < seg.lanes; ++j) {
    std::size_t b = 0;
    while (b < k && band_end[b] <= seg.begin(j)) ++b;
    first_band[j] = b;
    while (b < k && band_end[b] - bands[b].size() < seg.end(j)) ++b;
    end_band[j] = std::max(b, first_band[j]);
  }

  std::array<Lane, kLanes> lanes{};
  const auto enter_band = [&](Lane& l) {
    while (l.band < k && band_end[l.band] <= l.pos) ++l.band;
    l.context = {};
    if (l.band < k) l.key_base = static_cast<std::uint32_t>(l.band * kContexts);
  };
  const auto step = [&](Lane& l) {
    count_one(shape[l.pos], l.key_base, l.context, sym[l.pos], l.tally);
    ++l.pos;
  };
  for (unsigned j = 0; j < seg.lanes; ++j) {
    lanes[j].pos = seg.begin(j);
    lanes[j].tally = tally + j * lane_tally;
    enter_band(lanes[j]);
  }
  const std::size_t common = seg.end(seg.lanes - 1) - seg.begin(seg.lanes - 1);
  for (std::size_t i = 0; i < common;) {
    std::size_t run = common - i;
    for (unsigned j = 0; j < seg.lanes; ++j) run = std::min(run, band_end[lanes[j].band] - lanes[j].pos);
    if (seg.lanes == kLanes) {
      if (fixed_tally) {
        run_four<true>(lanes, run, seg.seg, shape, sym);
      } else {
        run_four<false>(lanes, run, seg.seg, shape, sym);
      }
    } else {
      for (std::size_t r = 0; r < run; ++r) step(lanes[0]);
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

  // Each band's counts are set by the first lane that met it and added to
  // by the next; a band no lane met (an empty one) counts nothing.
  UnsetVector<BandCounts> counts(k);
  std::size_t set_to = 0;  // bands below this have their counts
  for (unsigned j = 0; j < seg.lanes; ++j) {
    for (; set_to < first_band[j]; ++set_to) counts[set_to] = BandCounts{};
    for (std::size_t key = first_band[j] * kContexts; key < end_band[j] * kContexts; ++key) {
      auto& row = counts[key / kContexts][key % kContexts];
      std::uint32_t* const copy = tally + j * lane_tally + key * kTokens;
      if (key / kContexts >= set_to) {
        for (unsigned t = 0; t < kTokens; ++t) row[t] = copy[t];
      } else {
        for (unsigned t = 0; t < kTokens; ++t) row[t] += copy[t];
      }
      std::memset(copy, 0, kTokens * sizeof *copy);
    }
    set_to = std::max(set_to, end_band[j]);
  }
  for (; set_to < k; ++set_to) counts[set_to] = BandCounts{};
  scratch.tally.give_back();

  std::vector<std::span<const std::uint32_t>> band_symbols(k);
  for (std::size_t b = 0, from = 0; b < k; from = band_end[b++]) {
    band_symbols[b] = std::span<const std::uint32_t>(sym + from, band_end[b] - from);
  }
  std::uint32_t* const adaptive_codes = scratch.adaptive.take(total);
  const Models models = choose_and_write_models(counts, band_symbols, head, adaptive_codes);

  // The code of every symbol word (start | frequency << 16), which the
  // rANS pass looks up through the words. Bands with nothing to code get
  // start 0 and frequency 4096, which leaves a state as it is and never
  // sends a word, so that pass needs no branch. Adaptive bands' codes
  // depend on the order, so each of their symbols gets a word of its own
  // past the others.
  std::size_t adaptive_total = 0;
  for (std::size_t b = 0; b < k; ++b) {
    if (models.bands[b].mode == BandMode::Adaptive) adaptive_total += bands[b].size();
  }
  std::uint32_t* const key_code = scratch.codes.take(tally_size + adaptive_total);
  for (std::size_t b = 0; b < k; ++b) {
    const BandModel& bm = models.bands[b];
    std::uint32_t* codes = key_code + b * kContexts * kTokens;
    if (bm.mode == BandMode::Adaptive) continue;  // coded below, in order
    if (bm.mode == BandMode::Zero) {
      std::fill_n(codes, kContexts * kTokens, kIdentityCode);
      continue;
    }
    for (unsigned c = 0; c < kContexts; ++c) {
      if (bm.table_of[c] == kNoTable) continue;  // a context that never occurs
      const Table& tb = models.tables[bm.table_of[c]];
      for (unsigned t = 0; t < tb.tokens; ++t) {
        codes[c * kTokens + t] = tb.start[t] | (std::uint32_t{tb.freq[t]} << 16);
      }
    }
  }

  // Adaptive bands' codes, made in decoding order as their models move:
  // a band that two lanes share alternates between them. A band in one
  // lane is decoded in band order, the order of the model's trial, which
  // left its codes in adaptive_codes.
  auto next_word = static_cast<std::uint32_t>(tally_size);
  for (std::size_t b = 0; b < k; ++b) {
    if (models.bands[b].mode != BandMode::Adaptive) continue;
    const std::size_t from = band_end[b] - bands[b].size();
    std::size_t lo = seg.seg, hi = 0;
    unsigned lanes_met = 0;
    for (unsigned j = 0; j < seg.lanes; ++j) {
      const std::size_t a = std::max(from, seg.begin(j)), e = std::min(band_end[b], seg.end(j));
      if (a < e) lo = std::min(lo, a - seg.begin(j)), hi = std::max(hi, e - seg.begin(j)), ++lanes_met;
    }
    if (lanes_met == 1) {
      std::copy(adaptive_codes + from, adaptive_codes + band_end[b], key_code + next_word);
      for (std::size_t p = from; p < band_end[b]; ++p) sym[p] = next_word++;
      continue;
    }
    AdaptiveModel model(std::max(2u, unsigned{models.bands[b].tokens}));
    for (std::size_t i = lo; i < hi; ++i) {
      for (unsigned j = 0; j < seg.lanes; ++j) {
        const std::size_t p = seg.begin(j) + i;
        if (p < from || p >= band_end[b] || p >= seg.end(j)) continue;
        const unsigned t = sym[p] & (kTokens - 1);
        key_code[next_word] = model.start(t) | (model.freq(t) << 16);
        sym[p] = next_word++;
        model.update_all(t);
      }
    }
  }

  // rANS, backwards through the decoding order; words are written from the
  // end of the buffer down, so they come out in reading order. The buffer
  // has one word more than symbols, so the speculative store below always
  // lands inside it.
  std::uint16_t* const words_start = scratch.words.take(total + 1);
  std::uint16_t* const words_end = words_start + total + 1;
  std::uint16_t* wp = words_end;
  // One symbol into state x. Branch-free, as whether a word goes out is as
  // good as random.
  const auto put_symbol = [&wp, key_code](std::uint32_t& x, std::uint32_t word) {
    const std::uint32_t code = key_code[word];
    const std::uint32_t f = code >> 16;
    // x >= f * 2^20 (the top of the range a symbol may start from), in 32
    // bits: a frequency of 4096 puts that bound at 2^32.
    const bool out = (x >> 20) >= f;
    wp[-1] = static_cast<std::uint16_t>(x);
    wp -= out;
    const std::uint32_t s = out ? x >> 16 : x;
    // q * 2^12 + (s - q * f) + start, written so that only q's product
    // waits for the division: s + start and 2^12 - f are ready before it.
    const std::uint32_t q = divide_state(s, f);
    x = (s + (code & 0xFFFF)) + q * (kTableTotal - f);
  };
  std::array<std::uint32_t, kLanes> x;
  x.fill(kStateLow);
  for (std::size_t i = seg.seg; i > common; --i) {
    for (unsigned j = seg.lanes - 1; j-- > 0;) put_symbol(x[j], sym[seg.begin(j) + i - 1]);
  }
  if (seg.lanes == kLanes) {
    // The states as locals, which the compiler keeps in registers, and the
    // four lanes' words read through one pointer and the lanes' distance
    // in bytes: a pointer per lane left too few registers for the states.
    std::uint32_t x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
    const std::size_t d = seg.seg * sizeof(std::uint32_t), d3 = 3 * d;
    const auto* const first = reinterpret_cast<const unsigned char*>(sym);
    const auto word_at = [](const unsigned char* p) {
      std::uint32_t v;
      std::memcpy(&v, p, sizeof v);
      return v;
    };
    for (const unsigned char* q = first + common * sizeof(std::uint32_t); q != first;) {
      q -= sizeof(std::uint32_t);
      put_symbol(x3, word_at(q + d3));
      put_symbol(x2, word_at(q + 2 * d));
      put_symbol(x1, word_at(q + d));
      put_symbol(x0, word_at(q));
    }
    x = {x0, x1, x2, x3};
  } else {
    for (std::size_t i = common; i-- > 0;) put_symbol(x[0], sym[i]);
  }
  const auto word_count = static_cast<std::size_t>(words_end - wp);
  const unsigned stored = codes_symbols(models) ? seg.lanes : 0;

  std::vector<std::uint8_t> out;
  out.reserve(head.size() + 10 + raw_len + 4 * stored + 2 * word_count);
  out.insert(out.end(), head.begin(), head.end());
  put_leb128(out, raw_len);
  out.insert(out.end(), raw_start, raw_start + raw_len);
  const std::size_t at = out.size();
  out.resize(at + 4 * stored + 2 * word_count);
  for (unsigned j = 0; j < stored; ++j) store_le32(out.data() + at + 4 * j, x[j]);
  std::uint8_t* w = out.data() + at + 4 * stored;
  for (std::size_t i = 0; i < word_count; ++i) store_le16(w + 2 * i, wp[i]);
  return out;
}

}  // namespace

std::vector<std::uint8_t> encode_coeffs(std::span<const std::span<const std::int16_t>> bands) {
  if (bands.size() > kMaxBands) throw std::invalid_argument("at most 127 bands");
  const ReleaseOnExit release;
  std::vector<std::uint8_t> head{static_cast<std::uint8_t>(bands.size())};
  const BlockMaps maps = find_zero_blocks(bands, kDefaultBlockCode);
  if (!maps.any_mapped()) return encode_body(bands, std::move(head));
  head[0] |= kZeroBlockForm;
  write_block_maps(maps, head);
  std::size_t live = 0;
  for (const BandMap& m : maps.bands) live += m.mapped ? m.live : 0;
  std::vector<std::span<const std::int16_t>> views;
  views.reserve(bands.size());
  compact_bands(bands, maps, scratch.live.take(std::max<std::size_t>(live, 1)), views);
  return encode_body(views, std::move(head));
}

}  // namespace quillmere::fast
