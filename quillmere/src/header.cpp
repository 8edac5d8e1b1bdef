#include "quillmere/header.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "quillmere/byte_io.hpp"

namespace quillmere {
namespace {

// The four method tags, indexed by the method value times four.
constexpr char kMethodTags[] = "cf53cf97db04sym4";
constexpr std::uint8_t kMagic[4] = {'Q', 'L', 'M', 'R'};
constexpr std::uint8_t kVersionMajor = 1;
constexpr std::uint8_t kVersionMinor = 2;
constexpr std::uint8_t kFormatTag[2] = {'f', '3'};

template <std::size_t N>
std::array<std::uint8_t, N> take(const std::uint8_t* p) {
  std::array<std::uint8_t, N> out;
  std::memcpy(out.data(), p, N);
  return out;
}

// "All exponent bits set" covers both infinities and every NaN.
bool is_finite_bits(float v) {
  return (std::bit_cast<std::uint32_t>(v) & 0x7F800000u) != 0x7F800000u;
}

}  // namespace

std::array<std::uint8_t, 4> method_tag(Method method) noexcept {
  const auto index = static_cast<std::size_t>(method) & 3;
  std::array<std::uint8_t, 4> tag;
  std::memcpy(tag.data(), kMethodTags + 4 * index, 4);
  return tag;
}

std::optional<Method> method_from_tag(std::array<std::uint8_t, 4> tag) noexcept {
  for (std::uint8_t m = 0; m < 4; ++m) {
    if (std::memcmp(tag.data(), kMethodTags + 4 * m, 4) == 0) return static_cast<Method>(m);
  }
  return std::nullopt;
}

std::array<std::uint8_t, HEADER_LEN> to_bytes(const HeaderFields& f) noexcept {
  std::array<std::uint8_t, HEADER_LEN> out{};
  std::uint8_t* p = out.data();
  std::memcpy(p + 0, kMagic, 4);
  p[4] = kVersionMajor;
  p[5] = kVersionMinor;
  std::memcpy(p + 6, kFormatTag, 2);
  const auto tag = method_tag(f.method);
  std::memcpy(p + 8, tag.data(), 4);
  p[12] = f.levels;
  p[13] = f.scale;
  p[14] = f.coder;
  p[15] = 0;
  store_le32(p + 16, f.sample_count);
  store_le_f32(p + 20, f.min);
  store_le_f32(p + 24, f.max);
  store_le_f32(p + 28, f.mean);
  store_le32(p + 32, f.payload_len);
  store_le_f32(p + 36, f.multiplier);
  // Bytes 40..51 stay zero: reserved.
  return out;
}

Result<QuillmereHeader> QuillmereHeader::from_bytes(std::span<const std::uint8_t> data) {
  if (data.size() < HEADER_LEN) return std::unexpected(QuillmereError::invalid_header());
  const std::uint8_t* p = data.data();

  QuillmereHeader h;
  h.magic = take<4>(p + 0);
  h.version = take<2>(p + 4);
  h.format_tag = take<2>(p + 6);
  h.method_tag = take<4>(p + 8);
  h.levels = p[12];
  h.scale = p[13];
  h.coder = p[14];
  h.reserved = p[15];
  h.sample_count = load_le32(p + 16);
  h.min = load_le_f32(p + 20);
  h.max = load_le_f32(p + 24);
  h.mean = load_le_f32(p + 28);
  h.payload_len = load_le32(p + 32);
  h.multiplier = load_le_f32(p + 36);
  h.reserved_words = {load_le32(p + 40), load_le32(p + 44), load_le32(p + 48)};

  if (!std::equal(h.magic.begin(), h.magic.end(), kMagic)) {
    return std::unexpected(QuillmereError::invalid_magic(h.magic));
  }
  // Only the major byte is checked: readers accept any minor revision.
  if (h.version[0] != kVersionMajor) {
    return std::unexpected(QuillmereError::invalid_version(h.version));
  }
  if (!std::equal(h.format_tag.begin(), h.format_tag.end(), kFormatTag)) {
    return std::unexpected(QuillmereError::invalid_format_tag(h.format_tag));
  }
  if (!method_from_tag(h.method_tag)) {
    return std::unexpected(QuillmereError::invalid_method(h.method_tag));
  }
  if (h.scale < 6 || h.scale > 12) return std::unexpected(QuillmereError::unsupported_scale(h.scale));
  if (h.coder >= 3) return std::unexpected(QuillmereError::unknown_coder(h.coder));
  if (!is_finite_bits(h.min) || !is_finite_bits(h.max) || !is_finite_bits(h.mean)) {
    return std::unexpected(QuillmereError::invalid_header());
  }
  return h;
}

}  // namespace quillmere
