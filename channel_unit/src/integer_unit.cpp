#include "quillmere_tools/integer_unit.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "quillmere/byte_io.hpp"
#include "quillmere/side_block_flag.hpp"
#include "integer_arithmetic.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"
#include "quillmere_tools/non_finite.hpp"
#include "integer_grid_pass.hpp"

namespace quillmere_tools {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint8_t kSideBlockFollows = 1;
constexpr std::uint8_t kPalette = 2;
// Blocks may code their residuals with rANS (older readers refuse the unit
// for this unknown flag rather than misread a block).
constexpr std::uint8_t kRansResiduals = 4;
constexpr std::uint8_t kKnownFlags = kSideBlockFollows | kPalette | kRansResiduals;
constexpr IntegerResiduals kCoding = IntegerResiduals::RiceOrRans;
// A palette is tried when the distinct values are this few per sample at
// most (and no more than kMaxPalette): a signal that uses few of its codes
// (a coarse ADC stored in wide words, synthetic or clipped test signals).
constexpr std::size_t kPaletteShare = 4;
constexpr std::size_t kMaxPalette = 1u << 20;
// A lean encode keeps the plain integers without trying a palette that
// holds at least this share of the integers in its span (two of three):
// its indices are then the integers less an offset but for a few gaps, so
// they predict no better, and trying it codes the first block twice and
// the table once more. On the speech rows at 0.1 % the palette held 74-94 %
// of its span and lost everywhere but alsa/Side_Left, where it won on the
// first block and then lost 1.8 % over the whole signal.
constexpr std::size_t kDensePaletteNum = 2;
constexpr std::size_t kDensePaletteDen = 3;
constexpr int kBlockLog2 = 12;
static_assert(std::size_t{1} << kBlockLog2 == kIntegerBlockLength);
constexpr int kMinBlockLog2 = 4;
constexpr int kMaxBlockLog2 = 16;
// Integers of at most 33 bits: |k| <= 2^32.
constexpr double kLargestInteger = 4294967296.0;

// The exponent of the lowest set bit of a finite nonzero value, and of its
// highest (v = m * 2^e with 2^high <= |v| < 2^(high + 1)).
struct BitSpan {
  int low = 0;
  int high = 0;
};

// The lowest and highest set bit of |v|'s value, as powers of two: the
// finest grid v lies on and its magnitude. Bits is the float's own width.
template <class Float, class Bits, int kMantissaBits, int kBias>
BitSpan bit_span_of(Float v) noexcept {
  constexpr Bits kMagnitude = ~Bits{0} >> 1;
  constexpr Bits kMantissa = (Bits{1} << kMantissaBits) - 1;
  const Bits bits = std::bit_cast<Bits>(v) & kMagnitude;
  const int field = static_cast<int>(bits >> kMantissaBits);
  Bits mantissa = bits & kMantissa;
  int scale = 1 - kBias - kMantissaBits;
  if (field != 0) {
    mantissa |= kMantissa + 1;
    scale = field - kBias - kMantissaBits;
  }
  constexpr int kTop = static_cast<int>(sizeof(Bits) * 8) - 1;
  return {scale + std::countr_zero(mantissa), scale + kTop - std::countl_zero(mantissa)};
}

BitSpan bit_span(double v) noexcept { return bit_span_of<double, std::uint64_t, 52, 1023>(v); }

// The least low and greatest high bit of the finite nonzero samples
// (INT_MAX and INT_MIN when there is none).
std::pair<int, int> bit_spans(std::span<const double> x) noexcept {
  int low = std::numeric_limits<int>::max();
  int high = std::numeric_limits<int>::min();
  for (double v : x) {
    if (!std::isfinite(v) || v == 0.0) continue;
    const BitSpan s = bit_span(v);
    low = std::min(low, s.low);
    high = std::max(high, s.high);
  }
  return {low, high};
}

// The same for float32 samples without a branch per sample, so that they
// run side by side: a significand's lowest set bit (m & -m) and its highest
// are powers of two below 2^24, which convert to float exactly, and their
// exponent fields tell their positions.
QUILLMERE_INTEGER_CLONES
std::pair<int, int> bit_spans(std::span<const float> x) noexcept {
  constexpr std::int32_t kNone = std::numeric_limits<std::int32_t>::max();
  std::int32_t low = kNone;
  std::int32_t high = -kNone;
  const float* samples = x.data();
  for (std::size_t i = 0; i < x.size(); ++i) {
    // Masks of all ones or zeros rather than branches or selects, which
    // the vectoriser takes.
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(samples[i]) & 0x7fffffffu;
    const std::uint32_t field = bits >> 23;
    const std::uint32_t normal = 0u - static_cast<std::uint32_t>(field != 0);
    const std::uint32_t counted = 0u - static_cast<std::uint32_t>((field != 255) & (bits != 0));
    const std::uint32_t m = (bits & 0x7fffffu) | (0x800000u & normal);
    const auto scale = static_cast<std::int32_t>(((field - 1) & normal) - 149u);
    const std::uint32_t lowest = m & (0u - m);
    const auto lowest_at = static_cast<std::int32_t>(
        (std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(lowest))) >> 23) - 127u);
    const auto highest_at = static_cast<std::int32_t>(
        (std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<std::int32_t>(m))) >> 23) - 127u);
    const auto keep = static_cast<std::int32_t>(counted);
    const std::int32_t l = ((scale + lowest_at) & keep) | (kNone & ~keep);
    const std::int32_t h = ((scale + highest_at) & keep) | (-kNone & ~keep);
    low = l < low ? l : low;
    high = h > high ? h : high;
  }
  return {low, high == -kNone ? std::numeric_limits<int>::min() : high};
}

template <class T>
std::optional<IntegerGrid> power_of_two_grid(std::span<const T> x) {
  const auto [low, high] = bit_spans(x);
  if (low == std::numeric_limits<int>::max()) return IntegerGrid{1.0, 0.0, kInf};
  // |k| < 2^(high - low + 1) must stay within 33 bits.
  if (high - low > 31) return std::nullopt;
  const double step = std::ldexp(1.0, low);
  return IntegerGrid{step, 0.0, step};
}

template <class T>
std::optional<IntegerGrid> grid_with_step(std::span<const T> x, double step) {
  if (!std::isfinite(step) || !(step > 0.0)) return std::nullopt;
  const auto first = std::find_if(x.begin(), x.end(), [](T v) { return std::isfinite(v); });
  const double anchor = first == x.end() ? 0.0 : static_cast<double>(*first);
  for (T v : x) {
    if (!std::isfinite(v)) continue;
    const double k = round_to_nearest((static_cast<double>(v) - anchor) / step);
    if (!(std::fabs(k) < kLargestInteger)) return std::nullopt;
  }
  return IntegerGrid{step, anchor, step};
}

// The decoder's reconstruction of one integer.
inline double reconstruct(const IntegerGrid& grid, std::int64_t k) noexcept {
  return grid.offset + grid.step * static_cast<double>(k);
}
inline float narrowed(double y) noexcept { return static_cast<float>(y); }

int width_of(std::int64_t lo, std::int64_t hi) noexcept {
  int width = 1;
  while (width < kMaxIntegerWidth) {
    const IntegerRange r = IntegerRange::of_width(width);
    if (lo >= r.lo && hi <= r.hi) break;
    ++width;
  }
  return width;
}

void put_f64(std::vector<std::uint8_t>& out, double v) {
  std::uint8_t b[8];
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
  quillmere::store_le32(b, static_cast<std::uint32_t>(bits));
  quillmere::store_le32(b + 4, static_cast<std::uint32_t>(bits >> 32));
  out.insert(out.end(), b, b + 8);
}

double load_f64(const std::uint8_t* p) noexcept {
  const std::uint64_t lo = quillmere::load_le32(p);
  const std::uint64_t hi = quillmere::load_le32(p + 4);
  return std::bit_cast<double>(lo | (hi << 32));
}

// The integers as indices into their sorted distinct values; nullopt when
// the values are too many for it to pay. The indices are found as far as
// they are asked for (index_up_to): only the first block's when the palette
// loses.
struct Palette {
  std::vector<std::int64_t> values;
  std::vector<std::int64_t> index;
  // Each value's index at value - lo, when the range is short enough for a
  // table; otherwise the values are searched.
  std::vector<std::int32_t> slot;
  std::int64_t lo = 0;
};

void index_up_to(Palette& p, std::span<const std::int64_t> k, std::size_t count) {
  std::size_t i = p.index.size();
  if (i >= count) return;
  p.index.resize(count);
  if (!p.slot.empty()) {
    for (; i < count; ++i) p.index[i] = p.slot[static_cast<std::size_t>(k[i] - p.lo)];
    return;
  }
  for (; i < count; ++i) p.index[i] = std::lower_bound(p.values.begin(), p.values.end(), k[i]) - p.values.begin();
}

// The distinct values among `look` evenly spaced integers: counted in a
// bit per value of their span when it is short (a signal on a coarse grid
// spans a few thousand values), sorted otherwise.
std::size_t distinct_in_look(std::span<const std::int64_t> k, std::size_t look) {
  constexpr std::uint64_t kBitmapSpan = std::uint64_t{1} << 20;
  std::vector<std::int64_t> seen(look);
  const std::size_t every = k.size() / look;
  for (std::size_t i = 0; i < look; ++i) seen[i] = k[i * every];
  const auto [lo, hi] = std::minmax_element(seen.begin(), seen.end());
  const auto span = static_cast<std::uint64_t>(*hi - *lo);
  if (span < kBitmapSpan) {
    std::vector<std::uint64_t> bits(span / 64 + 1, 0);
    const std::int64_t low = *lo;
    for (const std::int64_t v : seen) {
      const auto at = static_cast<std::uint64_t>(v - low);
      bits[at / 64] |= std::uint64_t{1} << (at % 64);
    }
    std::size_t distinct = 0;
    for (const std::uint64_t word : bits) distinct += static_cast<std::size_t>(std::popcount(word));
    return distinct;
  }
  std::sort(seen.begin(), seen.end());
  return static_cast<std::size_t>(std::unique(seen.begin(), seen.end()) - seen.begin());
}

// Whether `distinct` values hold at least kDensePaletteNum /
// kDensePaletteDen of the integers from lo to hi.
bool dense(std::size_t distinct, std::int64_t lo, std::int64_t hi) noexcept {
  const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
  return static_cast<std::uint64_t>(distinct) * kDensePaletteDen >= span * kDensePaletteNum;
}

// With `skip_dense`, a palette dense in its span (dense()) is not made: when
// the look already finds enough distinct values, the whole signal is not
// read for it.
std::optional<Palette> palette_of(std::span<const std::int64_t> k, std::int64_t lo, std::int64_t hi,
                                  bool skip_dense) {
  // A look at evenly spaced samples first: most signals use too many values,
  // and the whole signal need not be sorted to see it.
  constexpr std::size_t kLook = 4096;
  if (k.size() > kLook) {
    const std::size_t seen = distinct_in_look(k, kLook);
    if (seen * kPaletteShare > kLook || (skip_dense && dense(seen, lo, hi))) return std::nullopt;
  }
  const auto span = static_cast<std::uint64_t>(hi - lo);
  Palette p;
  p.lo = lo;
  if (span < kMaxPalette * 4) {
    // A table over the range: which values occur, then each one's index.
    std::vector<std::int32_t> slot(span + 1, -1);
    for (std::int64_t v : k) slot[static_cast<std::size_t>(v - lo)] = 0;
    for (std::size_t j = 0; j < slot.size(); ++j) {
      if (slot[j] < 0) continue;
      slot[j] = static_cast<std::int32_t>(p.values.size());
      p.values.push_back(lo + static_cast<std::int64_t>(j));
      if (p.values.size() * kPaletteShare > k.size()) return std::nullopt;
    }
    p.slot = std::move(slot);
  } else {
    p.values.assign(k.begin(), k.end());
    std::sort(p.values.begin(), p.values.end());
    p.values.erase(std::unique(p.values.begin(), p.values.end()), p.values.end());
    if (p.values.size() * kPaletteShare > k.size()) return std::nullopt;
  }
  if (p.values.size() > kMaxPalette || (skip_dense && dense(p.values.size(), lo, hi))) return std::nullopt;
  return p;
}

int index_width(const Palette& p) noexcept { return width_of(0, static_cast<std::int64_t>(p.values.size()) - 1); }

// u32 count, u32 byte length of the values' stream, the values' stream, the
// indices' stream (`body`).
std::vector<std::uint8_t> palette_stream(const Palette& p, const std::vector<std::uint8_t>& table,
                                         const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> out(8 + table.size() + body.size());
  quillmere::store_le32(out.data(), static_cast<std::uint32_t>(p.values.size()));
  quillmere::store_le32(out.data() + 4, static_cast<std::uint32_t>(table.size()));
  std::copy(table.begin(), table.end(), out.begin() + 8);
  std::copy(body.begin(), body.end(), out.begin() + 8 + static_cast<std::ptrdiff_t>(table.size()));
  return out;
}

// A stream of whole blocks, then the rest: the same bytes as one stream of
// it all, since every block is coded on its own.
std::vector<std::uint8_t> continued(std::vector<std::uint8_t> head, std::span<const std::int64_t> all,
                                    std::size_t done, int width, IntegerEffort effort, bool& rans) {
  if (done < all.size()) {
    const auto tail = encode_integers(all, width, kIntegerBlockLength, done, effort, kCoding, &rans);
    head.insert(head.end(), tail.begin(), tail.end());
  }
  return head;
}

// The integers' stream, or their palette's when that codes smaller: judged
// on the whole signal when it is short, on its first block otherwise. The
// judged blocks are the start of the winner's stream, so only the loser's
// are coded for nothing. `rans` tells whether a block of the stream kept
// took rANS residuals.
std::vector<std::uint8_t> integer_stream(std::span<const std::int64_t> k, std::int64_t k_lo, std::int64_t k_hi,
                                         int width, IntegerEffort effort, bool& indexed, bool& rans) {
  indexed = false;
  rans = false;
  auto palette = palette_of(k, k_lo, k_hi, effort == IntegerEffort::Lean);
  if (!palette) return encode_integers(k, width, kIntegerBlockLength, 0, effort, kCoding, &rans);
  const std::size_t n = k.size();
  const std::size_t look = n > 2 * kIntegerBlockLength ? kIntegerBlockLength : n;
  bool raw_rans = false, body_rans = false, table_rans = false;
  auto raw = encode_integers(k.first(look), width, kIntegerBlockLength, 0, effort, kCoding, &raw_rans);
  index_up_to(*palette, k, look);
  auto body = encode_integers(std::span(palette->index).first(look), index_width(*palette), kIntegerBlockLength,
                              0, effort, kCoding, &body_rans);
  const auto table = encode_integers(palette->values, width, kIntegerBlockLength, 0, effort, kCoding, &table_rans);
  // The table and the palette's lengths are paid once, over the whole signal.
  if ((table.size() + 8) * look + body.size() * n >= raw.size() * n) {
    rans = raw_rans;
    return continued(std::move(raw), k, look, width, effort, rans);
  }
  indexed = true;
  rans = body_rans || table_rans;
  index_up_to(*palette, k, n);
  return palette_stream(*palette, table,
                        continued(std::move(body), palette->index, look, index_width(*palette), effort, rans));
}

template <class T>
UnitResult<EncodedUnit> encode_on_grid(std::span<const T> x, const IntegerGrid& grid,
                                       std::optional<TrailingRun> tail, IntegerEffort effort) {
  if (x.empty()) return unit_error(UnitErrorKind::BadInput, "cannot compress an empty signal");
  GridSamples g = on_grid(x, grid);
  const int width = width_of(g.k_lo, g.k_hi);
  const auto n = static_cast<std::uint32_t>(x.size());

  const float lo = narrowed(g.y_lo);
  const float hi = narrowed(g.y_hi);
  if (!std::isfinite(lo) || !std::isfinite(hi)) {
    return unit_error(UnitErrorKind::BadInput, "the signal's range exceeds what float32 can span");
  }
  float mean = 0.0f;
  if (g.finite > 0 && g.y_hi > g.y_lo) {
    mean = narrowed((g.y_sum / static_cast<double>(g.finite) - g.y_lo) / (g.y_hi - g.y_lo));
  }
  const float shown_step = narrowed(grid.step);

  std::vector<std::uint8_t> payload{0, static_cast<std::uint8_t>(width), kBlockLog2, 0};
  put_f64(payload, grid.step);
  put_f64(payload, grid.offset);
  bool indexed = false;
  bool rans = false;
  const std::vector<std::uint8_t> stream = integer_stream(g.k, g.k_lo, g.k_hi, width, effort, indexed, rans);
  if (indexed) payload[0] |= kPalette;
  if (rans) payload[0] |= kRansResiduals;
  payload.insert(payload.end(), stream.begin(), stream.end());
  if (payload.size() > 0xffffffffu - quillmere::HEADER_LEN) {
    return unit_error(UnitErrorKind::BadInput, "the integer stream exceeds 4 GiB");
  }

  SideBlock side;
  side.precision = std::is_same_v<T, float> ? Precision::Float32 : Precision::Float64;
  side.non_finite = find_non_finite(x);
  side.tail = tail;
  if (side.needed()) payload[0] |= kSideBlockFollows;

  const auto header = quillmere::to_bytes(quillmere::HeaderFields{
      quillmere::Method::Cdf97, 0, 11, kCoderInteger, n, lo, hi, mean,
      static_cast<std::uint32_t>(payload.size()), std::isfinite(shown_step) ? shown_step : 0.0f});
  EncodedUnit out;
  out.bytes.reserve(header.size() + payload.size());
  out.bytes.assign(header.begin(), header.end());
  out.bytes.insert(out.bytes.end(), payload.begin(), payload.end());

  out.report = g.measures;
  out.report.coder_id = kCoderInteger;
  out.report.multiplier = std::isfinite(shown_step) ? shown_step : 0.0f;
  out.report.container_bytes = out.bytes.size();
  for (const NonFiniteRun& run : side.non_finite) out.report.non_finite_samples += run.length;
  out.report.trailing_run = tail ? tail->length : 0;
  if (side.needed()) {
    auto block = write_side_block(side, out.bytes, n);
    if (!block) return std::unexpected(block.error());
    out.bytes.insert(out.bytes.end(), block->begin(), block->end());
  }
  return out;
}

std::unexpected<UnitError> corrupt(const std::string& what) {
  return unit_error(UnitErrorKind::CorruptUnit, "the integer unit is corrupt: " + what);
}

// The palette of a palette stream, checked (strictly increasing, within
// the width), and the rest of the stream: the indices.
UnitResult<std::vector<std::int64_t>> read_palette(std::span<const std::uint8_t>& stream, int width,
                                                   std::size_t block_length, std::size_t n,
                                                   IntegerResiduals coding) {
  if (stream.size() < 8) return corrupt("its palette's lengths are cut short");
  const std::uint32_t count = quillmere::load_le32(stream.data());
  const std::uint32_t length = quillmere::load_le32(stream.data() + 4);
  stream = stream.subspan(8);
  if (count == 0 || count > n || count > kMaxPalette) {
    return corrupt("a palette of " + std::to_string(count) + " values for " + std::to_string(n) + " samples");
  }
  if (length > stream.size() || length < least_stream_bytes(count, block_length)) {
    return corrupt("its palette claims " + std::to_string(length) + " bytes");
  }
  std::vector<std::int64_t> palette(count);
  auto done = decode_integers(stream.first(length), width, block_length, count,
                              [&](std::size_t start, std::span<const std::int64_t> v) {
                                std::copy(v.begin(), v.end(), palette.begin() + static_cast<std::ptrdiff_t>(start));
                              },
                              IntegerReading::Fast, coding);
  if (!done) return std::unexpected(done.error());
  if (std::adjacent_find(palette.begin(), palette.end(), std::greater_equal<>()) != palette.end()) {
    return corrupt("its palette is not strictly increasing");
  }
  stream = stream.subspan(length);
  return palette;
}

// The decoder's reconstruction of a run of integers, all within 33 bits
// (the integer decoder checked them against the width): the same operations
// as reconstruct, with each integer made a double exactly by adding it to
// the bits of 1.5 * 2^52 and subtracting that (exact for |k| < 2^51), which
// vectorises where the plain conversion does not. Whether every value is
// finite.
template <class T>
inline bool reconstruct_into(std::span<const std::int64_t> k, const IntegerGrid& grid, T* out) noexcept {
  constexpr double kMagic = 6755399441055744.0;
  const auto magic_bits = std::bit_cast<std::uint64_t>(kMagic);
  const double step = grid.step;
  const double offset = grid.offset;
  // A flag of 32 bits rather than a bool, which the vectoriser takes.
  std::uint32_t bad = 0;
  const std::int64_t* in = k.data();
  for (std::size_t i = 0; i < k.size(); ++i) {
    const double exact = std::bit_cast<double>(magic_bits + static_cast<std::uint64_t>(in[i])) - kMagic;
    const T y = static_cast<T>(offset + step * exact);
    bad |= static_cast<std::uint32_t>(!(std::fabs(y) <= std::numeric_limits<T>::max()));
    out[i] = y;
  }
  return bad == 0;
}

// Compiled for AVX2 beside the baseline: the same conversions, multiply and
// add per sample, so the same bits.
QUILLMERE_INTEGER_CLONES
bool reconstruct_run(std::span<const std::int64_t> k, const IntegerGrid& grid, float* out) noexcept {
  return reconstruct_into(k, grid, out);
}
QUILLMERE_INTEGER_CLONES
bool reconstruct_run(std::span<const std::int64_t> k, const IntegerGrid& grid, double* out) noexcept {
  return reconstruct_into(k, grid, out);
}

// A run of palette indices as the samples they stand for, looked up in the
// palette's reconstructions (`table`, made once by reconstruct_run, so each
// the very value the index's integer would rebuild to). Whether every index
// lies inside the table; one outside writes the first entry and is refused.
template <class T>
bool look_up_run(std::span<const std::int64_t> k, std::span<const T> table, T* out) noexcept {
  std::uint32_t outside = 0;
  const std::size_t size = table.size();
  for (std::size_t i = 0; i < k.size(); ++i) {
    const auto v = static_cast<std::uint64_t>(k[i]);
    const bool beyond = v >= size;
    outside |= static_cast<std::uint32_t>(beyond);
    out[i] = table[beyond ? 0 : static_cast<std::size_t>(v)];
  }
  return outside == 0;
}

template <class T>
UnitResult<void> decode_into(std::span<const std::uint8_t> stream, int width, std::size_t block_length,
                             const IntegerGrid& grid, bool indexed, IntegerResiduals coding, std::vector<T>& out) {
  std::vector<std::int64_t> palette;
  if (indexed) {
    auto read = read_palette(stream, width, block_length, out.size(), coding);
    if (!read) return std::unexpected(read.error());
    palette = std::move(*read);
    width = width_of(0, static_cast<std::int64_t>(palette.size()) - 1);
    if (stream.size() < least_stream_bytes(out.size(), block_length)) {
      return corrupt("its " + std::to_string(stream.size()) + " bytes of indices cannot hold " +
                     std::to_string(out.size()) + " samples");
    }
  }
  bool finite = true;
  bool in_palette = true;
  // Where every palette entry rebuilds to a finite sample, the indices look
  // their samples up directly (one load a sample); otherwise the entries are
  // looked up as integers and rebuilt, so that only an entry the indices use
  // makes the unit fail.
  std::vector<T> table(palette.size());
  const bool by_table = indexed && !palette.empty() && reconstruct_run(palette, grid, table.data());
  std::vector<std::int64_t> looked_up;
  auto done = decode_integers(stream, width, block_length, out.size(),
                              [&](std::size_t start, std::span<const std::int64_t> k) {
                                if (by_table) {
                                  in_palette = look_up_run<T>(k, table, out.data() + start) && in_palette;
                                  return;
                                }
                                if (indexed) {
                                  looked_up.resize(k.size());
                                  for (std::size_t i = 0; i < k.size(); ++i) {
                                    const std::int64_t v = k[i];
                                    const bool inside = v >= 0 && static_cast<std::size_t>(v) < palette.size();
                                    in_palette = in_palette && inside;
                                    looked_up[i] = inside ? palette[static_cast<std::size_t>(v)] : 0;
                                  }
                                  k = looked_up;
                                }
                                finite = reconstruct_run(k, grid, out.data() + start) && finite;
                              },
                              IntegerReading::Fast, coding);
  if (!done) return done;
  if (!in_palette) return corrupt("an index falls outside its palette");
  if (!finite) return corrupt("its step and offset take samples beyond the floating-point range");
  return {};
}

}  // namespace

std::optional<IntegerGrid> find_grid(SignalView x, std::optional<double> step) {
  return std::visit(
      [&](auto s) { return step ? grid_with_step(s, *step) : power_of_two_grid(s); }, x);
}

UnitResult<EncodedUnit> encode_integer_unit(SignalView x, const IntegerGrid& grid,
                                            std::optional<TrailingRun> tail, IntegerEffort effort) {
  return std::visit([&](auto s) { return encode_on_grid(s, grid, tail, effort); }, x);
}

std::optional<bool> unit_side_block_claim(std::span<const std::uint8_t> container) {
  const auto header = quillmere::QuillmereHeader::from_bytes(container, kLastUnitCoder);
  if (!header) return std::nullopt;
  if (header->coder != kCoderInteger) return quillmere::side_block_follows(container);
  if (header->payload_len == 0 || container.size() <= quillmere::HEADER_LEN) return std::nullopt;
  return (container[quillmere::HEADER_LEN] & kSideBlockFollows) != 0;
}

UnitResult<DecodedUnit> decode_integer_unit(std::span<const std::uint8_t> unit,
                                            const quillmere::QuillmereHeader& header) {
  const std::size_t container_len = quillmere::HEADER_LEN + std::size_t{header.payload_len};
  if (unit.size() < container_len) {
    return unit_error(UnitErrorKind::CorruptUnit, "the container is truncated");
  }
  if (header.sample_count > quillmere::kMaxSampleCount) {
    return corrupt("it claims " + std::to_string(header.sample_count) + " samples");
  }
  const auto payload = unit.subspan(quillmere::HEADER_LEN, header.payload_len);
  if (payload.size() < kIntegerPayloadHeaderLen) {
    return corrupt("its payload of " + std::to_string(payload.size()) + " bytes has no room for its header");
  }
  const std::uint8_t flags = payload[0];
  const int width = payload[1];
  const int block_log2 = payload[2];
  if ((flags & ~kKnownFlags) != 0 || payload[3] != 0) return corrupt("unknown flags");
  if (width < 1 || width > kMaxIntegerWidth) return corrupt("integer width " + std::to_string(width));
  if (block_log2 < kMinBlockLog2 || block_log2 > kMaxBlockLog2) {
    return corrupt("block length 2^" + std::to_string(block_log2));
  }
  IntegerGrid grid;
  grid.step = load_f64(payload.data() + 4);
  grid.offset = load_f64(payload.data() + 12);
  if (!std::isfinite(grid.step) || !(grid.step > 0.0) || !std::isfinite(grid.offset)) {
    return corrupt("its step or offset is not a finite number");
  }
  const bool claims_side = (flags & kSideBlockFollows) != 0;
  const bool has_side = unit.size() > container_len;
  if (claims_side && !has_side) {
    return unit_error(UnitErrorKind::CorruptUnit, "the unit is truncated: its side block is missing");
  }
  if (!claims_side && has_side) {
    return unit_error(UnitErrorKind::CorruptUnit, "the container announces no side block, but " +
                                                      std::to_string(unit.size() - container_len) +
                                                      " bytes follow it");
  }
  SideBlock side;
  if (has_side) {
    auto read = read_side_block(unit.subspan(container_len), unit.first(container_len), header.sample_count);
    if (!read) return std::unexpected(read.error());
    side = std::move(*read);
    if (side.offset || !side.corrections.empty()) {
      return corrupt("its side block carries an offset or corrections, which it never needs");
    }
  }
  const auto stream = payload.subspan(kIntegerPayloadHeaderLen);
  const std::size_t n = header.sample_count;
  const std::size_t block_length = std::size_t{1} << block_log2;
  if (stream.size() < least_stream_bytes(n, block_length)) {
    return corrupt("its " + std::to_string(stream.size()) + " bytes cannot hold " + std::to_string(n) +
                   " samples");
  }

  const bool indexed = (flags & kPalette) != 0;
  const IntegerResiduals coding = (flags & kRansResiduals) != 0 ? kCoding : IntegerResiduals::Rice;
  DecodedUnit out;
  out.precision = side.precision;
  if (side.precision == Precision::Float32) {
    out.f32.resize(n);
    if (auto done = decode_into(stream, width, block_length, grid, indexed, coding, out.f32); !done) {
      return std::unexpected(done.error());
    }
    restore_non_finite<float>(out.f32, side.non_finite);
    if (side.tail) {
      out.f32.resize(n + side.tail->length, std::bit_cast<float>(static_cast<std::uint32_t>(side.tail->bits)));
    }
  } else {
    out.f64.resize(n);
    if (auto done = decode_into(stream, width, block_length, grid, indexed, coding, out.f64); !done) {
      return std::unexpected(done.error());
    }
    restore_non_finite<double>(out.f64, side.non_finite);
    if (side.tail) out.f64.resize(n + side.tail->length, std::bit_cast<double>(side.tail->bits));
  }
  return out;
}

}  // namespace quillmere_tools
