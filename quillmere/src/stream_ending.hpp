// Where a coded payload must end.
//
// The container's readers have always taken a payload that stops before
// its length says (bytes after the stream are ignored; a deflate stream
// without its end marker yields what it holds). The tools' units go on
// after the container, so a damaged payload length there could take the
// side block into the payload and the unit would decode as if it had none.
// Their reader asks for an Exact ending instead: the stream's last symbol
// lands on the payload's last byte, and anything else is an error.
#pragma once

#include <cstdint>

namespace quillmere {

enum class StreamEnding : std::uint8_t { Open, Exact };

}  // namespace quillmere
