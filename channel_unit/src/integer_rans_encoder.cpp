// Choosing a block's rANS model and writing its residuals with it. The
// choice is made on exact integer costs (fixed-point bits from an integer
// logarithm), so the same residuals give the same bytes on every machine.
#include <algorithm>
#include <bit>

#include "integer_rans.hpp"
#include "quillmere/byte_io.hpp"

namespace quillmere_tools::integer_rans {
namespace {

constexpr int kCostShift = 16;  // costs in 1/65536 of a bit

// -log2(f / 4096) in 1/65536 bits for f in 1..4096, by an integer logarithm
// (squaring the mantissa for each fraction bit): no floating point, so no
// machine can round it differently.
std::array<std::uint32_t, kTableTotal + 1> make_costs() {
  std::array<std::uint32_t, kTableTotal + 1> cost{};
  for (std::uint32_t f = 1; f <= kTableTotal; ++f) {
    const int whole = std::bit_width(f) - 1;
    // f / 2^whole in [1, 2), as Q31.
    std::uint64_t m = (std::uint64_t{f} << 31) >> whole;
    std::uint32_t fraction = 0;
    for (int b = 0; b < kCostShift; ++b) {
      m = (m * m) >> 31;
      fraction <<= 1;
      if (m >= (std::uint64_t{2} << 31)) {
        m >>= 1;
        fraction |= 1;
      }
    }
    const std::uint32_t log2_f = (static_cast<std::uint32_t>(whole) << kCostShift) | fraction;
    cost[f] = (kTableBits << kCostShift) - log2_f;
  }
  return cost;
}

const std::array<std::uint32_t, kTableTotal + 1>& costs() {
  static const auto table = make_costs();
  return table;
}

struct Token {
  unsigned token;
  int width;
  int extra_bits;  // raw bits after the token (the escape's width field included)
};

Token token_of(std::uint64_t u) noexcept {
  if (u < 4) return {static_cast<unsigned>(u), static_cast<int>(std::bit_width(u)), 0};
  const int w = static_cast<int>(std::bit_width(u));
  if (w > kLargestDirectWidth) return {kEscape, w, kEscapeWidthBits + w - 1};
  const auto below = static_cast<unsigned>((u >> (w - 2)) & 1u);
  return {4 + 2 * static_cast<unsigned>(w - 3) + below, w, w - 2};
}

using Counts = std::array<std::uint32_t, kTokens>;

// Frequencies summing to 4096 with every occurring token at one or more:
// each its share rounded down (at least one), the rest given to (or taken
// from) the most frequent.
Table normalise(const Counts& counts) {
  Table t;
  std::uint64_t total = 0;
  for (std::uint32_t c : counts) total += c;
  if (total == 0) {
    t.freq[0] = static_cast<std::uint16_t>(kTableTotal);
    return t;
  }
  std::int64_t sum = 0;
  unsigned largest = 0;
  // One division for the whole table (each share comes out at or below its
  // exact value): the planner costs many tables per block.
  const std::uint64_t scale = (std::uint64_t{kTableTotal} << 32) / total;
  for (unsigned s = 0; s < kTokens; ++s) {
    if (counts[s] == 0) continue;
    const std::uint64_t f = std::max<std::uint64_t>(1, (std::uint64_t{counts[s]} * scale) >> 32);
    t.freq[s] = static_cast<std::uint16_t>(f);
    sum += static_cast<std::int64_t>(f);
    if (counts[s] > counts[largest]) largest = s;
  }
  // At most kTokens above 4096 (the ones), and the largest holds over 4096 /
  // kTokens: it stays positive.
  t.freq[largest] = static_cast<std::uint16_t>(t.freq[largest] + (static_cast<std::int64_t>(kTableTotal) - sum));
  std::uint32_t start = 0;
  for (unsigned s = 0; s < kTokens; ++s) {
    t.start[s] = static_cast<std::uint16_t>(start);
    start += t.freq[s];
  }
  return t;
}

unsigned tokens_used(const Table& t) noexcept {
  unsigned used = kTokens;
  while (used > 1 && t.freq[used - 1] == 0) --used;
  return used;
}

std::uint64_t table_bits(const Table& t) noexcept {
  const unsigned used = tokens_used(t);
  std::uint64_t bits = 6;
  for (unsigned s = 0; s + 1 < used; ++s) bits += 4 + (t.freq[s] ? std::bit_width(t.freq[s]) - 1u : 0u);
  return bits;
}

// Cost of one context's tokens under its own table, table included, in
// 1/65536 bits.
std::uint64_t context_cost(const Counts& counts, Table* out = nullptr) {
  const Table t = normalise(counts);
  const auto& cost = costs();
  std::uint64_t total = table_bits(t) << kCostShift;
  for (unsigned s = 0; s < kTokens; ++s) {
    if (counts[s]) total += std::uint64_t{counts[s]} * cost[t.freq[s]];
  }
  if (out) *out = t;
  return total;
}

// Token counts per level, summed from level 0 up: the counts of levels
// [a, b) are prefix[b] - prefix[a].
struct LevelCounts {
  std::vector<Counts> prefix;
  Counts between(unsigned a, unsigned b) const {
    Counts c{};
    for (unsigned s = 0; s < kTokens; ++s) c[s] = prefix[b][s] - prefix[a][s];
    return c;
  }
};


}  // namespace

std::uint64_t single_table_bits(std::span<const std::uint64_t> u) {
  Counts counts{};
  std::uint64_t raw_bits = 0;
  for (const std::uint64_t v : u) {
    const Token t = token_of(v);
    ++counts[t.token];
    raw_bits += static_cast<std::uint64_t>(t.extra_bits);
  }
  const std::uint64_t states = 32ull * lanes_for(u.size());
  return 2 + ((context_cost(counts) + (1u << kCostShift) - 1) >> kCostShift) + raw_bits + states;
}

RansModel plan_rans(std::span<const std::uint64_t> u) {
  // The levels that occur end at `top`; cuts above it would split nothing.
  LevelCounts levels;
  levels.prefix.assign(kLevelCount + 1, Counts{});
  std::vector<Counts> per_level(kLevelCount, Counts{});
  std::uint64_t raw_bits = 0;
  const Segments seg(u.size());
  WidthMean m;
  unsigned top = 1;
  for (std::size_t i = 0, left = 0; i < u.size(); ++i, --left) {
    if (left == 0) {  // a lane's segment starts
      m = WidthMean{};
      left = seg.size;
    }
    const Token t = token_of(u[i]);
    const unsigned level = m.level();
    ++per_level[level][t.token];
    // Not std::max, which takes top's address: the compiler would then keep
    // it in memory, as a count's store might change it.
    if (level >= top) top = level + 1;
    raw_bits += static_cast<std::uint64_t>(t.extra_bits);
    m.push(context_width(t.token));
  }
  for (unsigned q = 0; q < top; ++q) {
    for (unsigned s = 0; s < kTokens; ++s) levels.prefix[q + 1][s] = levels.prefix[q][s] + per_level[q][s];
  }
  // Thresholds added one at a time, each the best given those before, while
  // a further table gains more than its table and threshold cost. A cut
  // splits one context in two, so only those two are costed per candidate;
  // cuts just below a level that occurs stand for all the others.
  std::vector<bool> occurs(top, false);
  for (unsigned q = 0; q < top; ++q) {
    for (unsigned s = 0; s < kTokens && !occurs[q]; ++s) occurs[q] = per_level[q][s] != 0;
  }
  std::vector<unsigned> cuts;  // increasing
  std::vector<std::uint64_t> group_cost{context_cost(levels.between(0, top))};
  std::uint64_t best = group_cost[0];
  while (cuts.size() + 1 < kMaxContexts) {
    std::uint64_t best_here = best;
    unsigned best_cut = 0;
    std::uint64_t best_low = 0, best_high = 0;
    std::size_t best_group = 0;
    for (std::size_t g = 0; g <= cuts.size(); ++g) {
      const unsigned from = g == 0 ? 0 : cuts[g - 1];
      const unsigned to = g < cuts.size() ? cuts[g] : top;
      for (unsigned c = from + 1; c < to; ++c) {
        if (!occurs[c]) continue;
        const std::uint64_t low = context_cost(levels.between(from, c));
        const std::uint64_t high = context_cost(levels.between(c, to));
        const std::uint64_t cost =
            best - group_cost[g] + low + high + (static_cast<std::uint64_t>(kThresholdBits) << kCostShift);
        if (cost < best_here) {
          best_here = cost;
          best_cut = c;
          best_low = low;
          best_high = high;
          best_group = g;
        }
      }
    }
    if (best_cut == 0) break;
    cuts.insert(cuts.begin() + static_cast<std::ptrdiff_t>(best_group), best_cut);
    group_cost[best_group] = best_low;
    group_cost.insert(group_cost.begin() + static_cast<std::ptrdiff_t>(best_group) + 1, best_high);
    best = best_here;
  }
  RansModel model;
  model.contexts = static_cast<unsigned>(cuts.size()) + 1;
  unsigned from = 0;
  for (unsigned j = 0; j < model.contexts; ++j) {
    const unsigned to = j < cuts.size() ? cuts[j] : kLevelCount;
    context_cost(levels.between(from, std::min(to, top)), &model.tables[j]);
    if (j < cuts.size()) model.thresholds[j] = static_cast<std::uint8_t>(cuts[j]);
    from = std::min(to, top);
  }
  // The rANS words: the symbols' bits plus each lane's 32-bit state.
  const std::uint64_t states = 32ull * lanes_for(u.size());
  model.bits = 2 + ((best + (1u << kCostShift) - 1) >> kCostShift) + raw_bits + states;
  return model;
}


std::vector<std::uint8_t> write_rans(BitWriter& bits, std::span<const std::uint64_t> u, const RansModel& model) {
  bits.put(model.contexts - 1, 2);
  for (unsigned j = 0; j + 1 < model.contexts; ++j) bits.put(model.thresholds[j], kThresholdBits);
  for (unsigned j = 0; j < model.contexts; ++j) {
    const Table& t = model.tables[j];
    const unsigned used = tokens_used(t);
    bits.put(used, 6);
    for (unsigned s = 0; s + 1 < used; ++s) {
      const int c = t.freq[s] ? static_cast<int>(std::bit_width(t.freq[s])) : 0;
      bits.put(static_cast<std::uint64_t>(c), 4);
      if (c > 1) bits.put(t.freq[s], c - 1);
    }
  }
  std::array<std::uint8_t, kLevelCount> context_of{};
  for (unsigned q = 0, j = 0; q < kLevelCount; ++q) {
    while (j + 1 < model.contexts && q >= model.thresholds[j]) ++j;
    context_of[q] = static_cast<std::uint8_t>(j);
  }
  // Forwards: the raw bits, and each residual's token and context.
  const Segments seg(u.size());
  std::vector<std::uint8_t> tokens(u.size());
  std::vector<std::uint8_t> contexts(u.size());
  WidthMean m;
  for (std::size_t i = 0, left = 0; i < u.size(); ++i, --left) {
    if (left == 0) {  // a lane's segment starts
      m = WidthMean{};
      left = seg.size;
    }
    const Token t = token_of(u[i]);
    tokens[i] = static_cast<std::uint8_t>(t.token);
    contexts[i] = context_of[m.level()];
    if (t.token == kEscape) {
      bits.put(static_cast<std::uint64_t>(t.width - kLargestDirectWidth - 1), kEscapeWidthBits);
      bits.put_wide(u[i], t.width - 1);
    } else {
      bits.put(u[i], t.extra_bits);
    }
    m.push(context_width(t.token));
  }
  // Backwards through the reader's order (k = 0, 1, ...: lane by lane the
  // position j * s + k), the rANS words; then the final states.
  std::array<std::uint32_t, kLanes> state;
  state.fill(kStateLow);
  // Each token's frequency as a reciprocal, ceil(2^64 / f): the high half
  // of its product with a 32-bit state is the state divided by f, exactly
  // (a multiply where a division would take several times as long). A
  // frequency of one divides nothing.
  std::array<std::array<std::uint64_t, kTokens>, kMaxContexts> reciprocal{};
  for (unsigned j = 0; j < model.contexts; ++j) {
    for (unsigned s = 0; s < kTokens; ++s) {
      const std::uint64_t f = model.tables[j].freq[s];
      reciprocal[j][s] = f > 1 ? ~std::uint64_t{0} / f + 1 : 0;
    }
  }
  std::vector<std::uint8_t> out(u.size() * 2 + 4 * kLanes);
  std::size_t used = 0;
  const auto encode = [&](unsigned j, std::size_t i) {
    const Table& t = model.tables[contexts[i]];
    const std::uint32_t f = t.freq[tokens[i]];
    std::uint32_t& x = state[j];
    if (std::uint64_t{x} >= (std::uint64_t{f} << (32 - kTableBits))) {
      // At most one word a residual, for which `out` has room.
      quillmere::store_le16(out.data() + used, static_cast<std::uint16_t>(x));
      used += 2;
      x >>= 16;
    }
    const std::uint64_t r = reciprocal[contexts[i]][tokens[i]];
    const auto q = f > 1 ? static_cast<std::uint32_t>((static_cast<unsigned __int128>(r) * x) >> 64) : x;
    x = (q << kTableBits) + (x - q * f) + t.start[tokens[i]];
  };
  for (std::size_t k = seg.size; k-- > 0;) {
    for (unsigned j = seg.lanes; j-- > 0;) {
      if (j * seg.size + k < seg.count) encode(j, j * seg.size + k);
    }
  }
  for (unsigned j = seg.lanes; j-- > 0;) {
    quillmere::store_le32(out.data() + used, state[j]);
    used += 4;
  }
  out.resize(used);
  return out;
}

}  // namespace quillmere_tools::integer_rans
