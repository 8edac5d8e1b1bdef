#include "quillmere_tools/side_block.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "quillmere/byte_io.hpp"
#include "quillmere/forward_error.hpp"
#include "quillmere_tools/checksum.hpp"
#include "quillmere_tools/corrections_link.hpp"

namespace quillmere_tools {
namespace {

using quillmere::load_le32;
using quillmere::store_le32;

constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'M', 'C'};
constexpr std::uint8_t kVersion = 1;
constexpr std::uint8_t kCompactVersion = 2;
// The compact layout's flag for a float64 source (the fixed one has a byte).
constexpr std::uint8_t kFloat64Source = 16;
// What the compact layout leaves out of a corrections blob: its magic and
// its CRC, put back when it is read.
constexpr std::uint8_t kCorrectionsMagic[4] = {'Q', 'L', 'M', 'K'};
constexpr std::size_t kCorrectionsFraming = 8;
constexpr std::uint8_t kHasOffset = 1;
constexpr std::uint8_t kHasRuns = 2;
constexpr std::uint8_t kHasCorrections = 4;
constexpr std::uint8_t kHasTail = 8;
constexpr std::uint8_t kKnownFlags = kHasOffset | kHasRuns | kHasCorrections | kHasTail;
// The most samples a unit may hold, container and trailing run together:
// the codec's own limit for one signal.
constexpr std::uint64_t kMaxUnitSamples = quillmere::kMaxSampleCount;
// A LEB128 value of a u32 quantity takes at most five bytes.
constexpr int kMaxVarintBytes = 5;

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  std::uint8_t b[4];
  store_le32(b, v);
  out.insert(out.end(), b, b + 4);
}

void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  put_u32(out, static_cast<std::uint32_t>(v));
  put_u32(out, static_cast<std::uint32_t>(v >> 32));
}

std::vector<std::uint8_t> encode_runs(std::span<const NonFiniteRun> runs) {
  std::vector<std::uint8_t> out;
  put_u32(out, static_cast<std::uint32_t>(runs.size()));
  std::size_t previous_end = 0;
  for (const NonFiniteRun& run : runs) {
    out.push_back(static_cast<std::uint8_t>(run.kind));
    put_varint(out, run.start - previous_end);
    put_varint(out, run.length - 1);
    previous_end = run.start + run.length;
  }
  return out;
}

// A cursor over untrusted bytes: every read says whether it fitted.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  std::size_t left() const noexcept { return bytes_.size() - pos_; }
  bool u8(std::uint8_t& v) noexcept {
    if (left() < 1) return false;
    v = bytes_[pos_++];
    return true;
  }
  bool u32(std::uint32_t& v) noexcept {
    if (left() < 4) return false;
    v = load_le32(bytes_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool u64(std::uint64_t& v) noexcept {
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    if (left() < 8 || !u32(lo) || !u32(hi)) return false;
    v = (std::uint64_t{hi} << 32) | lo;
    return true;
  }
  bool f64(double& v) noexcept {
    if (left() < 8) return false;
    std::uint64_t bits;
    std::memcpy(&bits, bytes_.data() + pos_, 8);
    v = std::bit_cast<double>(bits);
    pos_ += 8;
    return true;
  }
  // A u32-sized LEB128 value; longer encodings or overflow are refused.
  bool varint(std::uint64_t& v) noexcept {
    v = 0;
    for (int i = 0; i < kMaxVarintBytes; ++i) {
      std::uint8_t b;
      if (!u8(b)) return false;
      v |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
      if ((b & 0x80) == 0) return v <= 0xffffffffu;
    }
    return false;
  }
  std::span<const std::uint8_t> take(std::size_t n) noexcept {
    const auto piece = bytes_.subspan(pos_, n);
    pos_ += n;
    return piece;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

std::unexpected<UnitError> corrupt(const std::string& what) {
  return unit_error(UnitErrorKind::CorruptUnit, "corrupt side block: " + what);
}

UnitResult<std::vector<NonFiniteRun>> decode_runs(std::span<const std::uint8_t> section,
                                                  std::uint32_t sample_count) {
  Reader in(section);
  std::uint32_t count = 0;
  if (!in.u32(count)) return corrupt("the non-finite section is truncated");
  // Each run takes at least three bytes and one sample: both bound the count
  // before the vector is sized from it.
  if (count == 0 || count > sample_count || count > in.left() / 3) {
    return corrupt("it claims " + std::to_string(count) + " non-finite runs");
  }
  std::vector<NonFiniteRun> runs(count);
  std::uint64_t end = 0;
  for (NonFiniteRun& run : runs) {
    std::uint8_t kind = 0;
    std::uint64_t gap = 0;
    std::uint64_t length_minus_one = 0;
    if (!in.u8(kind) || !in.varint(gap) || !in.varint(length_minus_one)) {
      return corrupt("the non-finite runs are truncated or malformed");
    }
    if (kind > static_cast<std::uint8_t>(NonFiniteKind::MinusInf)) {
      return corrupt("a non-finite run has kind " + std::to_string(kind));
    }
    const std::uint64_t start = end + gap;
    end = start + length_minus_one + 1;
    if (end > sample_count) {
      return corrupt("a non-finite run ends at sample " + std::to_string(end) + " of " +
                     std::to_string(sample_count));
    }
    run = {static_cast<std::size_t>(start), static_cast<std::size_t>(length_minus_one + 1),
           static_cast<NonFiniteKind>(kind)};
  }
  if (in.left() != 0) return corrupt("bytes left over after the non-finite runs");
  return runs;
}

}  // namespace

UnitResult<std::vector<std::uint8_t>> write_side_block(const SideBlock& block,
                                                       std::span<const std::uint8_t> container,
                                                       std::uint32_t sample_count, bool compact) {
  std::vector<std::uint8_t> body;
  std::uint8_t flags = 0;
  if (block.offset) {
    flags |= kHasOffset;
    std::uint8_t b[8];
    std::memcpy(b, &*block.offset, 8);
    body.insert(body.end(), b, b + 8);
  }
  if (!block.non_finite.empty()) {
    flags |= kHasRuns;
    const auto runs = encode_runs(block.non_finite);
    put_u32(body, static_cast<std::uint32_t>(runs.size()));
    body.insert(body.end(), runs.begin(), runs.end());
  }
  std::uint64_t unit_samples = sample_count;
  if (block.tail) {
    flags |= kHasTail;
    put_u32(body, block.tail->length);
    put_u64(body, block.tail->bits);
    unit_samples += block.tail->length;
  }
  const std::size_t corrections_at = body.size();
  if (!block.corrections.empty()) {
    flags |= kHasCorrections;
    body.insert(body.end(), block.corrections.begin(), block.corrections.end());
  }
  if (body.size() > 0xffffffffu) {
    return unit_error(UnitErrorKind::BadInput, "the side block would exceed 4 GiB");
  }
  if (unit_samples > kMaxUnitSamples) {
    return std::unexpected(UnitError::too_many_samples(unit_samples));
  }
  std::vector<std::uint8_t> out(kMagic, kMagic + 4);
  if (compact && !block.tail) {
    // No trailing run: the unit's samples are the container's, and one CRC
    // run on from the container's proves the block and ties it to it, the
    // corrections included: their blob goes without its magic and CRC.
    if (!block.corrections.empty()) {
      const auto& c = block.corrections;
      if (c.size() < kCorrectionsFraming || std::memcmp(c.data(), kCorrectionsMagic, 4) != 0) {
        return unit_error(UnitErrorKind::BadInput, "the corrections are not a corrections blob");
      }
      body.resize(body.size() - kSideTrailerLen);
      body.erase(body.begin() + static_cast<std::ptrdiff_t>(corrections_at),
                 body.begin() + static_cast<std::ptrdiff_t>(corrections_at + 4));
    }
    out.push_back(kCompactVersion);
    out.push_back(static_cast<std::uint8_t>(
        flags | (block.precision == Precision::Float64 ? kFloat64Source : 0)));
    out.insert(out.end(), body.begin(), body.end());
    put_u32(out, crc32_of(out, crc32_of(container)));
    return out;
  }
  out.push_back(kVersion);
  out.push_back(static_cast<std::uint8_t>(block.precision));
  out.push_back(flags);
  out.push_back(0);
  put_u32(out, static_cast<std::uint32_t>(unit_samples));
  put_u32(out, crc32_of(container));
  put_u32(out, static_cast<std::uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  put_u32(out, crc32_of(out));
  return out;
}

namespace {

// What either layout's header says, checked; the body is read alike.
struct SideHead {
  std::uint8_t precision = 0;
  std::uint8_t flags = 0;
  std::uint32_t unit_samples = 0;
  std::span<const std::uint8_t> body;
};

UnitResult<SideHead> read_compact_head(std::span<const std::uint8_t> bytes,
                                       std::span<const std::uint8_t> container,
                                       std::uint32_t sample_count) {
  if (bytes.size() < kCompactSideHeaderLen + kSideTrailerLen) {
    return corrupt("it is " + std::to_string(bytes.size()) + " bytes, shorter than its header");
  }
  const std::size_t crc_at = bytes.size() - kSideTrailerLen;
  if (load_le32(bytes.data() + crc_at) != crc32_of(bytes.first(crc_at), crc32_of(container))) {
    return corrupt("its checksum does not match: it belongs to a different container, or it or "
                   "the container is damaged");
  }
  constexpr std::uint8_t kKnownCompact = kHasOffset | kHasRuns | kHasCorrections | kFloat64Source;
  const std::uint8_t flags = bytes[5];
  if ((flags & ~kKnownCompact) != 0) {
    return corrupt("unknown flags " + std::to_string(flags) + " (this reader knows " +
                   std::to_string(kKnownCompact) + ")");
  }
  SideHead h;
  h.precision = (flags & kFloat64Source) != 0 ? 1 : 0;
  h.flags = static_cast<std::uint8_t>(flags & ~kFloat64Source);
  h.unit_samples = sample_count;
  h.body = bytes.subspan(kCompactSideHeaderLen, crc_at - kCompactSideHeaderLen);
  return h;
}

UnitResult<SideHead> read_fixed_head(std::span<const std::uint8_t> bytes,
                                     std::span<const std::uint8_t> container,
                                     std::uint32_t sample_count) {
  if (bytes.size() < kSideHeaderLen + kSideTrailerLen) {
    return corrupt("it is " + std::to_string(bytes.size()) + " bytes, shorter than its header");
  }
  const std::uint32_t body_len = load_le32(bytes.data() + 16);
  const std::size_t expected = kSideHeaderLen + std::size_t{body_len} + kSideTrailerLen;
  if (expected != bytes.size()) {
    return corrupt("its length field says " + std::to_string(expected) + " bytes but " +
                   std::to_string(bytes.size()) + " follow the container");
  }
  const std::size_t crc_at = bytes.size() - kSideTrailerLen;
  if (load_le32(bytes.data() + crc_at) != crc32_of(bytes.first(crc_at))) {
    return corrupt("its checksum does not match");
  }
  if (bytes[4] != kVersion) return corrupt("unknown version " + std::to_string(bytes[4]));
  const std::uint8_t precision = bytes[5];
  const std::uint8_t flags = bytes[6];
  if (precision > 1) return corrupt("unknown precision " + std::to_string(precision));
  if ((flags & ~kKnownFlags) != 0 || bytes[7] != 0) {
    return corrupt("unknown flags " + std::to_string(flags) + " (this reader knows " +
                   std::to_string(kKnownFlags) + ")");
  }
  const std::uint32_t unit_samples = load_le32(bytes.data() + 8);
  if (!(flags & kHasTail) && unit_samples != sample_count) {
    return corrupt("it is for " + std::to_string(unit_samples) +
                   " samples but the container holds " + std::to_string(sample_count));
  }
  if (load_le32(bytes.data() + 12) != crc32_of(container)) {
    return corrupt("it belongs to a different container (or the container is damaged)");
  }
  return SideHead{precision, flags, unit_samples, bytes.subspan(kSideHeaderLen, body_len)};
}

}  // namespace

UnitResult<SideBlock> read_side_block(std::span<const std::uint8_t> bytes,
                                      std::span<const std::uint8_t> container,
                                      std::uint32_t sample_count) {
  if (bytes.size() < 4 || std::memcmp(bytes.data(), kMagic, 4) != 0) {
    return corrupt("the bytes after the container do not start with \"QLMC\"");
  }
  if (bytes.size() < 5) {
    return corrupt("it is " + std::to_string(bytes.size()) + " bytes, shorter than its header");
  }
  auto head = bytes[4] == kCompactVersion ? read_compact_head(bytes, container, sample_count)
                                          : read_fixed_head(bytes, container, sample_count);
  if (!head) return std::unexpected(head.error());
  const std::uint8_t flags = head->flags;
  const std::uint32_t unit_samples = head->unit_samples;

  SideBlock block;
  block.precision = static_cast<Precision>(head->precision);
  Reader in(head->body);
  if (flags & kHasOffset) {
    double offset = 0.0;
    if (!in.f64(offset)) return corrupt("the offset is truncated");
    if (!std::isfinite(offset) || block.precision != Precision::Float64) {
      return corrupt("the offset is not a finite float64 offset");
    }
    block.offset = offset;
  }
  if (flags & kHasRuns) {
    std::uint32_t runs_len = 0;
    if (!in.u32(runs_len) || runs_len > in.left()) return corrupt("the non-finite runs are truncated");
    QUILLMERE_TRY(runs, decode_runs(in.take(runs_len), sample_count));
    block.non_finite = std::move(*runs);
  }
  if (flags & kHasTail) {
    TrailingRun tail;
    if (!in.u32(tail.length) || !in.u64(tail.bits)) return corrupt("the trailing run is truncated");
    if (tail.length == 0) return corrupt("it records an empty trailing run");
    if (tail.length >= unit_samples) {
      return corrupt("a trailing run of " + std::to_string(tail.length) +
                     " samples is not shorter than the unit's " + std::to_string(unit_samples));
    }
    if (std::uint64_t{sample_count} + tail.length != unit_samples) {
      return corrupt("it is for " + std::to_string(unit_samples) + " samples but the container's " +
                     std::to_string(sample_count) + " and a trailing run of " +
                     std::to_string(tail.length) + " make " +
                     std::to_string(std::uint64_t{sample_count} + tail.length));
    }
    if (unit_samples > kMaxUnitSamples) {
      return corrupt("it is for " + std::to_string(unit_samples) +
                     " samples, more than a channel may hold");
    }
    if (block.precision == Precision::Float32 && (tail.bits >> 32) != 0) {
      return corrupt("the trailing run's value is not a float32");
    }
    block.tail = tail;
  }
  if (flags & kHasCorrections) {
    const auto section = in.take(in.left());
    std::vector<std::uint8_t> blob;
    if (bytes[4] == kCompactVersion) {
      blob.reserve(section.size() + kCorrectionsFraming);
      blob.assign(kCorrectionsMagic, kCorrectionsMagic + 4);
      blob.insert(blob.end(), section.begin(), section.end());
      put_u32(blob, crc32_of(blob));
    } else {
      blob.assign(section.begin(), section.end());
    }
    if (auto checked = check_corrections(blob, block.precision, sample_count); !checked) {
      return std::unexpected(checked.error());
    }
    block.corrections = std::move(blob);
  }
  if (in.left() != 0) return corrupt("bytes left over at its end");
  return block;
}

}  // namespace quillmere_tools
