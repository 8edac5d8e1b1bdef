#include "corrections_flags.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "bin_engine.hpp"
#include "vector_clones.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::corrections::flags {
namespace {

using parts::Entry;
using parts::Header;

// Flags are modelled in this many classes of the layer's shape around the
// sample: on the membrane trace at 1 % of its range five classes took the
// 359 flags of its 12,000 samples to about 250 bytes, against 290 with one.
constexpr unsigned kClasses = 5;
// Multiples are coded as |k| + 1 <= 2^31 + 1, of bit width at most 32.
constexpr unsigned kMaxMagWidth = 32;
constexpr std::size_t kWidths = kMaxMagWidth + 1;
// Flags come in groups of kGroup samples: first whether any in the group is
// corrected (by the largest class in it), then, where one is, each flag by
// its class and whether one before it in the group was set; the last flag
// of a group with none set before it is known and not coded. A third of
// the symbols of a flag a sample, for some six bytes more on the membrane
// trace: the coding's time goes by the symbol.
constexpr std::size_t kGroup = 4;
constexpr std::size_t kGroupFlag = 0;
constexpr std::size_t kFlag = kGroupFlag + kClasses;
constexpr std::size_t kMagUnary = kFlag + 2 * kClasses;
constexpr std::uint32_t kClassMask = 0x7f;
constexpr std::size_t kMagBits = kMagUnary + kWidths;
// Sign by whether the layer bends upwards there and by the last sign.
constexpr std::size_t kSign = kMagBits + kWidths * kWidths;
constexpr std::size_t kContexts = kSign + 4;

// A context's probability is estimated from its counts (half a count of
// each bit to start) rather than by the bit engine's fixed-rate
// adaptation: flags set once in thirty samples need the slow, exact
// estimate that 1/16 a step cannot give (about 20 bytes on the membrane
// trace). Counts are halved at kCountLimit so that a context can follow
// a signal whose character changes.
constexpr std::uint32_t kCountLimit = 1024;
// The counts and the probability they give, worked out when the counts
// change: the next symbol in the context only loads it.
struct Counts {
  std::uint16_t zeros = 0;
  std::uint16_t ones = 0;
  std::uint16_t p = bin_engine::kProbScale / 2;  // probability() of no counts
};
// p = floor((2 z + 1) 2048 / (z + o + 1)), the same quotient halved above
// and below, as (a * ceil(2^32 / d)) >> 32 with a < 2^22 and d <= 1024:
// the rounding up adds e < d to 2^32, and a * e < 2^32 leaves the floor
// alone. A multiply where a division would take most of a flag's time, on
// a table of 8 kB.
constexpr unsigned kReciprocalShift = 32;
constexpr std::array<std::uint64_t, kCountLimit + 1> kReciprocals = [] {
  std::array<std::uint64_t, kCountLimit + 1> r{};
  for (std::uint64_t d = 1; d < r.size(); ++d) r[d] = ((std::uint64_t{1} << kReciprocalShift) + d - 1) / d;
  return r;
}();
// Every pair of counts a context can hold gives the division's quotient,
// shown per divisor rather than by trying each pair (half a million pairs
// run past the compiler's constant-evaluation limit under the sanitizers):
// with a = q d + m, a r / 2^32 = q + m / d + a e / (d 2^32), and m <= d - 1
// and a e < 2^32 keep the sum below q + 1.
constexpr bool reciprocals_exact() {
  constexpr std::uint64_t kOne = std::uint64_t{1} << kReciprocalShift;
  constexpr std::uint64_t kMaxA = (2 * std::uint64_t{kCountLimit - 1} + 1) << 11;
  for (std::uint64_t d = 1; d <= kCountLimit; ++d) {
    const std::uint64_t e = kReciprocals[d] * d - kOne;
    if (e >= d || kMaxA * e >= kOne) return false;
    // Inside the bit engine's range with no clamp: the least p has z = 0,
    // the largest o = 0.
    if ((std::uint64_t{1} << 11) / d < 1) return false;
    if (((2 * (d - 1) + 1) << 11) / d >= bin_engine::kProbScale) return false;
  }
  return true;
}
static_assert(reciprocals_exact());
inline std::uint16_t probability(std::uint32_t zeros, std::uint32_t ones) noexcept {
  const std::uint64_t a = std::uint64_t{2u * zeros + 1u} << (bin_engine::kProbBits - 1);
  return static_cast<std::uint16_t>((a * kReciprocals[zeros + ones + 1u]) >> kReciprocalShift);
}
static_assert(bin_engine::kProbScale / 2 == (1u << (bin_engine::kProbBits - 1)), "probability(0, 0)");
// The counts after `bit`, halved when they reach kCountLimit, and their
// probability.
inline void count(Counts& c, unsigned bit) noexcept {
  std::uint32_t z = c.zeros + (bit == 0 ? 1u : 0u);
  std::uint32_t o = c.ones + bit;
  if (z + o >= kCountLimit) {
    z = (z + 1u) / 2u;
    o = (o + 1u) / 2u;
  }
  c.zeros = static_cast<std::uint16_t>(z);
  c.ones = static_cast<std::uint16_t>(o);
  c.p = probability(z, o);
}
// The layer's shape around each sample, as both sides compute it: the
// slopes s(j) = y[j] - y[j - 1] (zero outside the signal), the bends
// s(j + 1) - s(j) at the sample and its two neighbours, and the class of
// their largest magnitude plus half the steeper slope, against steps of
// the correction step. Plain float arithmetic, compared with thresholds a
// power of two apart: the same classes on every machine. Worked out a
// chunk of kChunk samples at a time into a buffer that stays in the
// first-level cache (a whole signal's worth, allocated per call, cost more
// in page faults than the classes themselves), the inner samples in a loop
// the compiler vectorises.
constexpr std::uint32_t kBendsUp = 0x80;
constexpr std::size_t kChunk = 256;
static_assert(kChunk % kGroup == 0, "groups never straddle chunks");

// The class word of a sample from its slopes a, b, c, d = s(i - 1), s(i),
// s(i + 1), s(i + 2) and the four thresholds.
inline std::uint32_t class_word(float a, float b, float c, float d, const float* t) noexcept {
  const float e0 = std::fabs(b - a), e1 = std::fabs(c - b), e2 = std::fabs(d - c);
  const float e01 = e0 > e1 ? e0 : e1;
  const float widest = e01 > e2 ? e01 : e2;
  const float fb = std::fabs(b), fc = std::fabs(c);
  const float f = widest + 0.5f * (fb > fc ? fb : fc);
  return static_cast<std::uint32_t>(f >= t[0]) + static_cast<std::uint32_t>(f >= t[1]) +
         static_cast<std::uint32_t>(f >= t[2]) + static_cast<std::uint32_t>(f >= t[3]) +
         (c - b > 0.0f ? kBendsUp : 0u);
}

// The classes of samples lo .. hi, every one of which has its four slopes
// inside the signal, into out[0 ..]: the bulk of the reader's and the
// encoder's per-sample work outside the coding, built for AVX2 beside the
// baseline (each lane the same float operations in the same order, so the
// same classes).
QUILLMERE_VECTOR_CLONES
void inner_classes(const float* y, std::size_t lo, std::size_t hi, const float* t, std::uint32_t* out) {
  const float th[4] = {t[0], t[1], t[2], t[3]};
  for (std::size_t i = lo; i < hi; ++i) {
    out[i - lo] = class_word(y[i - 1] - y[i - 2], y[i] - y[i - 1], y[i + 1] - y[i], y[i + 2] - y[i + 1], th);
  }
}

// Each whole group's largest class (its group flag's context) from the
// classes of `groups` groups of kGroup.
QUILLMERE_VECTOR_CLONES
void group_widest(const std::uint32_t* cls, std::size_t groups, std::uint8_t* out) {
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint32_t* c = cls + g * kGroup;
    const std::uint32_t a = std::max(c[0] & kClassMask, c[1] & kClassMask);
    const std::uint32_t b = std::max(c[2] & kClassMask, c[3] & kClassMask);
    out[g] = static_cast<std::uint8_t>(std::max(a, b));
  }
}

class LayerClasses {
 public:
  LayerClasses(std::span<const float> y, double step) noexcept
      : y_(y.data()),
        n_(y.size()),
        t_{static_cast<float>(step / 8), static_cast<float>(step / 4), static_cast<float>(step / 2),
           static_cast<float>(step)} {}

  // The classes of samples from .. from + kChunk (or the signal's end);
  // sample i's is at(i) until the next fill.
  void fill(std::size_t from) noexcept {
    from_ = from;
    end_ = from + kChunk;
    const std::size_t to = std::min(n_, from + kChunk);
    // Samples 2 .. n - 3 have every slope they need inside the signal.
    const std::size_t lo = std::clamp<std::size_t>(2, from, to);
    const std::size_t hi = n_ >= 3 ? std::clamp<std::size_t>(n_ - 2, lo, to) : lo;
    for (std::size_t i = from; i < lo; ++i) cls_[i - from] = edge(i);
    inner_classes(y_, lo, hi, t_, cls_ + (lo - from));
    for (std::size_t i = hi; i < to; ++i) cls_[i - from] = edge(i);
    // Each group's largest class, which its group flag is coded by; the
    // signal's last group may be short, and is worked out alone.
    const std::size_t whole = from + (to - from) / kGroup * kGroup;
    group_widest(cls_, (whole - from) / kGroup, wide_);
    if (whole < to) {
      std::uint32_t widest = 0;
      for (std::size_t i = whole; i < to; ++i) widest = std::max(widest, cls_[i - from] & kClassMask);
      wide_[(whole - from) / kGroup] = static_cast<std::uint8_t>(widest);
    }
  }
  std::uint32_t at(std::size_t i) const noexcept { return cls_[i - from_]; }
  // The largest class in the group that starts at g.
  std::uint32_t widest(std::size_t g) const noexcept { return wide_[(g - from_) / kGroup]; }
  // Past the samples filled; nothing is before the first fill.
  std::size_t end() const noexcept { return end_; }

 private:
  static_assert(kClasses == 5, "four thresholds");
  std::uint32_t word(float a, float b, float c, float d) const noexcept { return class_word(a, b, c, d, t_); }
  float slope(std::size_t j1) const noexcept {  // s(j1 - 1)
    return j1 >= 2 && j1 <= n_ ? y_[j1 - 1] - y_[j1 - 2] : 0.0f;
  }
  std::uint32_t edge(std::size_t i) const noexcept {
    return word(slope(i), slope(i + 1), slope(i + 2), slope(i + 3));
  }

  const float* y_;
  std::size_t n_;
  float t_[4];
  std::size_t from_ = 0;
  std::size_t end_ = 0;
  std::uint32_t cls_[kChunk] = {};
  std::uint8_t wide_[kChunk / kGroup] = {};
};

struct Modeller {
  Counts* model;
  std::uint16_t* q;
  void put(std::size_t context, unsigned bit) noexcept {
    Counts& c = model[context];
    *q++ = bin_engine::symbol(c.p, bit);
    count(c, bit);
  }
  // The group flags, all zero, of the groups from g0 up to stop (filled in
  // `classes`). Neighbouring groups mostly share their class: its counts
  // stay in registers for the run of them rather than going through memory
  // at every group, where each group waited for the last one's store.
  void put_zeros(const LayerClasses& classes, std::size_t g0, std::size_t stop) noexcept {
    std::uint16_t* out = q;
    while (g0 < stop) {
      const std::uint32_t context = kGroupFlag + classes.widest(g0);
      Counts c = model[context];
      do {
        *out++ = bin_engine::symbol(c.p, 0);
        count(c, 0u);
        g0 += kGroup;
      } while (g0 < stop && kGroupFlag + classes.widest(g0) == context);
      model[context] = c;
    }
    q = out;
  }
  // v >= 1 in Elias-gamma form: its width in unary (a context a place),
  // then its bits below the leading one (a context a width and place).
  void put_number(std::uint64_t v) noexcept {
    const auto w = static_cast<unsigned>(std::bit_width(v));
    for (unsigned j = 0; j + 1 < w; ++j) put(kMagUnary + j, 1);
    put(kMagUnary + w - 1, 0);
    for (unsigned b = w - 1; b-- > 0;) put(kMagBits + w * kWidths + b, static_cast<unsigned>((v >> b) & 1u));
  }
};

// The bit engine's decoder, step for step (the same state, words and
// truncation), as a plain aggregate: the reader's loop keeps its state in
// registers, where the engine's own decoder, which owns a table, was kept
// in memory and loaded and stored around every bit.
struct FlagDecoder {
  std::uint32_t x;
  const std::uint8_t* pos;
  const std::uint8_t* end;
  bool truncated = false;

  unsigned decode(std::uint32_t p) noexcept {
    const std::uint32_t s = x & (bin_engine::kProbScale - 1);
    const std::uint32_t q = x >> bin_engine::kProbBits;
    const unsigned bit = s >= p;
    const std::uint32_t pq = p * q;
    x = bin_engine::select_by_bit(bit, x - pq - p, pq + s);
    if (x < bin_engine::kStateLow) [[unlikely]] refill();
    return bit;
  }
  // A loop: a forged initial state below 2^12 can decode to 0, and then
  // one word does not restore the state.
  void refill() noexcept {
    while (x < bin_engine::kStateLow) {
      if (end - pos < 2) {
        truncated = true;
        return;
      }
      x = (x << 16) | load_le16(pos);
      pos += 2;
    }
  }
  // The encoder starts at the lowest state: after the last symbol the
  // state is back there with every word read.
  bool exhausted() const noexcept { return x == bin_engine::kStateLow && pos == end && !truncated; }
};

struct Getter {
  Counts* model;
  FlagDecoder dec;
  unsigned get(std::size_t context) noexcept {
    Counts& c = model[context];
    const unsigned bit = dec.decode(c.p);
    count(c, bit);
    return bit;
  }
  bool get_number(std::uint64_t& v) noexcept {
    unsigned w = 1;
    while (get(kMagUnary + w - 1) != 0) {
      if (++w > kMaxMagWidth) return false;
    }
    v = 1;
    for (unsigned b = w - 1; b-- > 0;) v = (v << 1) | get(kMagBits + w * kWidths + b);
    return !dec.truncated;
  }
};

template <bool F64>
void keep_escapes(const Originals& originals, std::span<const std::uint32_t> gaps,
                  std::span<const std::int64_t> ks, std::vector<std::uint8_t>& escapes) {
  escapes.clear();
  std::size_t at = 0;
  for (std::size_t j = 0; j < gaps.size(); ++j, ++at) {
    at += gaps[j];
    if (ks[j] != 0) continue;
    parts::keep_escape<F64>(escapes, F64 ? originals.f64()[at] : static_cast<double>(originals.f32()[at]));
  }
}

// What modelling a layer's flags left in its buffers: `symbols` queued
// symbols, and the escapes' exact values.
struct Modelled {
  std::size_t symbols = 0;
  std::size_t escaped = 0;
};

// The flags and corrections the token collection left in `buf`, modelled
// into buf.queue in reading order; buf.coded then has room to code them.
CorrectionResult<Modelled> model_flags(std::span<const float> layer, const Originals& originals, double step,
                                 EncodeBuffers& buf) {
  const std::span<const std::uint32_t> gaps = buf.gaps;
  const std::span<const std::int64_t> ks = buf.multiples;
  const std::size_t count_of = gaps.size();
  if (count_of == 0 || ks.size() != count_of) return std::unexpected(CorrectionError::CorruptStream);
  try {
    std::size_t last = 0;
    for (const std::uint32_t g : gaps) last += std::size_t{g} + 1;
    const std::size_t n = layer.size();
    if (last > n) return std::unexpected(CorrectionError::CorruptStream);
    const std::size_t upto = std::min(n, (last + kGroup - 1) / kGroup * kGroup);
    // The queue is sized to what these corrections can take at most (a
    // group flag a group, a group's flags where one is corrected, each
    // number and sign), not to a worst case per correction: that was seven
    // times the room the membrane trace at 1 % used, zero-filled afresh on
    // every search, and its page faults cost more than the coding.
    std::size_t most = (upto + kGroup - 1) / kGroup + count_of * kGroup + 1;
    for (const std::int64_t k : ks) {
      const std::uint64_t mag = static_cast<std::uint64_t>(k < 0 ? -k : k);
      most += 2 * static_cast<std::size_t>(std::bit_width(mag + 1));
    }
    // Nothing in the buffers is kept from one coding to the next: cleared
    // first, a growth copies nothing across.
    if (buf.queue.size() < most) buf.queue.clear(), buf.queue.resize(most);
    std::vector<Counts> model(kContexts);
    Modeller m{model.data(), buf.queue.data()};
    LayerClasses classes(layer, step);
    std::size_t escaped = 0;
    unsigned last_negative = 0;
    std::size_t j = 0;              // the next correction
    std::size_t next_at = gaps[0];  // and its position
    for (std::size_t g0 = 0; j < count_of; g0 += kGroup) {
      // Most groups have nothing corrected: up to the one that holds the
      // next correction, their flags are zeros, coded a chunk at a time
      // with no test of the corrections.
      const std::size_t holder = next_at / kGroup * kGroup;
      while (g0 < holder) {
        if (g0 >= classes.end()) classes.fill(g0);
        const std::size_t stop = std::min(holder, classes.end());
        m.put_zeros(classes, g0, stop);
        g0 = stop;
      }
      if (g0 >= classes.end()) classes.fill(g0);
      const std::size_t gend = std::min(g0 + kGroup, n);
      m.put(kGroupFlag + classes.widest(g0), 1u);
      unsigned seen = 0;
      for (std::size_t i = g0; i < gend && j < count_of; ++i) {
        const bool hit = i == next_at;
        const std::uint32_t here = classes.at(i);
        if (i + 1 != gend || seen != 0) m.put(kFlag + (here & kClassMask) + kClasses * seen, hit ? 1u : 0u);
        if (!hit) continue;
        seen = 1;
        const std::int64_t k = ks[j];
        if (++j < count_of) next_at = i + 1 + gaps[j];
        const std::uint64_t mag = static_cast<std::uint64_t>(k < 0 ? -k : k);
        m.put_number(mag + 1);
        if (mag == 0) {
          ++escaped;
          continue;
        }
        const unsigned negative = k < 0 ? 1u : 0u;
        m.put(kSign + 2 * ((here & kBendsUp) != 0 ? 1u : 0u) + last_negative, negative);
        last_negative = negative;
      }
    }
    if (originals.is_double()) {
      keep_escapes<true>(originals, gaps, ks, buf.escapes);
    } else {
      keep_escapes<false>(originals, gaps, ks, buf.escapes);
    }

    Modelled done;
    done.symbols = static_cast<std::size_t>(m.q - buf.queue.data());
    done.escaped = escaped;
    const std::size_t room = 2 * done.symbols + 4;
    if (buf.coded.size() < room) buf.coded.clear(), buf.coded.resize(room);
    return done;
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
}

// The end of the room modelling made in buf.coded: the coded words grow
// backwards from there.
std::uint8_t* room_end(EncodeBuffers& buf, const Modelled& m) noexcept {
  return buf.coded.data() + 2 * m.symbols + 4;
}

// The blob of a model whose queue was coded into head .. head + coded_len
// (the final state first).
CorrectionResult<Encoded> assemble(std::size_t n, const Originals& originals, double step,
                                   const EncodeBuffers& buf, const Modelled& m, const std::uint8_t* head,
                                   std::size_t coded_len) {
  try {
    if (coded_len > std::numeric_limits<std::uint32_t>::max()) {
      return std::unexpected(CorrectionError::TooManySamples);
    }
    const std::size_t count_of = buf.gaps.size();
    const std::size_t escaped = m.escaped;
    Encoded out;
    std::vector<std::uint8_t>& b = out.bytes;
    b.resize(kHeaderLen + coded_len + buf.escapes.size() + kTrailerLen);
    std::memcpy(b.data() + kHeaderLen, head, coded_len);
    if (!buf.escapes.empty()) {
      std::memcpy(b.data() + kHeaderLen + coded_len, buf.escapes.data(), buf.escapes.size());
    }
    parts::seal(b, parts::header_of(parts::kFlagForm, originals.is_double(), n, count_of, escaped, step, coded_len));
    out.corrected = count_of;
    out.escaped = escaped;
    return out;
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
}

}  // namespace

CorrectionResult<Encoded> encode(std::span<const float> layer, const Originals& originals,
                                 double step, EncodeBuffers& buf) {
  const auto m = model_flags(layer, originals, step, buf);
  if (!m) return std::unexpected(m.error());
  std::uint8_t* const end = room_end(buf, *m);
  bin_engine::RansState c{.x = bin_engine::kStateLow, .head = end};
  for (std::size_t s = m->symbols; s-- > 0;) c.code(buf.queue[s]);
  c.head -= 4;
  store_le32(c.head, c.x);
  return assemble(layer.size(), originals, step, buf, *m, c.head, static_cast<std::size_t>(end - c.head));
}

std::pair<CorrectionResult<Encoded>, CorrectionResult<Encoded>> encode_two(
    std::span<const float> layer_a, double step_a, EncodeBuffers& buf_a, std::span<const float> layer_b,
    double step_b, EncodeBuffers& buf_b, const Originals& originals) {
  const auto ma = model_flags(layer_a, originals, step_a, buf_a);
  const auto mb = model_flags(layer_b, originals, step_b, buf_b);
  if (!ma || !mb) {
    const auto alone = [&](const CorrectionResult<Modelled>& m, std::span<const float> layer, double step,
                           EncodeBuffers& buf) -> CorrectionResult<Encoded> {
      if (!m) return std::unexpected(m.error());
      return flags::encode(layer, originals, step, buf);
    };
    return {alone(ma, layer_a, step_a, buf_a), alone(mb, layer_b, step_b, buf_b)};
  }
  // Each state runs through its own queue from the back, as encode() runs
  // it; the two chains of state updates are independent, and taking their
  // steps in turn lets the processor overlap them.
  std::uint8_t* const end_a = room_end(buf_a, *ma);
  std::uint8_t* const end_b = room_end(buf_b, *mb);
  bin_engine::RansState a{.x = bin_engine::kStateLow, .head = end_a};
  bin_engine::RansState b{.x = bin_engine::kStateLow, .head = end_b};
  const std::uint16_t* const qa = buf_a.queue.data();
  const std::uint16_t* const qb = buf_b.queue.data();
  std::size_t ia = ma->symbols, ib = mb->symbols;
  for (; ia > 0 && ib > 0; --ia, --ib) {
    a.code(qa[ia - 1]);
    b.code(qb[ib - 1]);
  }
  for (; ia > 0; --ia) a.code(qa[ia - 1]);
  for (; ib > 0; --ib) b.code(qb[ib - 1]);
  a.head -= 4;
  store_le32(a.head, a.x);
  b.head -= 4;
  store_le32(b.head, b.x);
  return {assemble(layer_a.size(), originals, step_a, buf_a, *ma, a.head, static_cast<std::size_t>(end_a - a.head)),
          assemble(layer_b.size(), originals, step_b, buf_b, *mb, b.head, static_cast<std::size_t>(end_b - b.head))};
}

CorrectionResult<Reader> Reader::open(std::span<const std::uint8_t> blob, const Header& h,
                                      std::span<const float> layer) {
  if (layer.size() != h.sample_count) return std::unexpected(CorrectionError::WrongLength);
  return Reader(blob.subspan(h.body_at, h.coded_len), h, layer);
}

std::span<const Entry> Reader::next_batch() noexcept {
  try {
    if (!read_all()) {
      entries_.clear();
      closed_ = false;
      return {};
    }
  } catch (const std::bad_alloc&) {
    entries_.clear();
    closed_ = false;
    return {};
  }
  closed_ = true;
  return entries_;
}

bool Reader::read_all() {
  const std::uint32_t corrected = header_.corrected;
  if (corrected == 0) return header_.escaped == 0;
  if (coded_.size() < 4) return false;
  std::vector<Counts> model(kContexts);
  // The entries are written into room made beforehand: no call out of the
  // loop that could see the decoder.
  Getter g{model.data(), FlagDecoder{load_le32(coded_.data()), coded_.data() + 4, coded_.data() + coded_.size()}};
  const std::size_t n = layer_.size();
  LayerClasses classes(layer_, header_.step);
  std::uint32_t escapes = 0;
  unsigned last_negative = 0;
  // Whatever the stream holds, the loop ends at the signal's end and the
  // entries at the header's count (at most one a sample).
  const std::size_t most = std::min<std::size_t>(corrected, n);
  entries_.resize(most);
  Entry* const out = entries_.data();
  std::size_t found = 0;
  const auto read = [&]() -> bool {
    for (std::size_t g0 = 0; g0 < n && found < most; g0 += kGroup) {
      // The groups' flags up to the next set one, a chunk at a time. A
      // stream that runs out is caught at the chunk's end rather than at
      // every group (the bits read past its end are meaningless but stay
      // in bounds, and a truncated stream never reads as whole).
      unsigned any = 0;
      while (g0 < n) {
        if (g0 >= classes.end()) classes.fill(g0);
        const std::size_t stop = std::min(n, classes.end());
        for (; g0 < stop; g0 += kGroup) {
          any = g.get(kGroupFlag + classes.widest(g0));
          if (any != 0) break;
        }
        if (g.dec.truncated) return false;
        if (any != 0) break;
      }
      if (any == 0) break;
      const std::size_t gend = std::min(g0 + kGroup, n);
      unsigned seen = 0;
      for (std::size_t i = g0; i < gend && found < most; ++i) {
        const std::uint32_t here = classes.at(i);
        const unsigned hit =
            i + 1 == gend && seen == 0 ? 1u : g.get(kFlag + (here & kClassMask) + kClasses * seen);
        if (hit == 0) {
          if (g.dec.truncated) return false;
          continue;
        }
        seen = 1;
        std::uint64_t v = 0;
        if (!g.get_number(v)) return false;
        const std::uint64_t mag = v - 1;
        if (mag > static_cast<std::uint64_t>(parts::kMaxMultiple)) return false;
        auto k = static_cast<std::int64_t>(mag);
        if (mag == 0) {
          if (++escapes > header_.escaped) return false;
        } else {
          const unsigned negative = g.get(kSign + 2 * ((here & kBendsUp) != 0 ? 1u : 0u) + last_negative);
          last_negative = negative;
          if (negative != 0) k = -k;
        }
        if (g.dec.truncated) return false;
        out[found++] = {static_cast<std::uint32_t>(i), k};
      }
    }
    return true;
  };
  const bool whole = read();
  entries_.resize(found);
  return whole && found == corrected && escapes == header_.escaped && g.dec.exhausted();
}

}  // namespace quillmere::corrections::flags
