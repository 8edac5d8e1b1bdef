#include "quillmere_tools/integer_coder.hpp"

#include <algorithm>
#include <string>

#include "quillmere/byte_io.hpp"
#include "quillmere_tools/bit_stream.hpp"
#include "quillmere_tools/integer_prediction.hpp"

namespace quillmere_tools {
namespace {

enum BlockKind : std::uint8_t { kConstant = 0, kVerbatim = 1, kFixed = 2, kLpc = 3 };

constexpr int kMaxPartitionOrder = 8;
constexpr int kMaxRiceParameter = 30;
// Models of linear prediction tried exactly per block, of those the
// analysis ranks best.
constexpr std::size_t kLpcTrials = 3;

std::uint64_t zigzag(std::int64_t r) noexcept {
  return (static_cast<std::uint64_t>(r) << 1) ^ static_cast<std::uint64_t>(r >> 63);
}

std::int64_t unzigzag(std::uint64_t u) noexcept {
  return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
}

std::size_t partition_size(std::size_t block, int order) noexcept {
  const std::size_t parts = std::size_t{1} << order;
  return (block + parts - 1) / parts;
}

// The Rice parameters of one residual layout and the bits they are expected
// to cost (the sum of u >> k estimated from the sum of u, as the choice
// needs no exact count).
struct RicePlan {
  int order = 0;
  std::vector<int> k;
  std::uint64_t bits = ~std::uint64_t{0};
};

int max_partition_order(std::size_t block) noexcept {
  int p = 0;
  while (p < kMaxPartitionOrder && (block >> (p + 1)) >= 32) ++p;
  return p;
}

RicePlan plan_rice(std::span<const std::uint64_t> u, std::size_t warm, std::size_t block) {
  RicePlan best;
  for (int p = 0; p <= max_partition_order(block); ++p) {
    const std::size_t size = partition_size(block, p);
    RicePlan plan;
    plan.order = p;
    plan.bits = 4;
    for (std::size_t start = 0; start < block; start += size) {
      const std::size_t from = std::max(start, warm);
      const std::size_t to = std::min(start + size, block);
      if (from >= to) continue;
      std::uint64_t sum = 0;
      for (std::size_t i = from; i < to; ++i) sum += u[i - warm];
      const std::uint64_t count = to - from;
      std::uint64_t least = ~std::uint64_t{0};
      int chosen = 0;
      for (int k = 0; k <= kMaxRiceParameter; ++k) {
        const std::uint64_t cost = count * static_cast<std::uint64_t>(k + 1) + (sum >> k);
        if (cost < least) {
          least = cost;
          chosen = k;
        }
      }
      plan.k.push_back(chosen);
      plan.bits += 5 + least;
    }
    if (plan.bits < best.bits) best = std::move(plan);
  }
  return best;
}

void write_residuals(BitWriter& out, std::span<const std::uint64_t> u, std::size_t warm,
                     std::size_t block, const RicePlan& plan, int width) {
  out.put(static_cast<std::uint64_t>(plan.order), 4);
  const std::size_t size = partition_size(block, plan.order);
  std::size_t part = 0;
  for (std::size_t start = 0; start < block; start += size) {
    const std::size_t from = std::max(start, warm);
    const std::size_t to = std::min(start + size, block);
    if (from >= to) continue;
    const int k = plan.k[part++];
    out.put(static_cast<std::uint64_t>(k), 5);
    for (std::size_t i = from; i < to; ++i) {
      const std::uint64_t v = u[i - warm];
      const std::uint64_t q = v >> k;
      if (q >= kEscapeQuotient) {
        out.put(0, static_cast<int>(kEscapeQuotient));
        out.put_wide(v, width + 1);
      } else {
        out.put_unary(q);
        out.put(v, k);
      }
    }
  }
}

// One block's best model, found on the residuals of every candidate.
struct BlockChoice {
  BlockKind kind = kVerbatim;
  int fixed_order = 0;
  LpcModel lpc;
  std::vector<std::uint64_t> u;
  RicePlan plan;
  std::uint64_t bits = 0;
};

void encode_block(std::span<const std::int64_t> x, int width, BitWriter& out,
                  std::vector<std::int64_t>& residuals) {
  const std::size_t n = x.size();
  const IntegerRange range = IntegerRange::of_width(width);
  if (std::all_of(x.begin(), x.end(), [&](std::int64_t v) { return v == x[0]; })) {
    out.put(kConstant, 2);
    out.put_wide(static_cast<std::uint64_t>(x[0]), width);
    return;
  }
  BlockChoice best;
  best.bits = 2 + std::uint64_t{n} * static_cast<std::uint64_t>(width);
  residuals.resize(n);
  std::vector<std::uint64_t> u(n);
  const auto consider = [&](BlockKind kind, int fixed_order, const LpcModel* lpc, std::size_t order,
                            std::uint64_t header_bits) {
    for (std::size_t i = 0; i + order < n; ++i) u[i] = zigzag(residuals[i]);
    RicePlan plan = plan_rice(std::span(u).first(n - order), order, n);
    const std::uint64_t bits = header_bits + order * static_cast<std::uint64_t>(width) + plan.bits;
    if (bits < best.bits) {
      best.kind = kind;
      best.fixed_order = fixed_order;
      if (lpc) best.lpc = *lpc;
      best.u.assign(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(n - order));
      best.plan = std::move(plan);
      best.bits = bits;
    }
  };
  for (int order = 0; order <= kMaxFixedOrder && static_cast<std::size_t>(order) < n; ++order) {
    fixed_residuals(x, order, range, residuals);
    consider(kFixed, order, nullptr, static_cast<std::size_t>(order), 2 + 3);
  }
  for (const LpcModel& model : lpc_candidates(x, kLpcTrials)) {
    const std::size_t order = model.coefs.size();
    lpc_residuals(x, model, range, residuals);
    consider(kLpc, 0, &model, order, 2 + 5 + 4 + 5 + order * static_cast<std::uint64_t>(model.precision));
  }

  out.put(best.kind, 2);
  if (best.kind == kVerbatim) {
    for (std::int64_t v : x) out.put_wide(static_cast<std::uint64_t>(v), width);
    return;
  }
  std::size_t order = 0;
  if (best.kind == kFixed) {
    order = static_cast<std::size_t>(best.fixed_order);
    out.put(order, 3);
  } else {
    order = best.lpc.coefs.size();
    out.put(order - 1, 5);
    out.put(static_cast<std::uint64_t>(best.lpc.precision - 1), 4);
    out.put(static_cast<std::uint64_t>(best.lpc.shift), 5);
    for (std::int32_t c : best.lpc.coefs) {
      out.put(static_cast<std::uint64_t>(static_cast<std::int64_t>(c)), best.lpc.precision);
    }
  }
  for (std::size_t i = 0; i < order; ++i) out.put_wide(static_cast<std::uint64_t>(x[i]), width);
  write_residuals(out, best.u, order, n, best.plan, width);
}

std::unexpected<UnitError> corrupt(std::size_t block, const std::string& what) {
  return unit_error(UnitErrorKind::CorruptUnit,
                    "integer block " + std::to_string(block) + " is corrupt: " + what);
}

// Reads the residuals of positions [order, n) and rebuilds the samples with
// `predict`, checking every one against the width's range.
template <class Predict>
UnitResult<void> decode_residuals(BitReader& in, std::span<std::int64_t> x, std::size_t order,
                                  int width, std::size_t index, const Predict& predict) {
  const IntegerRange range = IntegerRange::of_width(width);
  const std::size_t n = x.size();
  const int p = static_cast<int>(in.get(4));
  if (p > kMaxPartitionOrder) return corrupt(index, "partition order " + std::to_string(p));
  const std::size_t size = partition_size(n, p);
  for (std::size_t start = 0; start < n; start += size) {
    const std::size_t from = std::max(start, order);
    const std::size_t to = std::min(start + size, n);
    if (from >= to) continue;
    const int k = static_cast<int>(in.get(5));
    if (k > kMaxRiceParameter) return corrupt(index, "Rice parameter " + std::to_string(k));
    for (std::size_t i = from; i < to; ++i) {
      const std::uint32_t q = in.get_unary(kEscapeQuotient);
      const std::uint64_t u = q >= kEscapeQuotient ? in.get_wide(width + 1)
                                                   : (std::uint64_t{q} << k) | in.get(k);
      const std::int64_t v = predict(x.data(), i) + unzigzag(u);
      if (v < range.lo || v > range.hi) {
        if (in.overrun()) return corrupt(index, "it is cut short");
        return corrupt(index, "sample " + std::to_string(i) + " falls outside " +
                                  std::to_string(width) + " bits");
      }
      x[i] = v;
    }
    if (in.overrun()) return corrupt(index, "it is cut short");
  }
  return {};
}

UnitResult<void> decode_block(std::span<const std::uint8_t> bytes, std::span<std::int64_t> x, int width,
                              std::size_t index) {
  BitReader in(bytes);
  const std::size_t n = x.size();
  const IntegerRange range = IntegerRange::of_width(width);
  const auto kind = static_cast<BlockKind>(in.get(2));
  UnitResult<void> done;
  if (kind == kConstant) {
    std::fill(x.begin(), x.end(), in.get_signed(width));
  } else if (kind == kVerbatim) {
    for (std::int64_t& v : x) v = in.get_signed(width);
  } else {
    std::size_t order = 0;
    LpcModel model;
    if (kind == kFixed) {
      order = in.get(3);
      if (order > kMaxFixedOrder) return corrupt(index, "fixed order " + std::to_string(order));
    } else {
      order = in.get(5) + 1;
      model.precision = static_cast<int>(in.get(4)) + 1;
      model.shift = static_cast<int>(in.get(5));
      if (model.precision > kMaxLpcPrecision) {
        return corrupt(index, "coefficient precision " + std::to_string(model.precision));
      }
      model.coefs.resize(order);
      for (std::int32_t& c : model.coefs) c = static_cast<std::int32_t>(in.get_signed(model.precision));
    }
    if (order > n) {
      return corrupt(index, "order " + std::to_string(order) + " exceeds its " + std::to_string(n) +
                                " samples");
    }
    for (std::size_t i = 0; i < order; ++i) x[i] = in.get_signed(width);
    if (kind == kFixed) {
      const int fixed = static_cast<int>(order);
      done = decode_residuals(in, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
        return fixed_prediction(s, i, fixed, range);
      });
    } else {
      done = decode_residuals(in, x, order, width, index, [&](const std::int64_t* s, std::size_t i) {
        return lpc_prediction(s, i, model, range);
      });
    }
  }
  if (!done) return done;
  if (in.overrun()) return corrupt(index, "it is cut short");
  if (!in.at_end()) return corrupt(index, "bytes are left over after its samples");
  return {};
}

}  // namespace

std::vector<std::uint8_t> encode_integers(std::span<const std::int64_t> values, int width,
                                          std::size_t block_length) {
  std::vector<std::uint8_t> out;
  std::vector<std::int64_t> scratch;
  for (std::size_t start = 0; start < values.size(); start += block_length) {
    const auto block = values.subspan(start, std::min(block_length, values.size() - start));
    BitWriter bits;
    encode_block(block, width, bits, scratch);
    const std::vector<std::uint8_t> bytes = bits.finish();
    std::uint8_t length[4];
    quillmere::store_le32(length, static_cast<std::uint32_t>(bytes.size()));
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return out;
}

std::size_t least_stream_bytes(std::size_t count, std::size_t block_length) noexcept {
  // A constant block: its length word and at least one byte of bits.
  return (count + block_length - 1) / block_length * 5;
}

UnitResult<void> decode_integers(std::span<const std::uint8_t> bytes, int width,
                                 std::size_t block_length, std::size_t count, const IntegerSink& take) {
  if (bytes.size() < least_stream_bytes(count, block_length)) {
    return unit_error(UnitErrorKind::CorruptUnit,
                      "the integer stream of " + std::to_string(bytes.size()) +
                          " bytes is too short for " + std::to_string(count) + " samples");
  }
  std::vector<std::int64_t> values(std::min(block_length, count));
  std::size_t at = 0;
  std::size_t index = 0;
  for (std::size_t start = 0; start < count; start += block_length, ++index) {
    if (bytes.size() - at < 4) return corrupt(index, "its length is cut short");
    const std::uint32_t length = quillmere::load_le32(bytes.data() + at);
    at += 4;
    if (length > bytes.size() - at) {
      return corrupt(index, "it claims " + std::to_string(length) + " bytes but " +
                                std::to_string(bytes.size() - at) + " are left");
    }
    const auto block = std::span(values).first(std::min(block_length, count - start));
    if (auto done = decode_block(bytes.subspan(at, length), block, width, index); !done) return done;
    take(start, block);
    at += length;
  }
  if (at != bytes.size()) {
    return unit_error(UnitErrorKind::CorruptUnit, std::to_string(bytes.size() - at) +
                                                      " bytes follow the last integer block");
  }
  return {};
}

}  // namespace quillmere_tools
