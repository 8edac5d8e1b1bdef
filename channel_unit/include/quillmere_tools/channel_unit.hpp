// One channel as the tools store it: the codec's container, then (when there
// is anything to record) a side block. Every front end encodes and decodes
// through these two functions, so they all write and read the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "quillmere/options.hpp"
#include "quillmere_tools/side_block.hpp"
#include "quillmere_tools/unit_error.hpp"

namespace quillmere_tools {

// Absolute bounds (PRD in percent, PSNR in dB, bits_per_sample in bits),
// measured over the finite samples.
struct UnitBounds {
  std::optional<double> max_error;
  std::optional<double> rmse;
  std::optional<double> prd;
  std::optional<double> psnr;
  std::optional<double> bits_per_sample;
  bool any() const noexcept { return max_error || rmse || prd || psnr || bits_per_sample; }
};

// When a unit codes its samples losslessly as integers on a grid
// (integer_unit.hpp) rather than with the wavelet layer:
//   Auto     the coder is left to the tools (Coder::Auto, no candidate list),
//            the samples lie on a grid, and a max-error bound is at most one
//            step (or an RMSE bound at most the rounding noise of the grid,
//            step / sqrt(12)): exactness is then the cheapest way to meet it.
//            Also, with the wavelet left to the tools too, at a max-error
//            bound where the samples rounded to a grid within it are
//            predicted to code smaller (quantised_grid.hpp): that unit alone;
//   Compare  also whenever the integer unit meets the bounds and is smaller
//            than the wavelet unit (the integer coder is among the candidates);
//            at a max-error bound of a step or more, on a rounded grid;
//   Only     the integer unit or an error (the integer coder was asked for).
enum class IntegerUse : std::uint8_t { Auto, Compare, Only };

// With bounds: Thorough searches multipliers and codes finalists for the
// smallest unit; Fast judges one predicted multiplier and codes it once, a
// larger unit several times sooner. Both meet every bound exactly; a size
// budget is always searched thoroughly. The codes are the front ends'.
enum class SearchEffort : std::uint8_t { Thorough = 0, Fast = 1 };

struct UnitRequest {
  quillmere::CodecOptions options;  // used as they are when no bound is given
  UnitBounds bounds;
  // With bounds: the candidates; empty means the method and coder of options.
  std::vector<quillmere::Method> methods;
  std::vector<quillmere::Coder> coders;
  // For hosts that pad a chunk with one repeated value (array stores): a
  // trailing run of bit-identical samples, kMinTrailingRun or longer, is
  // recorded in the side block instead of being coded (see encode_unit).
  bool split_trailing_run = false;
  IntegerUse integer = IntegerUse::Auto;
  // The code step of a format that stores integers (PCM, EDF, WFDB); without
  // it the grid is the coarsest power of two the samples are multiples of.
  std::optional<double> grid_step;
  // How hard the search for bounds works for a small unit.
  SearchEffort effort = SearchEffort::Thorough;
};

inline constexpr std::size_t kMinTrailingRun = 2;

// The coder of a unit whose request leaves the choice to the codec
// (Coder::Auto): the fast coder, which decodes to the same samples as cmodel
// at about its size, several times faster. Only the tools read it; a caller
// whose units the quillmere module must read asks for Coder::CModel.
inline constexpr quillmere::Coder kDefaultUnitCoder = quillmere::Coder::Fast;

using SignalView = std::variant<std::span<const float>, std::span<const double>>;

// What the search reports (measured is false for plain encodes).
struct UnitReport {
  quillmere::Method method = quillmere::Method::Cdf97;
  std::uint8_t scale = 11;
  quillmere::Cutoff cutoff = quillmere::Cutoff::Low;
  std::uint8_t coder_id = 0;
  float multiplier = 0.0f;
  bool measured = false;
  double max_error = 0.0;
  double rmse = 0.0;
  double prd = 0.0;
  double psnr = 0.0;
  std::size_t corrected_samples = 0;
  std::size_t container_bytes = 0;
  std::optional<double> offset;
  std::size_t non_finite_samples = 0;
  std::size_t trailing_run = 0;  // samples restored from the side block, not coded
};

struct EncodedUnit {
  std::vector<std::uint8_t> bytes;
  UnitReport report;
};

UnitResult<EncodedUnit> encode_unit(SignalView x, const UnitRequest& request);

// Exactly one of the two vectors is filled, as the unit's precision says.
struct DecodedUnit {
  Precision precision = Precision::Float32;
  std::vector<float> f32;
  std::vector<double> f64;
};

// `unit` must be one unit exactly: a container, or a container and its side
// block. The side block is checked in full before the container is decoded.
UnitResult<DecodedUnit> decode_unit(std::span<const std::uint8_t> unit);

// How many samples `unit` decodes to: the container's, plus a trailing run
// its side block restores. Checks the header and the side block in full but
// decodes nothing, so a host can compare it with its chunk size first.
UnitResult<std::uint32_t> unit_sample_count(std::span<const std::uint8_t> unit);

}  // namespace quillmere_tools
