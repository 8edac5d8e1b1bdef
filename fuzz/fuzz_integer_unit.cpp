// Integer units and the integer coder on arbitrary bytes. Input: u8 mode,
// then
//   mode even: a channel unit, decoded (the integer kind's payload, its side
//              block and its claims; other kinds are refused or decoded as
//              before). A decode must end in samples or one error, and
//              twice in the same way.
//   mode odd:  u8 width, then values (u32 each, reduced into the width)
//              that the integer coder must decode back exactly: with Rice
//              codes only when bit 1 of the mode is clear, with rANS
//              residuals where they are smaller when it is set.
#include <cstring>

#include "fuzz_support.hpp"
#include "quillmere_tools/channel_unit.hpp"
#include "quillmere_tools/integer_coder.hpp"
#include "quillmere_tools/integer_prediction.hpp"

namespace {

using quillmere_tools::DecodedUnit;
using quillmere_tools::UnitResult;

// A container may claim two billion samples in a few bytes; what is under
// test is the reader, not the allocator.
constexpr std::uint32_t kMaxSamples = 1u << 22;

bool same(const UnitResult<DecodedUnit>& a, const UnitResult<DecodedUnit>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error().message == b.error().message;
  return a->precision == b->precision && a->f32.size() == b->f32.size() && a->f64.size() == b->f64.size() &&
         (a->f32.empty() || std::memcmp(a->f32.data(), b->f32.data(), a->f32.size() * sizeof(float)) == 0) &&
         (a->f64.empty() || std::memcmp(a->f64.data(), b->f64.data(), a->f64.size() * sizeof(double)) == 0);
}

void decode(std::span<const std::uint8_t> unit) {
  const auto count = quillmere_tools::unit_sample_count(unit);
  if (!count) {
    QM_FUZZ_CHECK(!quillmere_tools::decode_unit(unit).has_value());
    return;
  }
  if (*count > kMaxSamples) return;
  const auto first = quillmere_tools::decode_unit(unit);
  QM_FUZZ_CHECK(same(first, quillmere_tools::decode_unit(unit)));
  if (first) QM_FUZZ_CHECK(first->f32.size() + first->f64.size() == *count);
}

void round_trip(quillmere::fuzz::FieldReader& reader, quillmere_tools::IntegerResiduals coding) {
  const int width = 1 + reader.u8() % quillmere_tools::kMaxIntegerWidth;
  const auto range = quillmere_tools::IntegerRange::of_width(width);
  std::vector<std::int64_t> values;
  while (!reader.rest().empty() && values.size() < 20000) {
    const std::int64_t v = static_cast<std::int32_t>(reader.u32());
    // Spread over the whole width, up to 33 bits.
    const std::int64_t wide = width > 32 ? v * 2 + (v & 1) : v;
    values.push_back(range.clamp(wide));
  }
  const auto bytes = quillmere_tools::encode_integers(values, width, quillmere_tools::kIntegerBlockLength, 0,
                                                      quillmere_tools::IntegerEffort::Full, coding);
  std::vector<std::int64_t> back(values.size());
  const auto done = quillmere_tools::decode_integers(
      bytes, width, quillmere_tools::kIntegerBlockLength, values.size(),
      [&](std::size_t start, std::span<const std::int64_t> v) {
        std::copy(v.begin(), v.end(), back.begin() + static_cast<std::ptrdiff_t>(start));
      },
      quillmere_tools::IntegerReading::Fast, coding);
  QM_FUZZ_CHECK(done.has_value());
  QM_FUZZ_CHECK(back == values);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmere::fuzz::FieldReader reader({data, size});
  const std::uint8_t mode = reader.u8();
  if (mode % 2 == 0) {
    decode(reader.rest());
  } else {
    round_trip(reader, (mode & 2) != 0 ? quillmere_tools::IntegerResiduals::RiceOrRans
                                       : quillmere_tools::IntegerResiduals::Rice);
  }
  return 0;
}
