#include "quillmere/corrections.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include <zlib.h>

#include "quillmere/byte_io.hpp"
#include "quillmere/deflate_codec.hpp"

namespace quillmere::corrections {
namespace {

constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'M', 'K'};
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kFloat32 = 0;
constexpr std::uint8_t kFloat64 = 1;
// A LEB128 gap (< 2^32) takes at most 5 bytes, a zigzag multiple (|k| <=
// kMaxMultiple) at most 5: this bounds what a stream may claim to inflate to.
constexpr std::uint64_t kMaxEntryBytes = 10;
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

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

// At most 10 bytes; a value that does not fit 64 bits is refused.
bool get_varint(std::span<const std::uint8_t> in, std::size_t& pos, std::uint64_t& v) {
  v = 0;
  for (unsigned shift = 0; shift < 64; shift += 7) {
    if (pos >= in.size()) return false;
    const std::uint8_t b = in[pos++];
    if (shift == 63 && b > 1) return false;
    v |= std::uint64_t{b & 0x7Fu} << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

inline std::uint64_t zigzag(std::int64_t k) noexcept {
  return (static_cast<std::uint64_t>(k) << 1) ^ static_cast<std::uint64_t>(k >> 63);
}
inline std::int64_t unzigzag(std::uint64_t z) noexcept {
  return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1);
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
  std::uint32_t packed_len = 0;
  std::uint32_t stream_len = 0;
  std::size_t width() const noexcept { return precision == kFloat32 ? 4 : 8; }
  std::uint64_t total() const noexcept {
    return kHeaderLen + std::uint64_t{packed_len} + std::uint64_t{escaped} * width() + kTrailerLen;
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
  h.packed_len = load_le32(p + 28);
  h.stream_len = load_le32(p + 32);
  const bool fields_ok = (h.precision == kFloat32 || h.precision == kFloat64) &&
                         load_le16(p + 6) == 0 && h.corrected <= h.sample_count &&
                         h.escaped <= h.corrected && std::isfinite(h.step) && h.step > 0.0 &&
                         (h.corrected == 0) == (h.packed_len == 0) &&
                         (h.corrected == 0) == (h.stream_len == 0) &&
                         h.stream_len >= 2 * std::uint64_t{h.corrected} &&
                         h.stream_len <= kMaxEntryBytes * h.corrected;
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
  std::vector<std::uint8_t> stream;
  if (h.corrected > 0) {
    auto inflated = inflate_raw(blob.subspan(kHeaderLen, h.packed_len), std::size_t{h.stream_len} + 1);
    if (!inflated) {
      return std::unexpected(inflated.error().kind() == ErrorKind::Decompress &&
                                     inflated.error().text() == "out of memory"
                                 ? CorrectionError::OutOfMemory
                                 : CorrectionError::CorruptStream);
    }
    stream = std::move(*inflated);
    if (stream.size() != h.stream_len) return std::unexpected(CorrectionError::CorruptStream);
  }
  try {
    entries.reserve(h.corrected);
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }
  std::size_t pos = 0;
  std::uint64_t next = 0;  // smallest position the next entry may take
  std::uint32_t escapes = 0;
  for (std::uint32_t i = 0; i < h.corrected; ++i) {
    std::uint64_t gap = 0, z = 0;
    if (!get_varint(stream, pos, gap) || !get_varint(stream, pos, z)) {
      return std::unexpected(CorrectionError::CorruptStream);
    }
    if (gap >= n || next + gap >= n) return std::unexpected(CorrectionError::CorruptStream);
    const std::int64_t k = unzigzag(z);
    if (k > kMaxMultiple || k < -kMaxMultiple) return std::unexpected(CorrectionError::CorruptStream);
    const std::uint64_t at = next + gap;
    entries.push_back({static_cast<std::uint32_t>(at), k});
    escapes += k == 0;
    next = at + 1;
  }
  if (pos != stream.size() || escapes != h.escaped) {
    return std::unexpected(CorrectionError::CorruptStream);
  }
  return std::pair{h, std::move(entries)};
}

const std::uint8_t* escape_values(std::span<const std::uint8_t> blob, const Header& h) {
  return blob.data() + kHeaderLen + h.packed_len;
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
  std::vector<std::uint8_t> stream;
  std::vector<std::uint8_t> escapes;
  try {
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const float y = decoded[i];
      const double x = f64 ? originals.f64()[i] : static_cast<double>(originals.f32()[i]);
      if (!std::isfinite(x)) continue;
      const double r = f64 ? static_cast<double>(y) + offset : static_cast<double>(y);
      const double e = x - r;
      if (std::fabs(e) <= max_error) continue;  // NaN r fails here and is escaped below

      const double q = std::round(e / step);
      std::int64_t k = 0;
      if (std::fabs(q) <= static_cast<double>(kMaxMultiple)) {
        k = static_cast<std::int64_t>(q);
        const double got = f64 ? corrected(y, offset, k, step)
                               : static_cast<double>(corrected(y, k, step));
        if (!(std::fabs(x - got) <= max_error)) k = 0;
      }
      put_varint(stream, i - next);
      put_varint(stream, zigzag(k));
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
  } catch (const std::bad_alloc&) {
    return std::unexpected(CorrectionError::OutOfMemory);
  }

  std::vector<std::uint8_t> packed;
  if (!stream.empty()) {
    auto deflated = deflate_raw(stream);
    if (!deflated) return std::unexpected(CorrectionError::OutOfMemory);
    packed = std::move(*deflated);
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
  store_le32(b.data() + 32, static_cast<std::uint32_t>(stream.size()));
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
