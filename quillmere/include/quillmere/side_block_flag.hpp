// For the tools' channel units only: whether a fast-coded container says a
// side block follows it. A unit is its container and, when it needs one, a
// side block; without a mark inside the container, a unit cut exactly at the
// container's end would read as a unit that never had a block, and decode to
// different samples (no precision, offset, non-finite values or tail). The
// mark is bit 7 of the fast payload's first byte, which the fast decoder
// ignores; other coders have no room for it and their units keep reading as
// they always have.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace quillmere {

// The container's claim, or nullopt when it makes none: its header does not
// read, its coder is not the fast coder, or its payload is empty or cut.
std::optional<bool> side_block_follows(std::span<const std::uint8_t> container);

// Sets the claim in a fast-coded container made a moment ago by compress();
// returns false, changing nothing, for any other container.
bool mark_side_block_follows(std::span<std::uint8_t> container);

}  // namespace quillmere
