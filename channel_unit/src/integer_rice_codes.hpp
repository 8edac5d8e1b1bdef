// The Rice side of the integer coder (integer_rice_codes.cpp): the sums a
// block's partitions are planned from, the plan, and the writing and exact
// sizing of the residuals under it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quillmere_tools/bit_stream.hpp"

namespace quillmere_tools::integer_rice {

// A Rice parameter and the bits it is expected to cost.
struct RiceFit {
  int k = 0;
  std::uint64_t bits = 0;
};

// One partition's coding: a Rice parameter, or runs of zeros (their lengths
// with parameter k, the nonzero values between them, less one, with run_k).
struct PartitionCode {
  bool runs = false;
  int k = 0;
  int run_k = 0;
};

// A block's residual coding: its partition order and each partition's code.
struct RicePlan {
  int order = 0;
  std::vector<PartitionCode> parts;
  std::uint64_t bits = ~std::uint64_t{0};
};

// What a partition's choice needs: its residuals' count, sum and zeros, and
// for runs of zeros their number and total length and the nonzero values'
// number and sum (less one each). Partitions merge by adding these up, a
// run across their border then counting as two: an estimate, as the choice
// needs no more.
struct PartitionSums {
  std::uint64_t count = 0;
  std::uint64_t sum = 0;
  std::uint64_t zeros = 0;
  std::uint64_t runs = 0;
  std::uint64_t nonzero = 0;
  std::uint64_t nonzero_sum = 0;
  PartitionSums& operator+=(const PartitionSums& o) noexcept {
    count += o.count;
    sum += o.sum;
    zeros += o.zeros;
    runs += o.runs;
    nonzero += o.nonzero;
    nonzero_sum += o.nonzero_sum;
    return *this;
  }
};

// A block's residuals from position `warm` on, zig-zagged into `u`, with
// the sums of every partition at the finest order where the block divides
// evenly (empty otherwise), as plan_rice would find them, and the totals.
struct ZigzagSums {
  std::vector<PartitionSums> finest;
  std::uint64_t sum = 0;
  std::uint64_t zeros = 0;
};

// Rice parameter and expected bits for `count` values summing to `sum`
// (the sum of u >> k estimated from the sum of u: the choice needs no exact
// count).
RiceFit fit_rice(std::uint64_t count, std::uint64_t sum) noexcept;

ZigzagSums zigzag_with_sums(std::span<const std::int64_t> r, std::size_t warm, std::size_t block,
                            std::uint64_t* u);

// The cheapest partition order and codes for the zig-zagged residuals `u`
// of a block of `block` positions whose first `warm` hold none; `sums`, when
// given, are zigzag_with_sums' finest ones (found again otherwise). Without
// `finest_too` the finest order (the most partitions, half the plan's work)
// is not planned.
RicePlan plan_rice(std::span<const std::uint64_t> u, std::size_t warm, std::size_t block,
                   std::vector<PartitionSums> sums = {}, bool finest_too = true);

// The residuals' bits under `plan`, from the partition order on.
void write_residuals(BitWriter& out, std::span<const std::uint64_t> u, std::size_t warm, std::size_t block,
                     const RicePlan& plan, int width);

// The exact size of what write_residuals writes, without writing it.
std::uint64_t residual_bits(std::span<const std::uint64_t> u, std::size_t warm, std::size_t block,
                            const RicePlan& plan, int width);

}  // namespace quillmere_tools::integer_rice
