#include "chunk_frame.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "quillmere_tools/checksum.hpp"

namespace quillmere::hdf5 {

using quillmere_tools::crc32_of;

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'L', 'H', '5'};

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int b = 0; b < 4; ++b) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
}

void put_u64(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int b = 0; b < 8; ++b) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
}

std::uint64_t get_le(std::span<const std::uint8_t> bytes, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int b = 0; b < width; ++b) v |= std::uint64_t{bytes[at + b]} << (8 * b);
  return v;
}

std::vector<std::uint8_t> header(FrameKind kind, ElementType element, std::uint32_t channels,
                                 std::uint32_t frames, std::uint64_t total_len) {
  std::vector<std::uint8_t> out(kMagic.begin(), kMagic.end());
  out.push_back(kFrameVersion);
  out.push_back(static_cast<std::uint8_t>(kind));
  out.push_back(static_cast<std::uint8_t>(element));
  out.push_back(0);
  put_u32(out, channels);
  put_u32(out, frames);
  put_u64(out, total_len);
  return out;
}

void seal(std::vector<std::uint8_t>& out) { put_u32(out, crc32_of(out)); }

std::string text_of(std::uint64_t v) { return std::to_string(v); }

}  // namespace

bool looks_framed(std::span<const std::uint8_t> stored) noexcept {
  return stored.size() >= kMagic.size() &&
         std::equal(kMagic.begin(), kMagic.end(), stored.begin());
}

std::vector<std::uint8_t> frame_units(ElementType element, std::uint32_t frames,
                                      std::span<const std::vector<std::uint8_t>> units) {
  std::uint64_t total = kFrameHeaderLen + 8 * units.size() + kFrameTrailerLen;
  for (const auto& u : units) total += u.size();
  auto out = header(FrameKind::Units, element, static_cast<std::uint32_t>(units.size()), frames,
                    total);
  out.reserve(total);
  for (const auto& u : units) put_u64(out, u.size());
  for (const auto& u : units) out.insert(out.end(), u.begin(), u.end());
  seal(out);
  return out;
}

std::vector<std::uint8_t> frame_raw(ElementType element, std::uint32_t channels,
                                    std::uint32_t frames, std::span<const std::uint8_t> raw) {
  const std::uint64_t total = kFrameHeaderLen + raw.size() + kFrameTrailerLen;
  auto out = header(FrameKind::Raw, element, channels, frames, total);
  out.reserve(total);
  out.insert(out.end(), raw.begin(), raw.end());
  seal(out);
  return out;
}

std::expected<FrameView, std::string> read_frame(std::span<const std::uint8_t> stored) {
  using Err = std::unexpected<std::string>;
  if (!looks_framed(stored)) return Err("not a framed chunk (bad magic)");
  if (stored.size() < kFrameHeaderLen + kFrameTrailerLen) {
    return Err("chunk of " + text_of(stored.size()) + " bytes is shorter than its " +
               text_of(kFrameHeaderLen + kFrameTrailerLen) + "-byte frame");
  }
  // The length first: a chunk cut anywhere, or with bytes added, says so by
  // name rather than as a checksum mismatch.
  const std::uint64_t total = get_le(stored, 16, 8);
  if (total != stored.size()) {
    return Err("chunk is " + text_of(stored.size()) + " bytes, its frame says " +
               text_of(total) + " (cut short or lengthened)");
  }
  const std::size_t body_end = stored.size() - kFrameTrailerLen;
  if (crc32_of(stored.first(body_end)) != get_le(stored, body_end, 4))
    return Err("chunk checksum does not match (damaged chunk)");

  FrameView v;
  if (stored[4] != kFrameVersion)
    return Err("chunk frame version " + text_of(stored[4]) + ", this reader knows 1");
  if (stored[5] > 1) return Err("chunk kind " + text_of(stored[5]) + " is unknown");
  v.kind = static_cast<FrameKind>(stored[5]);
  if (stored[6] < 1 || stored[6] > 4)
    return Err("chunk element type " + text_of(stored[6]) + " is unknown");
  v.element = static_cast<ElementType>(stored[6]);
  if (stored[7] != 0) return Err("chunk reserved byte is not zero");
  v.channels = static_cast<std::uint32_t>(get_le(stored, 8, 4));
  v.frames = static_cast<std::uint32_t>(get_le(stored, 12, 4));
  if (v.channels == 0 || v.frames == 0)
    return Err("chunk holds " + text_of(v.channels) + " channels of " + text_of(v.frames) +
               " frames");

  const std::size_t body = body_end - kFrameHeaderLen;
  if (v.kind == FrameKind::Raw) {
    // Each factor is checked against the body first, so the product cannot wrap.
    const bool fits = v.channels <= body && v.frames <= body / v.channels;
    if (!fits || std::uint64_t{v.channels} * v.frames * element_size(v.element) != body) {
      return Err("raw chunk holds " + text_of(body) + " bytes for " + text_of(v.channels) +
                 " channels of " + text_of(v.frames) + " frames");
    }
    v.raw = stored.subspan(kFrameHeaderLen, body);
    return v;
  }
  // The table is read only once it is known to fit, so a forged channel
  // count cannot ask for more than the chunk's own bytes.
  if (std::uint64_t{v.channels} * 8 > body)
    return Err("chunk announces " + text_of(v.channels) + " units, more than it can hold");
  const std::size_t table = std::size_t{v.channels} * 8;
  std::size_t at = kFrameHeaderLen + table;
  v.units.reserve(v.channels);
  for (std::uint32_t c = 0; c < v.channels; ++c) {
    const std::uint64_t len = get_le(stored, kFrameHeaderLen + std::size_t{c} * 8, 8);
    if (len > body_end - at) {
      return Err("unit " + text_of(c) + " of " + text_of(len) + " bytes runs past the chunk");
    }
    v.units.push_back(stored.subspan(at, static_cast<std::size_t>(len)));
    at += static_cast<std::size_t>(len);
  }
  if (at != body_end) {
    return Err("units take " + text_of(at - kFrameHeaderLen - table) + " bytes, the chunk has " +
               text_of(body - table));
  }
  return v;
}

}  // namespace quillmere::hdf5
