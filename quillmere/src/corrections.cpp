#include "quillmere/corrections.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <tuple>
#include <vector>

#include <zlib.h>

#include "bin_engine.hpp"
#include "corrections_flags.hpp"
#include "corrections_gamma.hpp"
#include "corrections_parts.hpp"
#include "corrections_tokens.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::corrections {
namespace {

using parts::Entry;
using parts::Header;
using parts::kFloat32;
using parts::kFloat64;
using parts::corrected;
using parts::kMaxMultiple;

std::uint32_t crc_of(std::span<const std::uint8_t> bytes) {
  // zlib's length is a uInt; blobs are far below 4 GiB (checked by callers).
  return static_cast<std::uint32_t>(
      crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}
// Every number is coded as v >= 1 in Elias-gamma form on the bit engine:
// the bit length w of v in unary (w - 1 ones, then a zero), each position
// its own context, then the bits of v below its leading one, each (w,
// position) pair its own context. Gaps are coded as gap + 1 (< 2^32 + 1,
// so w <= 33), multiples as |k| + 1 (w <= 32) and a sign bit when k != 0.
constexpr std::size_t kWidths = 34;
constexpr std::size_t kGapUnary = 0;
constexpr std::size_t kGapBits = kGapUnary + kWidths;
constexpr std::size_t kMagUnary = kGapBits + kWidths * kWidths;
constexpr std::size_t kMagBits = kMagUnary + kWidths;
constexpr std::size_t kSign = kMagBits + kWidths * kWidths;
constexpr std::size_t kCountUnary = kSign + 1;
constexpr std::size_t kCountBits = kCountUnary + kWidths;
constexpr std::size_t kContexts = kCountBits + kWidths * kWidths;
constexpr unsigned kMaxGapWidth = 33;
constexpr unsigned kMaxMagWidth = 32;

// Models v >= 1 onto the queue at q with the probabilities in probs (the
// bit engine's put(), through local pointers that stay in registers) and
// returns the end of what it wrote.
inline std::uint16_t* put_number(std::uint16_t* probs, std::uint16_t* q, std::size_t unary,
                                 std::size_t bits, std::uint64_t v) noexcept {
  using bin_engine::kAdapted;
  using bin_engine::symbol;
  const auto w = static_cast<unsigned>(std::bit_width(v));
  std::uint16_t* u = probs + unary;
  for (unsigned j = 0; j + 1 < w; ++j) {
    const std::uint16_t e = symbol(u[j], 1);
    *q++ = e;
    u[j] = kAdapted[e];
  }
  const std::uint16_t last = symbol(u[w - 1], 0);
  *q++ = last;
  u[w - 1] = kAdapted[last];
  std::uint16_t* c = probs + bits + w * kWidths;
  for (unsigned b = w - 1; b-- > 0;) {
    const std::uint16_t e = symbol(c[b], static_cast<unsigned>((v >> b) & 1u));
    *q++ = e;
    c[b] = kAdapted[e];
  }
  return q;
}

// Reads what put_number wrote; a width above max_width is corrupt.
// Checked = false is for a decoder that has seen can_fast() for every symbol
// the number may take.
template <bool Checked>
inline bool get_number(bin_engine::BinDec& dec, std::size_t unary, std::size_t bits,
                       unsigned max_width, std::uint64_t& v) {
  unsigned w = 1;
  while (dec.get<Checked>(unary + w - 1)) {
    if (++w > max_width) return false;
  }
  v = 1;
  for (unsigned b = w - 1; b-- > 0;) v = (v << 1) | dec.get<Checked>(bits + w * kWidths + b);
  return true;
}

// The most bit-engine symbols one correction can take: a gap's width in
// unary and its bits below the leading one, the same for the multiple, and
// the sign. While that many symbols' bytes remain, a correction is read on
// the decoder's unchecked path.
constexpr std::size_t kMaxEntrySymbols = (2 * kMaxGapWidth - 1) + (2 * kMaxMagWidth - 1) + 1;

// Walks the corrections of a blob for a signal of n samples in position
// order, validating each as it comes; nothing is allocated but the
// decoder's probabilities. The decoder is held by value so that its state
// can live in registers through the inlined loop of the caller.
class EntryReader {
 public:
  static CorrectionResult<EntryReader> open(std::span<const std::uint8_t> blob, const Header& h,
                                            std::size_t n) {
    // A blob without corrections has no coded stream: a decoder over the
    // four zero bytes of the reserved word stands in and is never read.
    static constexpr std::uint8_t kNothing[4] = {0, 0, 0, 0};
    const auto coded = h.corrected == 0 ? std::span<const std::uint8_t>(kNothing)
                                        : blob.subspan(h.body_at, h.coded_len);
    auto dec = bin_engine::BinDec::create(kContexts, coded);
    if (!dec) return std::unexpected(CorrectionError::CorruptStream);
    return EntryReader(std::move(*dec), h, n);
  }

  // False when the stream is corrupt: a width beyond its limit, a position
  // past the signal, a multiple beyond kMaxMultiple, or words run out.
  bool next(Entry& e) noexcept {
    return dec_.can_fast(2 * kMaxEntrySymbols) ? step<false>(e) : step<true>(e);
  }

  // After the header's count of corrections: the stream must close with
  // its own count, every word read, and as many escapes as the header says.
  // The count is what catches a header that differs from the coder where
  // the CRC was forged to match; rANS decoding being the encoding run
  // backwards, a whole stream ends with every word read.
  bool closes() noexcept {
    if (count_ == 0) return escapes_ == 0;
    std::uint64_t closing = 0;
    return get_number<true>(dec_, kCountUnary, kCountBits, kMaxGapWidth, closing) &&
           closing == std::uint64_t{count_} + 1 && !dec_.truncated() && escapes_ == escaped_ &&
           !dec_.can_fast(1);
  }

 private:
  EntryReader(bin_engine::BinDec dec, const Header& h, std::size_t n)
      : dec_(std::move(dec)), n_(n), count_(h.corrected), escaped_(h.escaped) {}

  template <bool Checked>
  bool step(Entry& e) noexcept {
    std::uint64_t gap = 0, mag = 0;
    if (!get_number<Checked>(dec_, kGapUnary, kGapBits, kMaxGapWidth, gap) ||
        !get_number<Checked>(dec_, kMagUnary, kMagBits, kMaxMagWidth, mag)) {
      return false;
    }
    --gap, --mag;
    const bool negative = mag != 0 && dec_.get<Checked>(kSign);
    if ((Checked && dec_.truncated()) || next_ + gap >= n_ ||
        mag > static_cast<std::uint64_t>(kMaxMultiple)) {
      return false;
    }
    // More escapes than the header holds values for would read past them.
    if (mag == 0 && ++escapes_ > escaped_) return false;
    const auto k = static_cast<std::int64_t>(mag);
    const std::uint64_t at = next_ + gap;
    e = {static_cast<std::uint32_t>(at), negative ? -k : k};
    next_ = at + 1;
    return true;
  }

  bin_engine::BinDec dec_;
  std::uint64_t next_ = 0;  // smallest position the next entry may take
  std::size_t n_;
  std::uint32_t count_;
  std::uint32_t escaped_;
  std::uint32_t escapes_ = 0;
};

// The header of a blob for n samples of the given precision, read and
// checked.
CorrectionResult<Header> header_for(std::span<const std::uint8_t> blob, std::size_t n,
                                    std::uint8_t precision) {
  auto header = parts::read_header(blob);
  if (!header) return std::unexpected(header.error());
  if (header->precision != precision) return std::unexpected(CorrectionError::WrongPrecision);
  if (header->sample_count != n) return std::unexpected(CorrectionError::WrongLength);
  return header;
}

const std::uint8_t* escape_values(std::span<const std::uint8_t> blob, const Header& h) {
  return blob.data() + h.body_at + h.coded_len;
}

// Room the queue keeps beyond its end for one correction and the closing
// count, so that the scan checks it once a correction rather than once a
// symbol, and the count after the last correction needs no check at all.
constexpr std::size_t kEntryRoom = kMaxEntrySymbols + (2 * kMaxGapWidth - 1);
constexpr std::size_t kFirstQueue = std::size_t{1} << 14;

// What modelling found: the queue holds `symbols` symbols, the escapes'
// exact values sit in the buffers in position order.
struct Modelled {
  std::size_t corrected = 0;
  std::size_t escaped = 0;
  std::size_t symbols = 0;
};

// Scans the signal and models each correction as it is found, in the
// blob's order (gap, |k|, sign), closing with the count; on the bit
// engine's probabilities but through local pointers, with room for a whole
// correction checked once before it.
template <bool F64>
Modelled model_corrections(std::span<const float> decoded, const Originals& originals,
                           double max_error, double step, EncodeBuffers& buf,
                           std::span<const std::uint64_t> marks) {
  using bin_engine::kAdapted;
  using bin_engine::symbol;
  buf.probs.assign(kContexts, bin_engine::kProbInit);
  // A symbol a sample covers corrections of one sample in ten or so at
  // once; denser ones double it a few times, once for a whole search.
  const std::size_t first = std::max(kFirstQueue, decoded.size());
  // Nothing in the buffers is kept from one coding to the next: cleared
  // first, a growth copies nothing across.
  if (buf.queue.size() < first) buf.queue.clear(), buf.queue.resize(first);
  buf.escapes.clear();
  std::uint16_t* const pr = buf.probs.data();
  std::uint16_t* q = buf.queue.data();
  std::uint16_t* limit = q + buf.queue.size() - kEntryRoom;

  Modelled m;
  std::uint64_t next = 0;
  parts::scan<F64>(decoded, originals, max_error, step, [&](std::size_t i, std::int64_t k, double x) {
    if (q > limit) [[unlikely]] {
      const auto used = static_cast<std::size_t>(q - buf.queue.data());
      // The symbols so far copied in one go: the queue's own growth (its
      // allocator constructs each new element itself, leaving it unset)
      // would move them one at a time.
      UnsetVector<std::uint16_t> bigger;
      bigger.resize(2 * buf.queue.size());
      std::memcpy(bigger.data(), buf.queue.data(), used * sizeof(std::uint16_t));
      buf.queue.swap(bigger);
      q = buf.queue.data() + used;
      limit = buf.queue.data() + buf.queue.size() - kEntryRoom;
    }
    q = put_number(pr, q, kGapUnary, kGapBits, i - next + 1);
    const std::uint64_t mag = static_cast<std::uint64_t>(k < 0 ? -k : k);
    q = put_number(pr, q, kMagUnary, kMagBits, mag + 1);
    if (mag != 0) {
      const std::uint16_t s = symbol(pr[kSign], k < 0);
      *q++ = s;
      pr[kSign] = kAdapted[s];
    } else {
      ++m.escaped;
      parts::keep_escape<F64>(buf.escapes, x);
    }
    next = i + 1;
    ++m.corrected;
  }, marks);
  if (m.corrected > 0) q = put_number(pr, q, kCountUnary, kCountBits, std::uint64_t{m.corrected} + 1);
  m.symbols = static_cast<std::size_t>(q - buf.queue.data());
  return m;
}

// The blob around what was modelled: the queue is coded backwards into the
// kept buffers (from the end of the room a word a symbol could take, as the
// bit engine's backward coder does), then copied behind the header of a
// blob allocated at its exact size.
CorrectionResult<Encoded> assemble(const Modelled& m, std::size_t n, bool f64, double step,
                                   EncodeBuffers& buf) {
  const std::uint8_t* coded = nullptr;
  std::size_t coded_len = 0;
  if (m.corrected > 0) {
    const std::size_t room = 2 * m.symbols + 4;
    if (buf.coded.size() < room) buf.coded.clear(), buf.coded.resize(room);
    std::uint8_t* const end = buf.coded.data() + room;
    bin_engine::RansState c{.x = bin_engine::kStateLow, .head = end};
    const std::uint16_t* const symbols = buf.queue.data();
    for (std::size_t i = m.symbols; i-- > 0;) c.code(symbols[i]);
    c.head -= 4;
    store_le32(c.head, c.x);
    coded = c.head;
    coded_len = static_cast<std::size_t>(end - c.head);
  }
  if (coded_len > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(CorrectionError::TooManySamples);
  }
  Encoded out;
  std::vector<std::uint8_t>& b = out.bytes;
  b.resize(kHeaderLen + coded_len + buf.escapes.size() + kTrailerLen);
  if (coded_len > 0) std::memcpy(b.data() + kHeaderLen, coded, coded_len);
  if (!buf.escapes.empty()) {
    std::memcpy(b.data() + kHeaderLen + coded_len, buf.escapes.data(), buf.escapes.size());
  }
  parts::seal(b, parts::header_of(parts::kGammaForm, f64, n, m.corrected, m.escaped, step, coded_len));
  out.corrected = m.corrected;
  out.escaped = m.escaped;
  return out;
}

// Up to this many corrections encode() also tries the gamma form: its
// adaptive coding carries no tables or states, which a few hundred
// corrections do not pay for (on the membrane trace at 1 % of its range,
// 359 corrections took 12 bytes fewer than in the token form).
constexpr std::size_t kFewCorrections = 1024;
// FormTrial::Quick: where the second coding stays negligible.
constexpr std::size_t kFewCorrectionsQuick = 16;
// The flag form is tried where at least one sample in this many is
// corrected: sparser flags cost more than the gaps between them.
constexpr std::size_t kFlagDensity = 64;

// The checks both encoders make before scanning.
CorrectionResult<double> step_for(std::span<const float> decoded, const Originals& originals,
                                  double max_error) {
  if (!(std::isfinite(max_error) && max_error > 0.0)) {
    return std::unexpected(CorrectionError::BadBound);
  }
  if (originals.size() != decoded.size()) return std::unexpected(CorrectionError::LengthMismatch);
  if (decoded.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(CorrectionError::TooManySamples);
  }
  return parts::step_of(max_error);
}

// Hands every entry a reader yields to `take` (which says whether it took
// it), in position order; false when the stream or `take` refuses one. The
// token form hands out batches, so that the loop over a batch carries no
// call or check beyond the entry's own.
template <class Reader, class Take>
bool for_each_entry(Reader& reader, std::uint32_t count, Take&& take) {
  if constexpr (requires { reader.next_batch(); }) {
    for (std::uint32_t done = 0; done < count;) {
      const std::span<const Entry> batch = reader.next_batch();
      if (batch.empty()) return false;
      for (const Entry& e : batch) {
        if (!take(e)) return false;
      }
      done += static_cast<std::uint32_t>(batch.size());
    }
  } else {
    for (std::uint32_t j = 0; j < count; ++j) {
      Entry e;
      if (!reader.next(e) || !take(e)) return false;
    }
  }
  return reader.closes();
}

// Applies every correction a reader yields, one pass: each sample is
// corrected as its entry is read, and its old value kept, so that a blob
// found corrupt further on puts every sample back as it was.
template <class Reader>
CorrectionResult<void> apply_f32(Reader& reader, const Header& h, const std::uint8_t* escaped,
                                 std::span<float> signal) {
  struct Undo {
    std::uint32_t position;
    float value;
  };
  std::unique_ptr<Undo[]> undo(new (std::nothrow) Undo[h.corrected == 0 ? 1 : h.corrected]);
  if (!undo) return std::unexpected(CorrectionError::OutOfMemory);
  float* const y = signal.data();
  Undo* kept = undo.get();
  const double step = h.step;
  const bool ok = for_each_entry(reader, h.corrected, [&](const Entry& e) {
    const float old = y[e.position];
    float v;
    if (e.k == 0) [[unlikely]] {
      v = load_le_f32(escaped);
      escaped += 4;
    } else {
      v = corrected(old, e.k, step);
    }
    // Written before the check, so that the sample refused is put back
    // with the rest.
    *kept++ = {e.position, old};
    y[e.position] = v;
    return std::isfinite(v);
  });
  if (!ok) {
    while (kept != undo.get()) {
      --kept;
      y[kept->position] = kept->value;
    }
    return std::unexpected(CorrectionError::CorruptStream);
  }
  return {};
}

// Straight into the output: on error it is dropped whole.
template <class Reader>
CorrectionResult<void> apply_f64(Reader& reader, const Header& h, const std::uint8_t* escaped,
                                 std::span<const float> decoded, double offset, std::span<double> out) {
  const float* const y = decoded.data();
  double* const o = out.data();
  const double step = h.step;
  const bool ok = for_each_entry(reader, h.corrected, [&](const Entry& e) {
    double v;
    if (e.k == 0) [[unlikely]] {
      v = std::bit_cast<double>(parts::load_le64(escaped));
      escaped += 8;
    } else {
      v = corrected(y[e.position], offset, e.k, step);
    }
    o[e.position] = v;
    return std::isfinite(v);
  });
  if (!ok) return std::unexpected(CorrectionError::CorruptStream);
  return {};
}

}  // namespace

namespace parts {

namespace {

// A LEB128 value of at most 32 bits in its shortest form: Truncated when
// the bytes end inside it, BadField when it is longer than five bytes,
// above 2^32 - 1 or padded with a zero byte.
CorrectionResult<std::uint32_t> read_varint(const std::uint8_t*& p, const std::uint8_t* end) noexcept {
  std::uint64_t x = 0;
  for (int i = 0; i < 5; ++i) {
    if (p == end) return std::unexpected(CorrectionError::Truncated);
    const std::uint8_t b = *p++;
    x |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
    if ((b & 0x80) == 0) {
      if ((i > 0 && b == 0) || x > 0xffffffffu) return std::unexpected(CorrectionError::BadField);
      return static_cast<std::uint32_t>(x);
    }
  }
  return std::unexpected(CorrectionError::BadField);
}

void put_varint(std::vector<std::uint8_t>& out, std::uint32_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

// The fields of a compact header up to the coded bytes; the checks every
// header shares are left to the caller.
CorrectionResult<Header> read_compact(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kSmallestCompactLen) return std::unexpected(CorrectionError::Truncated);
  const std::uint8_t* p = bytes.data() + 5;
  const std::uint8_t* const end = bytes.data() + bytes.size();
  const std::uint8_t form = *p++;
  if ((form & ~kKnownForms) != 0) return std::unexpected(CorrectionError::BadField);
  // One coding at a time.
  if ((form & kFormGamma) != 0 && (form & kFormFlags) != 0) return std::unexpected(CorrectionError::BadField);
  Header h;
  h.version = (form & kFormFlags) != 0  ? kFlagForm
              : (form & kFormGamma) != 0 ? kGammaForm
                                         : kTokenForm;
  h.precision = (form & kFormFloat64) != 0 ? kFloat64 : kFloat32;
  for (std::uint32_t* field : {&h.sample_count, &h.corrected, &h.escaped, &h.coded_len, &h.raw_len}) {
    const auto v = read_varint(p, end);
    if (!v) return std::unexpected(v.error());
    *field = *v;
  }
  if ((form & kFormWideStep) != 0) {
    if (end - p < 8) return std::unexpected(CorrectionError::Truncated);
    h.step = std::bit_cast<double>(load_le64(p));
    p += 8;
  } else {
    if (end - p < 4) return std::unexpected(CorrectionError::Truncated);
    h.step = static_cast<double>(load_le_f32(p));
    p += 4;
  }
  h.body_at = static_cast<std::size_t>(p - bytes.data());
  return h;
}

}  // namespace

CorrectionResult<Header> read_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 5) return std::unexpected(CorrectionError::Truncated);
  const std::uint8_t* p = bytes.data();
  if (std::memcmp(p, kMagic, 4) != 0) return std::unexpected(CorrectionError::BadMagic);
  if (p[4] != kGammaForm && p[4] != kTokenForm && p[4] != kCompactHeader) {
    return std::unexpected(CorrectionError::BadVersion);
  }
  Header h;
  bool reserved_ok = true;
  if (p[4] == kCompactHeader) {
    auto compact = read_compact(bytes);
    if (!compact) return compact;
    h = *compact;
  } else {
    if (bytes.size() < kHeaderLen + kTrailerLen) return std::unexpected(CorrectionError::Truncated);
    h.version = p[4];
    h.precision = p[5];
    h.sample_count = load_le32(p + 8);
    h.corrected = load_le32(p + 12);
    h.escaped = load_le32(p + 16);
    h.step = std::bit_cast<double>(load_le64(p + 20));
    h.coded_len = load_le32(p + 28);
    h.raw_len = load_le32(p + 32);
    reserved_ok = load_le16(p + 6) == 0;
  }
  const bool raw_ok = h.version == kTokenForm ? h.raw_len <= h.coded_len : h.raw_len == 0;
  const bool fields_ok = (h.precision == kFloat32 || h.precision == kFloat64) && reserved_ok &&
                         h.corrected <= h.sample_count &&
                         h.escaped <= h.corrected && std::isfinite(h.step) && h.step > 0.0 &&
                         (h.corrected == 0) == (h.coded_len == 0) && raw_ok;
  if (!fields_ok) return std::unexpected(CorrectionError::BadField);
  if (h.total() > bytes.size()) return std::unexpected(CorrectionError::Truncated);
  const std::size_t body = static_cast<std::size_t>(h.total()) - kTrailerLen;
  if (crc_of(bytes.first(body)) != load_le32(p + body)) {
    return std::unexpected(CorrectionError::BadChecksum);
  }
  return h;
}

std::vector<std::uint8_t> compacted(std::span<const std::uint8_t> fixed) {
  // Written a moment ago by seal(): its fields need no second check.
  Header h;
  h.version = fixed[4];
  h.precision = fixed[5];
  h.sample_count = load_le32(fixed.data() + 8);
  h.corrected = load_le32(fixed.data() + 12);
  h.escaped = load_le32(fixed.data() + 16);
  h.step = std::bit_cast<double>(load_le64(fixed.data() + 20));
  h.coded_len = load_le32(fixed.data() + 28);
  h.raw_len = load_le32(fixed.data() + 32);
  std::vector<std::uint8_t> out(kMagic, kMagic + 4);
  out.reserve(kSmallestCompactLen + 20 + fixed.size() - kHeaderLen);
  out.push_back(kCompactHeader);
  const float narrow = static_cast<float>(h.step);
  const bool wide = static_cast<double>(narrow) != h.step;
  out.push_back(static_cast<std::uint8_t>((h.precision == kFloat64 ? kFormFloat64 : 0) |
                                          (h.version == kGammaForm ? kFormGamma : 0) |
                                          (h.version == kFlagForm ? kFormFlags : 0) |
                                          (wide ? kFormWideStep : 0)));
  put_varint(out, h.sample_count);
  put_varint(out, h.corrected);
  put_varint(out, h.escaped);
  put_varint(out, h.coded_len);
  put_varint(out, h.raw_len);
  const std::size_t at = out.size();
  out.resize(at + (wide ? 8 : 4));
  if (wide) {
    store_le64(out.data() + at, std::bit_cast<std::uint64_t>(h.step));
  } else {
    store_le_f32(out.data() + at, narrow);
  }
  const std::size_t body = fixed.size() - kHeaderLen - kTrailerLen;
  out.insert(out.end(), fixed.begin() + kHeaderLen, fixed.begin() + kHeaderLen + body);
  const std::size_t crc_at = out.size();
  out.resize(crc_at + kTrailerLen);
  store_le32(out.data() + crc_at, crc_of(std::span<const std::uint8_t>(out).first(crc_at)));
  return out;
}

double step_of(double max_error) noexcept {
  const double wide = 2.0 * max_error * kStepMargin;
  float narrow = static_cast<float>(wide);
  if (static_cast<double>(narrow) > wide) narrow = std::nextafter(narrow, 0.0f);
  return std::isnormal(narrow) ? static_cast<double>(narrow) : wide;
}

void seal(std::span<std::uint8_t> b, const Header& h) {
  std::memcpy(b.data(), kMagic, 4);
  b[4] = h.version;
  b[5] = h.precision;
  store_le16(b.data() + 6, 0);
  store_le32(b.data() + 8, h.sample_count);
  store_le32(b.data() + 12, h.corrected);
  store_le32(b.data() + 16, h.escaped);
  store_le64(b.data() + 20, std::bit_cast<std::uint64_t>(h.step));
  store_le32(b.data() + 28, h.coded_len);
  store_le32(b.data() + 32, h.raw_len);
  const std::size_t body = b.size() - kTrailerLen;
  store_le32(b.data() + body, crc_of(b.first(body)));
}

}  // namespace parts

namespace gamma {

CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error, EncodeBuffers& buffers,
                                 std::span<const std::uint64_t> marks) {
  const auto step = step_for(decoded, originals, max_error);
  if (!step) return std::unexpected(step.error());
  try {
    const Modelled m = originals.is_double()
                           ? model_corrections<true>(decoded, originals, max_error, *step, buffers, marks)
                           : model_corrections<false>(decoded, originals, max_error, *step, buffers, marks);
    return assemble(m, decoded.size(), originals.is_double(), *step, buffers);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
}

}  // namespace gamma

std::string_view message(CorrectionError e) noexcept {
  switch (e) {
    case CorrectionError::BadBound:
      return "max_error must be a positive finite number";
    case CorrectionError::LengthMismatch:
      return "decoded and original signals differ in length";
    case CorrectionError::TooManySamples:
      return "corrections describe at most 4294967295 samples";
    case CorrectionError::Truncated:
      return "corrections truncated";
    case CorrectionError::BadMagic:
      return "corrections magic should be 'QLMK'";
    case CorrectionError::BadVersion:
      return "unsupported corrections version";
    case CorrectionError::WrongPrecision:
      return "corrections were made for the other sample precision";
    case CorrectionError::WrongLength:
      return "corrections were made for a signal of another length";
    case CorrectionError::BadField:
      return "corrections header field out of range";
    case CorrectionError::BadChecksum:
      return "corrections checksum mismatch";
    case CorrectionError::CorruptStream:
      return "corrections stream corrupt";
    case CorrectionError::OutOfMemory:
      return "out of memory while reading corrections";
  }
  return "unknown corrections error";
}

namespace {

// The token form of a layer's corrections, the samples to correct taken
// from `marks` when given; its collection leaves every correction in the
// buffers, in position order, for the other forms and for applying them.
CorrectionResult<Encoded> token_form(std::span<const float> decoded, const Originals& originals,
                                     double max_error, double step, EncodeBuffers& buffers,
                                     std::span<const std::uint64_t> marks) {
  auto tokens = tokens::encode(decoded, originals, max_error, step, buffers, marks);
  if (!tokens) return tokens;
  tokens->bytes = parts::compacted(tokens->bytes);
  return tokens;
}

// The flag form codes a flag for every sample up to the last correction
// (in groups): worth a try where corrections are dense enough for the
// layer's shape to say where they are, and few enough that its adaptive
// coding reads them fast.
bool flags_worth_trying(const Encoded& tokens, std::size_t n, FormTrial trial) {
  const std::size_t count = tokens.corrected;
  return trial == FormTrial::Smallest && count > 0 && count <= kFewCorrections && n <= kFlagDensity * count;
}

// The smallest of the token form, the flag form where it was tried (`fl`),
// and the gamma form where that is worth a try.
CorrectionResult<Encoded> smallest_form(std::span<const float> decoded, const Originals& originals,
                                        double max_error, EncodeBuffers& buffers,
                                        std::span<const std::uint64_t> marks, FormTrial trial,
                                        CorrectionResult<Encoded> tokens, CorrectionResult<Encoded>* fl) {
  // A few hundred corrections may not pay for the token form's tables
  // and four states, and the gamma form reads them in some tens of
  // microseconds: the smaller blob is kept.
  const std::size_t count = tokens->corrected;
  const bool smallest = trial == FormTrial::Smallest;
  // Where the flag form beats the token form, the gamma form, whose gaps
  // know nothing of the layer, is not tried: on such dense corrections it
  // has not been the smaller.
  bool flags_won = false;
  if (fl && *fl) {
    (*fl)->bytes = parts::compacted((*fl)->bytes);
    if ((*fl)->bytes.size() < tokens->bytes.size()) {
      tokens = std::move(*fl);
      flags_won = true;
    }
  }
  if (!flags_won && count > 0 && count <= (smallest ? kFewCorrections : kFewCorrectionsQuick)) {
    auto gamma = gamma::encode(decoded, originals, max_error, buffers, marks);
    if (gamma) {
      gamma->bytes = parts::compacted(gamma->bytes);
      if (gamma->bytes.size() < tokens->bytes.size()) tokens = std::move(gamma);
    }
  }
  return tokens;
}

// encode(), the samples to correct taken from `marks` when given.
CorrectionResult<Encoded> encode_marked(std::span<const float> decoded, const Originals& originals,
                                        double max_error, EncodeBuffers& buffers,
                                        std::span<const std::uint64_t> marks, FormTrial trial) {
  const auto step = step_for(decoded, originals, max_error);
  if (!step) return std::unexpected(step.error());
  try {
    auto tokens = token_form(decoded, originals, max_error, *step, buffers, marks);
    if (!tokens) return tokens;
    if (!flags_worth_trying(*tokens, decoded.size(), trial)) {
      return smallest_form(decoded, originals, max_error, buffers, marks, trial, std::move(tokens), nullptr);
    }
    auto fl = flags::encode(decoded, originals, *step, buffers);
    return smallest_form(decoded, originals, max_error, buffers, marks, trial, std::move(tokens), &fl);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
}

// Applies the corrections a blob of `fix` made from `buffers` holds, as
// encode_applied() describes.
CorrectionResult<Encoded> applied(std::span<float> decoded, const Originals& originals, double max_error,
                                  const EncodeBuffers& buffers, std::vector<double>& reconstructed,
                                  CorrectionResult<Encoded> fix);

}  // namespace

CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error) {
  EncodeBuffers buffers;
  return encode(decoded, originals, max_error, buffers);
}

CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error, EncodeBuffers& buffers) {
  return encode_marked(decoded, originals, max_error, buffers, {}, FormTrial::Smallest);
}

CorrectionResult<Encoded> encode_applied(std::span<float> decoded, const Originals& originals,
                                         double max_error, EncodeBuffers& buffers,
                                         std::vector<double>& reconstructed,
                                         std::span<const std::uint64_t> marks, FormTrial trial) {
  return applied(decoded, originals, max_error, buffers, reconstructed,
                 encode_marked(decoded, originals, max_error, buffers, marks, trial));
}

std::pair<CorrectionResult<Encoded>, CorrectionResult<Encoded>> encode_applied_two(
    AppliedLayer a, AppliedLayer b, const Originals& originals, double max_error, FormTrial trial) {
  const auto alone = [&](const AppliedLayer& l) {
    return encode_applied(l.decoded, originals, max_error, *l.buffers, *l.reconstructed, l.marks, trial);
  };
  const auto step_a = step_for(a.decoded, originals, max_error);
  const auto step_b = step_for(b.decoded, originals, max_error);
  if (!step_a || !step_b) return {alone(a), alone(b)};
  try {
    auto tokens_a = token_form(a.decoded, originals, max_error, *step_a, *a.buffers, a.marks);
    const bool flags_a = tokens_a && flags_worth_trying(*tokens_a, a.decoded.size(), trial);
    if (!flags_a) {
      // Nothing to code together: the first layer is finished, and the
      // second made in the same buffers, whose pages are already touched
      // (fresh ones cost their faults in every call).
      auto done_a = applied(a.decoded, originals, max_error, *a.buffers, *a.reconstructed,
                            tokens_a ? smallest_form(a.decoded, originals, max_error, *a.buffers, a.marks, trial,
                                                     std::move(tokens_a), nullptr)
                                     : std::move(tokens_a));
      b.buffers = a.buffers;
      return {std::move(done_a), alone(b)};
    }
    auto tokens_b = token_form(b.decoded, originals, max_error, *step_b, *b.buffers, b.marks);
    const bool flags_b = tokens_b && flags_worth_trying(*tokens_b, b.decoded.size(), trial);
    // The flag form where it is tried: both in one pass, or the one alone.
    CorrectionResult<Encoded> fl_a = std::unexpected(CorrectionError::CorruptStream);
    CorrectionResult<Encoded> fl_b = std::unexpected(CorrectionError::CorruptStream);
    if (flags_a && flags_b) {
      std::tie(fl_a, fl_b) =
          flags::encode_two(a.decoded, *step_a, *a.buffers, b.decoded, *step_b, *b.buffers, originals);
    } else {
      fl_a = flags::encode(a.decoded, originals, *step_a, *a.buffers);
    }
    // Then each layer as encode_applied() finishes it.
    const auto finish = [&](AppliedLayer& l, CorrectionResult<Encoded>& tokens, bool tried,
                            CorrectionResult<Encoded>& fl) {
      if (!tokens) return applied(l.decoded, originals, max_error, *l.buffers, *l.reconstructed, std::move(tokens));
      auto fix = smallest_form(l.decoded, originals, max_error, *l.buffers, l.marks, trial, std::move(tokens),
                               tried ? &fl : nullptr);
      return applied(l.decoded, originals, max_error, *l.buffers, *l.reconstructed, std::move(fix));
    };
    auto done_a = finish(a, tokens_a, flags_a, fl_a);
    auto done_b = finish(b, tokens_b, flags_b, fl_b);
    return {std::move(done_a), std::move(done_b)};
  } catch (const std::bad_alloc&) {
    return {CorrectionResult<Encoded>(std::unexpected(CorrectionError::OutOfMemory)),
            CorrectionResult<Encoded>(std::unexpected(CorrectionError::OutOfMemory))};
  }
}

namespace {

CorrectionResult<Encoded> applied(std::span<float> decoded, const Originals& originals, double max_error,
                                  const EncodeBuffers& buffers, std::vector<double>& reconstructed,
                                  CorrectionResult<Encoded> fix) {
  if (!fix) return fix;
  // Whichever form encode() kept, the token form's collection left every
  // correction in the buffers, in position order: the same gaps and
  // multiples either form codes.
  const std::uint32_t* gaps = buffers.gaps.data();
  const std::int64_t* ks = buffers.multiples.data();
  const std::size_t count = buffers.gaps.size();
  if (count != fix->corrected) return std::unexpected(CorrectionError::CorruptStream);
  const double step = *step_for(decoded, originals, max_error);
  float* const y = decoded.data();
  std::size_t at = 0;
  if (!originals.is_double()) {
    const float* x = originals.f32().data();
    for (std::size_t j = 0; j < count; ++j, ++at) {
      at += gaps[j];
      y[at] = ks[j] == 0 ? x[at] : corrected(y[at], ks[j], step);
    }
    return fix;
  }
  const double offset = originals.offset();
  const double* x = originals.f64().data();
  try {
    reconstructed.resize(decoded.size());
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    reconstructed[i] = static_cast<double>(y[i]) + offset;
  }
  for (std::size_t j = 0; j < count; ++j, ++at) {
    at += gaps[j];
    reconstructed[at] = ks[j] == 0 ? x[at] : corrected(y[at], offset, ks[j], step);
  }
  return fix;
}

}  // namespace

CorrectionResult<std::size_t> blob_length(std::span<const std::uint8_t> bytes) {
  auto h = parts::read_header(bytes);
  if (!h) return std::unexpected(h.error());
  return static_cast<std::size_t>(h->total());
}

CorrectionResult<BlobFacts> blob_facts(std::span<const std::uint8_t> bytes) {
  auto h = parts::read_header(bytes);
  if (!h) return std::unexpected(h.error());
  return BlobFacts{static_cast<std::size_t>(h->total()), h->precision == kFloat64, h->sample_count};
}

CorrectionResult<void> apply(std::span<const std::uint8_t> blob, std::span<float> signal) {
  auto header = header_for(blob, signal.size(), kFloat32);
  if (!header) return std::unexpected(header.error());
  const Header& h = *header;
  const std::uint8_t* escaped = escape_values(blob, h);
  if (h.version == parts::kTokenForm) {
    auto reader = tokens::Reader::open(blob, h, signal.size());
    if (!reader) return std::unexpected(reader.error());
    return apply_f32(*reader, h, escaped, signal);
  }
  if (h.version == parts::kFlagForm) {
    // Read whole before the first sample changes: it reads the layer.
    auto reader = flags::Reader::open(blob, h, signal);
    if (!reader) return std::unexpected(reader.error());
    return apply_f32(*reader, h, escaped, signal);
  }
  auto reader = EntryReader::open(blob, h, signal.size());
  if (!reader) return std::unexpected(reader.error());
  return apply_f32(*reader, h, escaped, signal);
}

CorrectionResult<std::vector<double>> apply(std::span<const std::uint8_t> blob,
                                            std::span<const float> decoded, double offset) {
  auto header = header_for(blob, decoded.size(), kFloat64);
  if (!header) return std::unexpected(header.error());
  const Header& h = *header;
  const std::uint8_t* escaped = escape_values(blob, h);
  std::vector<double> out;
  try {
    out.resize(decoded.size());
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
  for (std::size_t i = 0; i < decoded.size(); ++i) out[i] = static_cast<double>(decoded[i]) + offset;
  CorrectionResult<void> done;
  if (h.version == parts::kTokenForm) {
    auto reader = tokens::Reader::open(blob, h, decoded.size());
    if (!reader) return std::unexpected(reader.error());
    done = apply_f64(*reader, h, escaped, decoded, offset, out);
  } else if (h.version == parts::kFlagForm) {
    auto reader = flags::Reader::open(blob, h, decoded);
    if (!reader) return std::unexpected(reader.error());
    done = apply_f64(*reader, h, escaped, decoded, offset, out);
  } else {
    auto reader = EntryReader::open(blob, h, decoded.size());
    if (!reader) return std::unexpected(reader.error());
    done = apply_f64(*reader, h, escaped, decoded, offset, out);
  }
  if (!done) return std::unexpected(done.error());
  return out;
}

}  // namespace quillmere::corrections
