// Blocked channel units on arbitrary bytes: the index reader, the per-block
// checks and range decoding. Input: u32 start, u32 stop (reduced into the
// signal), then the unit.
#include <cstring>

#include "fuzz_support.hpp"
#include "quillmere_tools/blocked_unit.hpp"

namespace {

using quillmere_tools::DecodedUnit;
using quillmere_tools::UnitResult;

// Past this many samples a decode is skipped: a tiny container may claim two
// billion of them, and what is under test is the index, not the allocator.
constexpr std::uint64_t kMaxSamples = std::uint64_t{1} << 22;

// memcmp must not be handed the null data() of an empty vector.
bool equal(const void* a, const void* b, std::size_t n) {
  return n == 0 || std::memcmp(a, b, n) == 0;
}

bool same(const UnitResult<DecodedUnit>& a, const UnitResult<DecodedUnit>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return a.error().message == b.error().message;
  return a->precision == b->precision && a->f32.size() == b->f32.size() &&
         a->f64.size() == b->f64.size() &&
         equal(a->f32.data(), b->f32.data(), a->f32.size() * sizeof(float)) &&
         equal(a->f64.data(), b->f64.data(), a->f64.size() * sizeof(double));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmere::fuzz::FieldReader reader({data, size});
  const std::uint32_t a = reader.u32();
  const std::uint32_t b = reader.u32();
  const auto unit = reader.rest();

  const auto layout = quillmere_tools::read_layout(unit);
  if (!layout) {
    // What the layout refuses, no decode accepts.
    QM_FUZZ_CHECK(!quillmere_tools::decode_range(unit, 0, 0, 2).has_value());
    return 0;
  }
  const std::uint64_t n = layout->sample_count;
  if (n > kMaxSamples) return 0;

  const auto whole = quillmere_tools::decode_range(unit, 0, n, 2);
  // The thread count changes nothing, errors included.
  QM_FUZZ_CHECK(same(whole, quillmere_tools::decode_range(unit, 0, n, 1)));
  if (!whole) return 0;
  QM_FUZZ_CHECK(whole->precision == layout->precision);
  QM_FUZZ_CHECK(whole->f32.size() + whole->f64.size() == n);

  // Any range of a signal that decodes whole decodes to its slice.
  const std::uint64_t lo = a % (n + 1);
  const std::uint64_t hi = lo + b % (n - lo + 1);
  const auto part = quillmere_tools::decode_range(unit, lo, hi, 2);
  QM_FUZZ_CHECK(part.has_value());
  const bool f64 = layout->precision == quillmere_tools::Precision::Float64;
  QM_FUZZ_CHECK(part->f32.size() + part->f64.size() == hi - lo);
  if (f64) {
    QM_FUZZ_CHECK(equal(part->f64.data(), whole->f64.data() + lo, (hi - lo) * 8));
  } else {
    QM_FUZZ_CHECK(equal(part->f32.data(), whole->f32.data() + lo, (hi - lo) * 4));
  }
  return 0;
}
