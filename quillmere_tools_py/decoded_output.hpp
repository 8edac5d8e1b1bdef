// Where a long decode puts its samples: a bytearray made (with the
// interpreter lock taken back for the moment) only once the unit's checks
// have passed, which the decoding threads then fill in place.
#pragma once

#include <Python.h>

#include <cstddef>

#include "owned_ref.hpp"
#include "quillmere_tools/blocked_unit.hpp"

namespace quillmere_tools_py {

struct OutputSlot {
  quillmere_py::OwnedRef array;
  bool f64 = false;
};

// Called without the lock, from a decode's sink factory: a bytearray of
// n samples of precision p, and the span over it that the blocks fill.
quillmere_tools::UnitResult<quillmere_tools::SampleSink> make_output(OutputSlot& slot,
                                                                     quillmere_tools::Precision p,
                                                                     std::size_t n) noexcept;

// (bytearray, is_float64), taking the slot's array; with the lock held.
quillmere_py::OwnedRef output_pair(OutputSlot& slot) noexcept;

}  // namespace quillmere_tools_py
