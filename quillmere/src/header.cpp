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

// Byte offset of each field; writer and reader both go through these.
namespace field {
constexpr std::size_t magic = 0;
constexpr std::size_t version = 4;
constexpr std::size_t format_tag = 6;
constexpr std::size_t method_tag = 8;
constexpr std::size_t levels = 12;
constexpr std::size_t scale = 13;
constexpr std::size_t coder = 14;
constexpr std::size_t reserved = 15;
constexpr std::size_t sample_count = 16;
constexpr std::size_t min = 20;
constexpr std::size_t max = 24;
constexpr std::size_t mean = 28;
constexpr std::size_t payload_len = 32;
constexpr std::size_t multiplier = 36;
constexpr std::size_t reserved_words = 40;  // three u32, to the end
static_assert(reserved_words + 3 * 4 == HEADER_LEN);
}  // namespace field

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
  std::memcpy(p + field::magic, kMagic, 4);
  p[field::version] = kVersionMajor;
  p[field::version + 1] = kVersionMinor;
  std::memcpy(p + field::format_tag, kFormatTag, 2);
  const auto tag = method_tag(f.method);
  std::memcpy(p + field::method_tag, tag.data(), 4);
  p[field::levels] = f.levels;
  p[field::scale] = f.scale;
  p[field::coder] = f.coder;
  p[field::reserved] = 0;
  store_le32(p + field::sample_count, f.sample_count);
  store_le_f32(p + field::min, f.min);
  store_le_f32(p + field::max, f.max);
  store_le_f32(p + field::mean, f.mean);
  store_le32(p + field::payload_len, f.payload_len);
  store_le_f32(p + field::multiplier, f.multiplier);
  // The reserved words stay zero.
  return out;
}

Result<QuillmereHeader> QuillmereHeader::from_bytes(std::span<const std::uint8_t> data,
                                                    std::uint8_t last_coder) {
  if (data.size() < HEADER_LEN) return std::unexpected(QuillmereError::invalid_header());
  const std::uint8_t* p = data.data();

  QuillmereHeader h;
  h.magic = take<4>(p + field::magic);
  h.version = take<2>(p + field::version);
  h.format_tag = take<2>(p + field::format_tag);
  h.method_tag = take<4>(p + field::method_tag);
  h.levels = p[field::levels];
  h.scale = p[field::scale];
  h.coder = p[field::coder];
  h.reserved = p[field::reserved];
  h.sample_count = load_le32(p + field::sample_count);
  h.min = load_le_f32(p + field::min);
  h.max = load_le_f32(p + field::max);
  h.mean = load_le_f32(p + field::mean);
  h.payload_len = load_le32(p + field::payload_len);
  h.multiplier = load_le_f32(p + field::multiplier);
  const std::uint8_t* words = p + field::reserved_words;
  h.reserved_words = {load_le32(words), load_le32(words + 4), load_le32(words + 8)};

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
  if (!is_supported_scale(h.scale)) return std::unexpected(QuillmereError::unsupported_scale(h.scale));
  if (h.coder > last_coder) return std::unexpected(QuillmereError::unknown_coder(h.coder));
  if (!is_finite_bits(h.min) || !is_finite_bits(h.max) || !is_finite_bits(h.mean)) {
    return std::unexpected(QuillmereError::invalid_header());
  }
  return h;
}

}  // namespace quillmere
