// The blocked unit's bytes: writing the index, checking it, and decoding any
// run of samples from the blocks that hold them.
#include "quillmere_tools/blocked_unit.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "quillmere/byte_io.hpp"
#include "quillmere/forward_error.hpp"
#include "quillmere/header.hpp"
#include "quillmere_tools/checksum.hpp"
#include "quillmere_tools/indexed_pool.hpp"
#include "quillmere_tools/integer_unit.hpp"

namespace quillmere_tools {
namespace {

using quillmere::load_le32;
using quillmere::store_le32;

constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'M', 'B'};
constexpr std::uint8_t kVersion = 1;

std::uint64_t load_le64(const std::uint8_t* p) noexcept {
  return std::uint64_t{load_le32(p)} | (std::uint64_t{load_le32(p + 4)} << 32);
}

void store_le64(std::uint8_t* p, std::uint64_t v) noexcept {
  store_le32(p, static_cast<std::uint32_t>(v));
  store_le32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

std::unexpected<UnitError> corrupt(std::string message) {
  return unit_error(UnitErrorKind::CorruptUnit, "blocked unit: " + std::move(message));
}

std::string block_name(std::size_t i) { return "block " + std::to_string(i); }

// The first failure by block order, so the error does not depend on which
// thread finished first.
UnitResult<void> first_failure(std::span<const UnitResult<void>> results) {
  for (const auto& r : results) {
    if (!r) return std::unexpected(r.error());
  }
  return {};
}

std::unexpected<UnitError> outside(std::uint64_t start, std::uint64_t stop, std::uint64_t n) {
  return unit_error(UnitErrorKind::BadInput, "the range " + std::to_string(start) + ".." +
                                                 std::to_string(stop) + " is not within the " +
                                                 std::to_string(n) + " samples of the signal");
}

std::size_t sink_size(const SampleSink& out) noexcept {
  return std::visit([](auto s) { return s.size(); }, out);
}

// Copies decoded[from, from + n) to out[to, to + n); the precisions match.
void copy_part(const DecodedUnit& decoded, std::size_t from, std::size_t n, SampleSink out,
               std::size_t to) noexcept {
  if (auto* f = std::get_if<std::span<float>>(&out)) {
    std::copy_n(decoded.f32.begin() + static_cast<std::ptrdiff_t>(from), n, f->begin() + static_cast<std::ptrdiff_t>(to));
  } else {
    auto& d = std::get<std::span<double>>(out);
    std::copy_n(decoded.f64.begin() + static_cast<std::ptrdiff_t>(from), n, d.begin() + static_cast<std::ptrdiff_t>(to));
  }
}

Precision precision_of(const SampleSink& out) noexcept {
  return std::holds_alternative<std::span<double>>(out) ? Precision::Float64 : Precision::Float32;
}

UnitResult<void> check_sink(const SampleSink& out, Precision precision, std::size_t n) {
  if (precision_of(out) != precision || sink_size(out) != n) {
    return unit_error(UnitErrorKind::BadInput, "the output does not fit the range");
  }
  return {};
}

UnitResult<void> decode_plain_with(std::span<const std::uint8_t> unit, std::uint64_t start,
                                   std::uint64_t stop, const SinkFactory& make_sink,
                                   const BlockDone& done) {
  QUILLMERE_TRY(decoded, decode_unit(unit));
  const std::size_t n = decoded->f32.size() + decoded->f64.size();
  if (start > stop || stop > n) return outside(start, stop, n);
  const auto count = static_cast<std::size_t>(stop - start);
  QUILLMERE_TRY(out, make_sink(decoded->precision, count));
  QUILLMERE_TRY_VOID(check_sink(*out, decoded->precision, count));
  copy_part(*decoded, static_cast<std::size_t>(start), count, *out, 0);
  if (done) done();
  return {};
}

}  // namespace

std::uint32_t BlockedView::block_samples(std::size_t i) const noexcept {
  const std::uint64_t left = sample_count - block_start(i);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(left, block_length));
}

bool is_blocked_unit(std::span<const std::uint8_t> bytes) noexcept {
  return bytes.size() >= 4 && std::memcmp(bytes.data(), kMagic, 4) == 0;
}

UnitResult<BlockedView> read_blocked_index(std::span<const std::uint8_t> bytes) {
  if (!is_blocked_unit(bytes)) return corrupt("the magic is not QLMB");
  if (bytes.size() < kBlockedHeaderLen + 4) {
    return corrupt("the header is truncated at " + std::to_string(bytes.size()) + " bytes");
  }
  if (bytes[4] != kVersion) return corrupt("version " + std::to_string(bytes[4]) + " is unknown");
  if (bytes[5] > 1) return corrupt("precision code " + std::to_string(bytes[5]) + " is unknown");
  if (bytes[6] != 0 || bytes[7] != 0) return corrupt("the reserved bytes are not zero");
  BlockedView view;
  view.precision = static_cast<Precision>(bytes[5]);
  view.sample_count = load_le64(bytes.data() + 8);
  view.block_length = load_le32(bytes.data() + 16);
  const std::uint32_t count = load_le32(bytes.data() + 20);
  if (view.block_length < kMinBlockLength || view.block_length > kMaxBlockLength) {
    return corrupt("block length " + std::to_string(view.block_length) + " is out of range");
  }
  if (view.sample_count == 0) return corrupt("it holds no samples");
  const std::uint64_t expected = (view.sample_count - 1) / view.block_length + 1;
  if (count != expected) {
    return corrupt(std::to_string(count) + " blocks cannot hold " +
                   std::to_string(view.sample_count) + " samples of " +
                   std::to_string(view.block_length) + " a block (that takes " +
                   std::to_string(expected) + ")");
  }
  // The index must fit in the bytes before it is allocated.
  if (std::uint64_t{count} > (bytes.size() - kBlockedHeaderLen - 4) / kBlockEntryLen) {
    return corrupt("the index of " + std::to_string(count) + " blocks is truncated");
  }
  const std::size_t index_end = kBlockedHeaderLen + std::size_t{count} * kBlockEntryLen;
  if (load_le32(bytes.data() + index_end) != crc32_of(bytes.first(index_end))) {
    return corrupt("the header CRC does not match");
  }
  view.data = bytes.subspan(index_end + 4);
  view.blocks.resize(count);
  std::uint64_t next = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = bytes.data() + kBlockedHeaderLen + i * kBlockEntryLen;
    BlockEntry& e = view.blocks[i];
    e.offset = load_le64(p);
    e.length = load_le64(p + 8);
    e.crc = load_le32(p + 16);
    if (e.offset > view.data.size() || e.length > view.data.size() - e.offset) {
      return corrupt(block_name(i) + " ends past the end of the data");
    }
    if (e.offset < next) return corrupt(block_name(i) + " overlaps the block before it");
    if (e.offset > next) return corrupt(block_name(i) + " leaves a gap after the block before it");
    if (e.length == 0) return corrupt(block_name(i) + " is empty");
    next = e.offset + e.length;
  }
  if (next != view.data.size()) {
    return corrupt(std::to_string(view.data.size() - next) + " bytes follow the last block");
  }
  // The last block settles the sample count, so a count that disagrees with
  // the blocks is found whichever part is read. Its header and side block
  // are read; its samples are not.
  const std::size_t last = view.blocks.size() - 1;
  const auto n = unit_sample_count(view.block_bytes(last));
  if (!n) return corrupt(block_name(last) + ": " + n.error().message);
  if (*n != view.block_samples(last)) {
    return corrupt(block_name(last) + " holds " + std::to_string(*n) + " samples, not " +
                   std::to_string(view.block_samples(last)));
  }
  return view;
}

UnitResult<void> check_block_samples(const BlockedView& view, std::size_t i) {
  const auto n = unit_sample_count(view.block_bytes(i));
  if (!n) return corrupt(block_name(i) + ": " + n.error().message);
  if (*n != view.block_samples(i)) {
    return corrupt(block_name(i) + " holds " + std::to_string(*n) + " samples, not " +
                   std::to_string(view.block_samples(i)));
  }
  return {};
}

UnitResult<void> check_block_crc(const BlockedView& view, std::size_t i) {
  if (crc32_of(view.block_bytes(i)) != view.blocks[i].crc) return corrupt(block_name(i) + " fails its CRC");
  return {};
}

UnitResult<void> check_block(const BlockedView& view, std::size_t i) {
  QUILLMERE_TRY_VOID(check_block_crc(view, i));
  return check_block_samples(view, i);
}

UnitResult<std::vector<std::uint8_t>> write_blocked_unit(
    Precision precision, std::uint64_t sample_count, std::uint32_t block_length,
    std::span<const std::vector<std::uint8_t>> units) {
  if (block_length < kMinBlockLength || block_length > kMaxBlockLength || sample_count == 0 ||
      units.size() != (sample_count - 1) / block_length + 1 || units.size() > 0xffffffffu) {
    return unit_error(UnitErrorKind::BadInput, "the blocks do not match the sample count");
  }
  const std::size_t index_end = kBlockedHeaderLen + units.size() * kBlockEntryLen;
  std::size_t total = index_end + 4;
  for (const auto& u : units) total += u.size();
  std::vector<std::uint8_t> out(total, 0);
  std::memcpy(out.data(), kMagic, 4);
  out[4] = kVersion;
  out[5] = static_cast<std::uint8_t>(precision);
  store_le64(out.data() + 8, sample_count);
  store_le32(out.data() + 16, block_length);
  store_le32(out.data() + 20, static_cast<std::uint32_t>(units.size()));
  std::uint64_t offset = 0;
  std::uint8_t* data = out.data() + index_end + 4;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint8_t* p = out.data() + kBlockedHeaderLen + i * kBlockEntryLen;
    store_le64(p, offset);
    store_le64(p + 8, units[i].size());
    store_le32(p + 16, crc32_of(units[i]));
    if (!units[i].empty()) std::memcpy(data + offset, units[i].data(), units[i].size());
    offset += units[i].size();
  }
  store_le32(out.data() + index_end, crc32_of(std::span(out).first(index_end)));
  return out;
}

UnitResult<UnitLayout> read_layout(std::span<const std::uint8_t> unit) {
  UnitLayout layout;
  if (is_blocked_unit(unit)) {
    QUILLMERE_TRY(view, read_blocked_index(unit));
    layout.precision = view->precision;
    layout.sample_count = view->sample_count;
    layout.block_length = view->block_length;
    for (const BlockEntry& e : view->blocks) layout.block_bytes.push_back(e.length);
    return layout;
  }
  const auto header = quillmere::QuillmereHeader::from_bytes(unit, kLastUnitCoder);
  if (!header) return unit_error(UnitErrorKind::Codec, header.error().message());
  const std::size_t container_len = quillmere::HEADER_LEN + std::size_t{header->payload_len};
  if (unit.size() < container_len) return unit_error(UnitErrorKind::CorruptUnit, "the container is truncated");
  layout.sample_count = header->sample_count;
  layout.block_bytes.push_back(unit.size());
  if (unit.size() > container_len) {
    QUILLMERE_TRY(side, read_side_block(unit.subspan(container_len), unit.first(container_len),
                                        header->sample_count));
    layout.precision = side->precision;
    layout.sample_count += side->tail ? side->tail->length : 0u;
  }
  return layout;
}

UnitResult<void> decode_range_with(std::span<const std::uint8_t> unit, std::uint64_t start,
                                   std::uint64_t stop, std::size_t threads,
                                   const SinkFactory& make_sink, const BlockDone& done) {
  if (!is_blocked_unit(unit)) return decode_plain_with(unit, start, stop, make_sink, done);
  QUILLMERE_TRY(read, read_blocked_index(unit));
  const BlockedView& view = *read;
  if (start > stop || stop > view.sample_count) return outside(start, stop, view.sample_count);
  const std::size_t first = static_cast<std::size_t>(start / view.block_length);
  const std::size_t last = start == stop ? first : static_cast<std::size_t>((stop - 1) / view.block_length);
  const std::size_t count = start == stop ? 0 : last - first + 1;

  // Up front, only what bounds the output: each block's header must claim
  // the samples the index gives it, so a hostile index cannot make the
  // caller allocate more than its blocks say they hold. The CRC, which reads
  // every byte, is left to the block's own task: a pass of its own would be
  // one more wait for the slowest thread before any block is decoded.
  std::vector<UnitResult<void>> status(count);
  run_indexed(count, threads, [&](std::size_t k) noexcept {
    status[k] = catching<void>([&] { return check_block_samples(view, first + k); });
  });
  QUILLMERE_TRY_VOID(first_failure(status));
  QUILLMERE_TRY(sink, make_sink(view.precision, static_cast<std::size_t>(stop - start)));
  QUILLMERE_TRY_VOID(check_sink(*sink, view.precision, static_cast<std::size_t>(stop - start)));
  const SampleSink out = *sink;

  run_indexed(count, threads, [&](std::size_t k) noexcept {
    const std::size_t i = first + k;
    try {
      if (auto intact = check_block_crc(view, i); !intact) {
        status[k] = std::unexpected(intact.error());
        return;
      }
      auto block = decode_unit(view.block_bytes(i));
      if (!block) {
        status[k] = corrupt(block_name(i) + ": " + block.error().message);
      } else if (block->precision != view.precision ||
                 block->f32.size() + block->f64.size() != view.block_samples(i)) {
        status[k] = corrupt(block_name(i) + " is not the part of the signal its index says");
      } else {
        const std::uint64_t b0 = view.block_start(i);
        const std::uint64_t lo = std::max(start, b0);
        const std::uint64_t hi = std::min<std::uint64_t>(stop, b0 + view.block_samples(i));
        copy_part(*block, static_cast<std::size_t>(lo - b0), static_cast<std::size_t>(hi - lo), out,
                  static_cast<std::size_t>(lo - start));
        if (done) done();
      }
    } catch (...) {
      status[k] = std::unexpected(caught_unit_error());
    }
  });
  return first_failure(status);
}

UnitResult<DecodedUnit> decode_range(std::span<const std::uint8_t> unit, std::uint64_t start,
                                     std::uint64_t stop, std::size_t threads) {
  DecodedUnit out;
  auto done = decode_range_with(unit, start, stop, threads,
                                [&](Precision p, std::size_t n) -> UnitResult<SampleSink> {
                                  out.precision = p;
                                  if (p == Precision::Float64) {
                                    out.f64.resize(n);
                                    return SampleSink(std::span<double>(out.f64));
                                  }
                                  out.f32.resize(n);
                                  return SampleSink(std::span<float>(out.f32));
                                });
  if (!done) return std::unexpected(done.error());
  return out;
}

UnitResult<DecodedUnit> decode_any(std::span<const std::uint8_t> unit, std::size_t threads) {
  if (!is_blocked_unit(unit)) return decode_unit(unit);
  QUILLMERE_TRY(layout, read_layout(unit));
  return decode_range(unit, 0, layout->sample_count, threads);
}

}  // namespace quillmere_tools
