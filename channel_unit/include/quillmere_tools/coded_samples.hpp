// The float32 samples the codec is given for a caller's signal: non-finite
// samples recorded and replaced, a float64 source narrowed (after an offset
// when its magnitude dwarfs its range), and anything float32 cannot hold
// refused.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "quillmere/compressor.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/non_finite.hpp"
#include "quillmere_tools/side_block.hpp"

namespace quillmere_tools {

// Past this ratio of magnitude to range, float32 keeps fewer than 16 bits of
// a signal's variation (its resolution there is about magnitude * 2^-24), so
// a float64 source is first moved to the middle of its range.
inline constexpr double kOffsetRatio = 256.0;

struct CodedSamples {
  std::span<const float> samples;  // into `owned`, or the caller's float32 memory
  std::vector<float> owned;
  std::vector<NonFiniteRun> runs;
  std::optional<double> offset;
  Precision precision = Precision::Float32;
  std::size_t non_finite_samples = 0;
  // The smallest and largest of `samples`, which are then all finite, as the
  // check for float32's range found them: the codec need not scan again.
  std::optional<quillmere::FiniteRange> range;
};

UnitResult<CodedSamples> prepare_samples(SignalView x);

}  // namespace quillmere_tools
