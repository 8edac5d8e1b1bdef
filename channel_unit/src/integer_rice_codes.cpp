// The Rice side of the integer coder: each block's partitions planned from
// their residuals' sums, and the residuals written (or only counted) as the
// stream format lays them out (integer_coder.hpp).
#include "integer_rice_codes.hpp"

#include <algorithm>
#include <bit>

#include "integer_arithmetic.hpp"
#include "integer_stream_format.hpp"
#include "quillmere_tools/integer_coder.hpp"

namespace quillmere_tools::integer_rice {

using namespace integer_format;

namespace {

// floor(log2(sum / count)) for the integer mean sum / count, or 0 where
// that mean is 0: without the division (a 64-bit divide is a few dozen
// cycles, and a plan fits hundreds of partitions a block). With 2^a <= sum
// < 2^(a+1) and 2^b <= count < 2^(b+1), the mean's log lies in
// {a - b - 1, a - b}, and count * 2^(a-b) <= sum tells which; the product
// stays below 2^(a+1).
int log2_of_mean(std::uint64_t count, std::uint64_t sum) noexcept {
  if (count == 0 || sum < count) return 0;
  const int a = static_cast<int>(std::bit_width(sum)) - 1;
  const int b = static_cast<int>(std::bit_width(count)) - 1;
  return (count << (a - b)) <= sum ? a - b : a - b - 1;
}

}  // namespace

RiceFit fit_rice(std::uint64_t count, std::uint64_t sum) noexcept {
  // The cost is least near log2 of the mean: only its neighbours are tried.
  const int centre = std::min(log2_of_mean(count, sum), kMaxRiceParameter);
  RiceFit best{0, ~std::uint64_t{0}};
  for (int k = std::max(0, centre - 1); k <= std::min(kMaxRiceParameter, centre + 1); ++k) {
    const std::uint64_t cost = count * static_cast<std::uint64_t>(k + 1) + (sum >> k);
    if (cost < best.bits) best = {k, cost};
  }
  return best;
}

namespace {

int max_partition_order(std::size_t block) noexcept {
  int p = 0;
  while (p < kMaxPartitionOrder && (block >> (p + 1)) >= 32) ++p;
  return p;
}


// Every run of zeros (possibly empty) ends at a nonzero value, and one more
// at the end when the partition ends in zeros; the nonzero values less one
// sum to the sum less their number. So only the sum and the zeros need a
// pass, which has no branch.
PartitionSums sums_of(std::span<const std::uint64_t> u) noexcept {
  PartitionSums t;
  t.count = u.size();
  const std::uint64_t* v = u.data();
  for (std::size_t i = 0; i < u.size(); ++i) {
    t.sum += v[i];
    t.zeros += static_cast<std::uint64_t>(v[i] == 0);
  }
  t.nonzero = t.count - t.zeros;
  t.runs = t.nonzero + (!u.empty() && u.back() == 0 ? 1 : 0);
  t.nonzero_sum = t.sum - t.nonzero;
  return t;
}

// The zig-zag values of a run of residuals, with the sums sums_of finds,
// in the same pass.
QUILLMERE_INTEGER_CLONES
PartitionSums zigzag_run(const std::int64_t* r, std::size_t count, std::uint64_t* u) noexcept {
  std::uint64_t sum = 0, zeros = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t v = zigzag(r[i]);
    u[i] = v;
    sum += v;
    zeros += static_cast<std::uint64_t>(v == 0);
  }
  PartitionSums t;
  t.count = count;
  t.sum = sum;
  t.zeros = zeros;
  t.nonzero = count - zeros;
  t.runs = t.nonzero + (count > 0 && u[count - 1] == 0 ? 1 : 0);
  t.nonzero_sum = sum - t.nonzero;
  return t;
}


}  // namespace

ZigzagSums zigzag_with_sums(std::span<const std::int64_t> r, std::size_t warm, std::size_t block,
                            std::uint64_t* u) {
  ZigzagSums z;
  const int finest = max_partition_order(block);
  if (block % (std::size_t{1} << finest) != 0) {
    const PartitionSums whole = zigzag_run(r.data(), r.size(), u);
    z.sum = whole.sum;
    z.zeros = whole.zeros;
    return z;
  }
  const std::size_t size = block >> finest;
  z.finest.resize(std::size_t{1} << finest);
  for (std::size_t j = 0; j < z.finest.size(); ++j) {
    const std::size_t from = std::max(j * size, warm);
    const std::size_t to = (j + 1) * size;
    if (from >= to) continue;
    z.finest[j] = zigzag_run(r.data() + (from - warm), to - from, u + (from - warm));
    z.sum += z.finest[j].sum;
    z.zeros += z.finest[j].zeros;
  }
  return z;
}

namespace {

PartitionCode plan_partition(const PartitionSums& t, std::uint64_t& bits) {
  const RiceFit plain = fit_rice(t.count, t.sum);
  PartitionCode code{false, plain.k, 0};
  bits = 5 + plain.bits;
  // Runs pay only where most residuals are zero: below one bit a sample.
  if (t.zeros * 2 < t.count) return code;
  const RiceFit lengths = fit_rice(t.runs, t.zeros);
  const RiceFit values = fit_rice(t.nonzero, t.nonzero_sum);
  const std::uint64_t run_bits = 15 + lengths.bits + (t.nonzero ? values.bits : 0);
  if (run_bits < bits) {
    bits = run_bits;
    code = {true, lengths.k, t.nonzero ? values.k : 0};
  }
  return code;
}

}  // namespace

// The sums of every partition at the finest order, when the block divides
// evenly (a whole block): coarser orders add them up pairwise.
RicePlan plan_rice(std::span<const std::uint64_t> u, std::size_t warm, std::size_t block,
                   std::vector<PartitionSums> sums, bool finest_too) {
  const int finest = max_partition_order(block);
  const int top = finest_too ? finest : std::max(finest - 1, 0);
  const bool even = block % (std::size_t{1} << finest) == 0;
  if (even && sums.empty()) {
    const std::size_t size = block >> finest;
    sums.resize(std::size_t{1} << finest);
    for (std::size_t j = 0; j < sums.size(); ++j) {
      const std::size_t from = std::max(j * size, warm);
      const std::size_t to = (j + 1) * size;
      if (from < to) sums[j] = sums_of(u.subspan(from - warm, to - from));
    }
  }
  RicePlan best;
  for (int p = finest; p >= 0; --p) {
    if (p > top) {
      if (even) {
        for (std::size_t j = 0; j < sums.size() / 2; ++j) sums[j] = sums[2 * j] += sums[2 * j + 1];
        sums.resize(sums.size() / 2);
      }
      continue;
    }
    const std::size_t size = partition_size(block, p);
    RicePlan plan;
    plan.order = p;
    plan.bits = 4;
    plan.parts.reserve(std::size_t{1} << p);
    std::size_t index = 0;
    for (std::size_t start = 0; start < block; start += size, ++index) {
      const std::size_t from = std::max(start, warm);
      const std::size_t to = std::min(start + size, block);
      if (from >= to) continue;
      std::uint64_t bits = 0;
      plan.parts.push_back(plan_partition(even ? sums[index] : sums_of(u.subspan(from - warm, to - from)), bits));
      plan.bits += bits;
    }
    if (plan.bits <= best.bits) best = std::move(plan);
    if (even && p > 0) {
      for (std::size_t j = 0; j < sums.size() / 2; ++j) sums[j] = sums[2 * j] += sums[2 * j + 1];
      sums.resize(sums.size() / 2);
    }
  }
  return best;
}

namespace {

void put_rice(BitWriter& out, std::uint64_t v, int k, int escape_bits) {
  const std::uint64_t q = v >> k;
  // The zeros, the one and the low bits in one field: with k <= 30 short of
  // the escape that is 54 bits at most, within what put takes.
  if (q < kEscapeQuotient) {
    out.put((std::uint64_t{1} << k) | (v & ((std::uint64_t{1} << k) - 1)), static_cast<int>(q) + 1 + k);
    return;
  }
  out.put(0, static_cast<int>(kEscapeQuotient));
  out.put_wide(v, escape_bits);
}

// The fields a block's residuals are written as, in order, handed to a
// sink: field(value, bits) for fixed-width fields, rice(value, k, escape)
// for Rice codes. Writing and exact sizing walk the same codes this way.
template <class Sink>
void walk_residual_codes(Sink& sink, std::span<const std::uint64_t> u, std::size_t warm, std::size_t block,
                         const RicePlan& plan, int width) {
  sink.field(static_cast<std::uint64_t>(plan.order), 4);
  const std::size_t size = partition_size(block, plan.order);
  std::size_t part = 0;
  for (std::size_t start = 0; start < block; start += size) {
    const std::size_t from = std::max(start, warm);
    const std::size_t to = std::min(start + size, block);
    if (from >= to) continue;
    const PartitionCode code = plan.parts[part++];
    if (!code.runs) {
      sink.field(static_cast<std::uint64_t>(code.k), 5);
      sink.rice_run(u.subspan(from - warm, to - from), code.k, width + 1);
      continue;
    }
    sink.field(kRunMode, 5);
    sink.field(static_cast<std::uint64_t>(code.k), 5);
    sink.field(static_cast<std::uint64_t>(code.run_k), 5);
    std::size_t i = from;
    while (i < to) {
      std::size_t run = 0;
      while (i + run < to && u[i + run - warm] == 0) ++run;
      sink.rice(run, code.k, kRunEscapeBits);
      i += run;
      if (i == to) break;
      sink.rice(u[i - warm] - 1, code.run_k, width + 1);
      ++i;
    }
  }
}

}  // namespace

void write_residuals(BitWriter& out, std::span<const std::uint64_t> u, std::size_t warm,
                     std::size_t block, const RicePlan& plan, int width) {
  struct Writer {
    BitWriter& out;
    void field(std::uint64_t v, int bits) { out.put(v, bits); }
    void rice(std::uint64_t v, int k, int escape_bits) { put_rice(out, v, k, escape_bits); }
    // A partition's codes in one run with the writer's state in
    // registers, stored 32 bits at a time without a branch on the count.
    void rice_run(std::span<const std::uint64_t> v, int k, int escape_bits) {
      out.put_rice_run(v.data(), v.size(), k, kEscapeQuotient, escape_bits);
    }
  } sink{out};
  walk_residual_codes(sink, u, warm, block, plan, width);
}

namespace {

std::uint64_t rice_bits(std::uint64_t v, int k, int escape_bits) noexcept {
  const std::uint64_t q = v >> k;
  return q >= kEscapeQuotient ? kEscapeQuotient + static_cast<std::uint64_t>(escape_bits)
                              : q + 1 + static_cast<std::uint64_t>(k);
}

}  // namespace

// The exact size of what write_residuals writes, without writing it.
std::uint64_t residual_bits(std::span<const std::uint64_t> u, std::size_t warm, std::size_t block,
                            const RicePlan& plan, int width) {
  struct Counter {
    std::uint64_t bits = 0;
    void field(std::uint64_t, int n) noexcept { bits += static_cast<std::uint64_t>(n); }
    void rice(std::uint64_t v, int k, int escape_bits) noexcept { bits += rice_bits(v, k, escape_bits); }
    void rice_run(std::span<const std::uint64_t> v, int k, int escape_bits) noexcept {
      for (const std::uint64_t x : v) bits += rice_bits(x, k, escape_bits);
    }
  } sink;
  walk_residual_codes(sink, u, warm, block, plan, width);
  return sink.bits;
}

}  // namespace quillmere_tools::integer_rice
