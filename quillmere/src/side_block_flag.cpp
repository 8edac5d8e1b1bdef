#include "quillmere/side_block_flag.hpp"

#include "fast_coder.hpp"
#include "quillmere/header.hpp"

namespace quillmere {
namespace {

// Where the flag's byte lies, for a whole fast-coded container.
std::optional<std::size_t> flag_position(std::span<const std::uint8_t> container) {
  const auto header = QuillmereHeader::from_bytes(container, kLastToolsCoder);
  if (!header || header->coder != kCoderFast || header->payload_len == 0) return std::nullopt;
  if (container.size() - HEADER_LEN < header->payload_len) return std::nullopt;
  return HEADER_LEN;
}

}  // namespace

std::optional<bool> side_block_follows(std::span<const std::uint8_t> container) {
  const auto at = flag_position(container);
  if (!at) return std::nullopt;
  return (container[*at] & fast::kSideBlockFlag) != 0;
}

bool mark_side_block_follows(std::span<std::uint8_t> container) {
  const auto at = flag_position(container);
  if (!at) return false;
  container[*at] |= fast::kSideBlockFlag;
  return true;
}

}  // namespace quillmere
