#include "quillmere/corrections.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include <zlib.h>

#include "bin_engine.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere::corrections {
namespace {

constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'M', 'K'};
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kFloat32 = 0;
constexpr std::uint8_t kFloat64 = 1;
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
// Multiples beyond this are escaped: it keeps k * step exact in a double and
// a hostile k from reaching any arithmetic edge.
constexpr std::int64_t kMaxMultiple = std::int64_t{1} << 31;
// The step sits a hair under twice the bound, so the residual after a
// correction, at most step / 2, leaves room for the rounding of the final
// addition; samples where even that is not enough are escaped.
constexpr double kStepMargin = 1.0 - 1.0 / 1024.0;

inline std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }

void put_number(bin_engine::BinEnc& enc, std::size_t unary, std::size_t bits, std::uint64_t v) {
  const auto w = static_cast<unsigned>(std::bit_width(v));
  for (unsigned j = 0; j + 1 < w; ++j) enc.put(unary + j, 1);
  enc.put(unary + w - 1, 0);
  for (unsigned b = w - 1; b-- > 0;) enc.put(bits + w * kWidths + b, (v >> b) & 1u);
}

// Reads what put_number wrote; a width above max_width is corrupt.
bool get_number(bin_engine::BinDec& dec, std::size_t unary, std::size_t bits, unsigned max_width,
                std::uint64_t& v) {
  unsigned w = 1;
  while (dec.get(unary + w - 1)) {
    if (++w > max_width) return false;
  }
  v = 1;
  for (unsigned b = w - 1; b-- > 0;) v = (v << 1) | dec.get(bits + w * kWidths + b);
  return true;
}

// The decoder's arithmetic, shared by the encoder's verification.
inline float corrected(float y, std::int64_t k, double step) noexcept {
  return y + static_cast<float>(static_cast<double>(k) * step);
}
inline double corrected(float y, double offset, std::int64_t k, double step) noexcept {
  return (static_cast<double>(y) + offset) + static_cast<double>(k) * step;
}

struct Header {
  std::uint8_t precision = 0;
  std::uint32_t sample_count = 0;
  std::uint32_t corrected = 0;
  std::uint32_t escaped = 0;
  double step = 0.0;
  std::uint32_t coded_len = 0;
  std::size_t width() const noexcept { return precision == kFloat32 ? 4 : 8; }
  std::uint64_t total() const noexcept {
    return kHeaderLen + std::uint64_t{coded_len} + std::uint64_t{escaped} * width() + kTrailerLen;
  }
};

std::uint32_t crc_of(std::span<const std::uint8_t> bytes) {
  // zlib's length is a uInt; blobs are far below 4 GiB (checked by callers).
  return static_cast<std::uint32_t>(
      crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

CorrectionResult<Header> read_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderLen + kTrailerLen) return std::unexpected(CorrectionError::Truncated);
  const std::uint8_t* p = bytes.data();
  if (std::memcmp(p, kMagic, 4) != 0) return std::unexpected(CorrectionError::BadMagic);
  if (p[4] != kVersion) return std::unexpected(CorrectionError::BadVersion);
  Header h;
  h.precision = p[5];
  h.sample_count = load_le32(p + 8);
  h.corrected = load_le32(p + 12);
  h.escaped = load_le32(p + 16);
  h.step = std::bit_cast<double>(load_le64(p + 20));
  h.coded_len = load_le32(p + 28);
  const bool fields_ok = (h.precision == kFloat32 || h.precision == kFloat64) &&
                         load_le16(p + 6) == 0 && h.corrected <= h.sample_count &&
                         h.escaped <= h.corrected && std::isfinite(h.step) && h.step > 0.0 &&
                         (h.corrected == 0) == (h.coded_len == 0) &&
                         load_le32(p + 32) == 0;
  if (!fields_ok) return std::unexpected(CorrectionError::BadField);
  if (h.total() > bytes.size()) return std::unexpected(CorrectionError::Truncated);
  const std::size_t body = static_cast<std::size_t>(h.total()) - kTrailerLen;
  if (crc_of(bytes.first(body)) != load_le32(p + body)) {
    return std::unexpected(CorrectionError::BadChecksum);
  }
  return h;
}

// One correction, decoded and validated; escape holds the exact value.
struct Entry {
  std::uint32_t position;
  std::int64_t k;  // 0: escape
};

// Decodes and validates the whole blob for a signal of n samples. Nothing
// is allocated before the header has proved its counts against n.
CorrectionResult<std::pair<Header, std::vector<Entry>>> read_entries(
    std::span<const std::uint8_t> blob, std::size_t n, std::uint8_t precision) {
  auto header = read_header(blob);
  if (!header) return std::unexpected(header.error());
  const Header& h = *header;
  if (h.precision != precision) return std::unexpected(CorrectionError::WrongPrecision);
  if (h.sample_count != n) return std::unexpected(CorrectionError::WrongLength);

  std::vector<Entry> entries;
  try {
    entries.reserve(h.corrected);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
  if (h.corrected == 0) return std::pair{h, std::move(entries)};
  auto dec = bin_engine::BinDec::create(kContexts, blob.subspan(kHeaderLen, h.coded_len));
  if (!dec) return std::unexpected(CorrectionError::CorruptStream);
  std::uint64_t next = 0;  // smallest position the next entry may take
  std::uint32_t escapes = 0;
  for (std::uint32_t i = 0; i < h.corrected; ++i) {
    std::uint64_t gap = 0, mag = 0;
    if (!get_number(*dec, kGapUnary, kGapBits, kMaxGapWidth, gap) ||
        !get_number(*dec, kMagUnary, kMagBits, kMaxMagWidth, mag)) {
      return std::unexpected(CorrectionError::CorruptStream);
    }
    --gap, --mag;
    const bool negative = mag != 0 && dec->get(kSign);
    if (dec->truncated() || next + gap >= n || mag > static_cast<std::uint64_t>(kMaxMultiple)) {
      return std::unexpected(CorrectionError::CorruptStream);
    }
    const auto k = static_cast<std::int64_t>(mag);
    const std::uint64_t at = next + gap;
    entries.push_back({static_cast<std::uint32_t>(at), negative ? -k : k});
    escapes += mag == 0;
    next = at + 1;
  }
  // The stream closes with its own count of corrections, so a header count
  // that differs from the coder's is caught even where the CRC was forged
  // to match; and rANS decoding being the encoding run backwards, a whole
  // stream ends with every word read.
  std::uint64_t closing = 0;
  if (!get_number(*dec, kCountUnary, kCountBits, kMaxGapWidth, closing) ||
      closing != std::uint64_t{h.corrected} + 1 || dec->truncated() ||
      escapes != h.escaped || dec->can_fast(1)) {
    return std::unexpected(CorrectionError::CorruptStream);
  }
  return std::pair{h, std::move(entries)};
}

const std::uint8_t* escape_values(std::span<const std::uint8_t> blob, const Header& h) {
  return blob.data() + kHeaderLen + h.coded_len;
}

}  // namespace

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

CorrectionResult<Encoded> encode(std::span<const float> decoded, const Originals& originals,
                                 double max_error) {
  if (!(std::isfinite(max_error) && max_error > 0.0)) {
    return std::unexpected(CorrectionError::BadBound);
  }
  const std::size_t n = decoded.size();
  if (originals.size() != n) return std::unexpected(CorrectionError::LengthMismatch);
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(CorrectionError::TooManySamples);
  }
  const bool f64 = originals.is_double();
  const double step = 2.0 * max_error * kStepMargin;
  const double offset = originals.offset();

  Encoded out;
  std::vector<std::uint8_t> escapes;
  std::vector<std::uint8_t> packed;
  try {
    bin_engine::BinEnc enc(kContexts);
    std::uint64_t next = 0;
    const float* yp = decoded.data();
    const float* x32 = originals.f32().data();
    const double* x64 = originals.f64().data();
    for (std::size_t i = 0; i < n; ++i) {
      const float y = yp[i];
      const double x = f64 ? x64[i] : static_cast<double>(x32[i]);
      const double r = f64 ? static_cast<double>(y) + offset : static_cast<double>(y);
      const double e = x - r;
      // Most samples leave here. NaN r fails the test and is escaped below;
      // non-finite originals are never corrected.
      if (std::fabs(e) <= max_error || !std::isfinite(x)) [[likely]] continue;

      const double q = std::round(e / step);
      std::int64_t k = 0;
      if (std::fabs(q) <= static_cast<double>(kMaxMultiple)) {
        k = static_cast<std::int64_t>(q);
        const double got = f64 ? corrected(y, offset, k, step)
                               : static_cast<double>(corrected(y, k, step));
        if (!(std::fabs(x - got) <= max_error)) k = 0;
      }
      put_number(enc, kGapUnary, kGapBits, i - next + 1);
      const std::uint64_t mag = static_cast<std::uint64_t>(k < 0 ? -k : k);
      put_number(enc, kMagUnary, kMagBits, mag + 1);
      if (mag != 0) enc.put(kSign, k < 0);
      next = i + 1;
      ++out.corrected;
      if (k == 0) {
        ++out.escaped;
        const std::size_t at = escapes.size();
        if (f64) {
          escapes.resize(at + 8);
          store_le64(escapes.data() + at, std::bit_cast<std::uint64_t>(x));
        } else {
          escapes.resize(at + 4);
          store_le_f32(escapes.data() + at, originals.f32()[i]);
        }
      }
    }
    if (out.corrected > 0) {
      put_number(enc, kCountUnary, kCountBits, std::uint64_t{out.corrected} + 1);
      enc.finish_into(packed);
    }
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }

  if (packed.size() > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(CorrectionError::TooManySamples);
  }
  std::vector<std::uint8_t>& b = out.bytes;
  try {
    b.resize(kHeaderLen + packed.size() + escapes.size() + kTrailerLen);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
  std::memcpy(b.data(), kMagic, 4);
  b[4] = kVersion;
  b[5] = f64 ? kFloat64 : kFloat32;
  store_le16(b.data() + 6, 0);
  store_le32(b.data() + 8, static_cast<std::uint32_t>(n));
  store_le32(b.data() + 12, static_cast<std::uint32_t>(out.corrected));
  store_le32(b.data() + 16, static_cast<std::uint32_t>(out.escaped));
  store_le64(b.data() + 20, std::bit_cast<std::uint64_t>(step));
  store_le32(b.data() + 28, static_cast<std::uint32_t>(packed.size()));
  store_le32(b.data() + 32, 0);
  if (!packed.empty()) std::memcpy(b.data() + kHeaderLen, packed.data(), packed.size());
  if (!escapes.empty()) {
    std::memcpy(b.data() + kHeaderLen + packed.size(), escapes.data(), escapes.size());
  }
  const std::size_t body = b.size() - kTrailerLen;
  store_le32(b.data() + body, crc_of(std::span<const std::uint8_t>(b).first(body)));
  return out;
}

CorrectionResult<std::size_t> blob_length(std::span<const std::uint8_t> bytes) {
  auto h = read_header(bytes);
  if (!h) return std::unexpected(h.error());
  return static_cast<std::size_t>(h->total());
}

CorrectionResult<void> apply(std::span<const std::uint8_t> blob, std::span<float> signal) {
  auto read = read_entries(blob, signal.size(), kFloat32);
  if (!read) return std::unexpected(read.error());
  const auto& [h, entries] = *read;
  // Every new value is computed and checked before the first one is written.
  std::vector<float> values;
  try {
    values.resize(entries.size());
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
  const std::uint8_t* escaped = escape_values(blob, h);
  for (std::size_t j = 0; j < entries.size(); ++j) {
    const Entry& e = entries[j];
    float v;
    if (e.k == 0) {
      v = load_le_f32(escaped);
      escaped += 4;
    } else {
      v = corrected(signal[e.position], e.k, h.step);
    }
    if (!std::isfinite(v)) return std::unexpected(CorrectionError::CorruptStream);
    values[j] = v;
  }
  for (std::size_t j = 0; j < entries.size(); ++j) signal[entries[j].position] = values[j];
  return {};
}

CorrectionResult<std::vector<double>> apply(std::span<const std::uint8_t> blob,
                                            std::span<const float> decoded, double offset) {
  auto read = read_entries(blob, decoded.size(), kFloat64);
  if (!read) return std::unexpected(read.error());
  const auto& [h, entries] = *read;
  std::vector<double> out;
  try {
    out.resize(decoded.size());
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
  for (std::size_t i = 0; i < decoded.size(); ++i) out[i] = static_cast<double>(decoded[i]) + offset;
  const std::uint8_t* escaped = escape_values(blob, h);
  for (const Entry& e : entries) {
    double v;
    if (e.k == 0) {
      v = std::bit_cast<double>(load_le64(escaped));
      escaped += 8;
    } else {
      v = corrected(decoded[e.position], offset, e.k, h.step);
    }
    if (!std::isfinite(v)) return std::unexpected(CorrectionError::CorruptStream);
    out[e.position] = v;
  }
  return out;
}

}  // namespace quillmere::corrections
