// Band models of the fast coder: which tables a band gets, at what
// precision, and their bit-packed form. Every choice is made from integer
// size estimates, so the same counts give the same bytes everywhere.
#include "fast_model.hpp"

#include "fast_adaptive.hpp"
#include "fast_group_cost.hpp"
#include "vector_clones.hpp"
#include "wide_clones.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace quillmere::fast {
namespace {

// A table's frequencies sum to 2^p (p = 1..12) and are scaled to 12 bits
// when used: few counts are cheaper to describe at a low precision.
constexpr unsigned kTokensField = 5;
constexpr unsigned kMaxGammaZeros = 13;  // f + 1 <= 4097 needs at most 12

std::optional<std::uint32_t> get_gamma(BitReader& in) {
  unsigned k = 0;
  while (in.get(1) == 0) {
    if (++k > kMaxGammaZeros || in.overrun()) return std::nullopt;
  }
  return (1u << k) | in.get(k);
}

using Counts = std::array<std::uint32_t, kTokens>;

// What every precision of one set of counts shares: the count, the tokens
// present, and each count's share of 2^12, from which the share of any
// lower 2^p is a shift (floor(floor(a) / 2^k) = floor(a / 2^k)), so a table
// costs one division per token however many precisions are tried.
struct Shares {
  std::uint64_t n = 0;
  unsigned present = 0;
  Counts at12{};
  std::array<std::uint8_t, kTokens> used{};  // the tokens present, ascending
};

Shares shares_of(const Counts& counts, unsigned tokens) {
  Shares s;
  for (unsigned t = 0; t < tokens; ++t) {
    s.n += counts[t];
    if (counts[t] != 0) s.used[s.present++] = static_cast<std::uint8_t>(t);
  }
  if (s.n == 0) return s;
  if (s.n < (std::uint64_t{1} << (32 - kTableBits))) {
    // Every count << 12 then fits 32 bits, and a 32-bit division (the same
    // quotient) takes a fraction of a 64-bit one's time.
    const auto n = static_cast<std::uint32_t>(s.n);
    for (unsigned i = 0; i < s.present; ++i) {
      const unsigned t = s.used[i];
      s.at12[t] = (counts[t] << kTableBits) / n;
    }
    return s;
  }
  for (unsigned i = 0; i < s.present; ++i) {
    const unsigned t = s.used[i];
    s.at12[t] = static_cast<std::uint32_t>((std::uint64_t{counts[t]} << kTableBits) / s.n);
  }
  return s;
}

// Frequencies summing to 2^p into f[0, tokens), every counted token at
// least 1; false when more tokens occur than the table has slots. Entries
// from `tokens` on are left as they were: no reader looks past a band's
// tokens, and clearing the whole array for every precision tried (and
// copying it out) had been a visible part of the model choice.
bool normalise(const Shares& shares, unsigned tokens, unsigned p, Counts& f) {
  const std::uint64_t total = std::uint64_t{1} << p;
  if (shares.present > total || shares.n == 0) return false;
  for (unsigned t = 0; t < tokens; ++t) f[t] = 0;
  std::uint64_t sum = 0;
  const unsigned shift = kTableBits - p;
  for (unsigned i = 0; i < shares.present; ++i) {
    const unsigned t = shares.used[i];
    f[t] = std::max<std::uint32_t>(1, shares.at12[t] >> shift);
    sum += f[t];
  }
  // The largest frequency absorbs the rounding: all of a shortfall, and as
  // much of an excess as keeps it at 1 or more (then the next largest).
  while (sum != total) {
    unsigned best = 0;
    for (unsigned t = 1; t < tokens; ++t) {
      if (f[t] > f[best]) best = t;
    }
    if (sum < total) {
      f[best] += static_cast<std::uint32_t>(total - sum);
      sum = total;
    } else {
      const std::uint64_t d = std::min<std::uint64_t>(sum - total, f[best] - 1);
      f[best] -= static_cast<std::uint32_t>(d);
      sum -= d;
    }
  }
  return true;
}

struct Choice {
  std::uint64_t cost = UINT64_MAX;  // 1/65536 bits, description included
  unsigned p = 0;
  Counts freq{};
};

// Tries precisions from the highest useful one down (more precision than
// the counts have only costs description bits) and stops once two in a row
// came out dearer than the best: the size is near enough convex in p.
Choice best_table(const Counts& counts, unsigned tokens) {
  Choice best;
  const Shares shares = shares_of(counts, tokens);
  const unsigned present = shares.present;
  const std::uint64_t n = shares.n;
  const unsigned lowest = std::max(1u, static_cast<unsigned>(std::bit_width(present - 1)));
  const unsigned highest = std::min(kTableBits, static_cast<unsigned>(std::bit_width(n)) + 1);
  unsigned worse = 0;
  Counts tried;  // normalise() writes the entries that are read
  for (unsigned p = std::max(highest, lowest); p >= lowest && worse < 2; --p) {
    if (!normalise(shares, tokens, p, tried)) break;
    const Counts& f = tried;
    // An absent token's frequency 0 is written as gamma(1), one bit.
    std::uint64_t bits = kPrecisionField + (tokens - present);
    std::uint64_t coded = 0;
    for (unsigned i = 0; i < present; ++i) {
      const unsigned t = shares.used[i];
      bits += gamma_length(f[t] + 1);
      coded += std::uint64_t{counts[t]} * ((p << 16) - kLog2[f[t]]);
    }
    const std::uint64_t cost = (bits << 16) + coded;
    if (cost < best.cost) {
      best.cost = cost;
      best.p = p;
      std::copy_n(f.begin(), tokens, best.freq.begin());
      worse = 0;
    } else {
      ++worse;
    }
  }
  return best;
}

Table scaled(const Counts& freq, unsigned p, unsigned tokens) {
  Table t;
  t.tokens = static_cast<std::uint8_t>(tokens);
  std::uint32_t start = 0;
  for (unsigned s = 0; s < tokens; ++s) {
    t.freq[s] = static_cast<std::uint16_t>(freq[s] << (kTableBits - p));
    t.start[s] = static_cast<std::uint16_t>(start);
    start += t.freq[s];
  }
  return t;
}

void write_table(BitWriter& out, const Choice& c, unsigned tokens) {
  out.put(c.p - 1, kPrecisionField);
  for (unsigned t = 0; t < tokens; ++t) put_gamma(out, c.freq[t] + 1);
}

std::expected<Table, FastError> read_table(BitReader& in, unsigned tokens) {
  const unsigned p = in.get(kPrecisionField) + 1;
  if (in.overrun()) return std::unexpected(FastError::Truncated);
  if (p > kTableBits) return std::unexpected(FastError::BadTable);
  Counts freq{};
  std::uint32_t sum = 0;
  for (unsigned t = 0; t < tokens; ++t) {
    const auto v = get_gamma(in);
    if (in.overrun()) return std::unexpected(FastError::Truncated);
    if (!v) return std::unexpected(FastError::BadTable);
    freq[t] = *v - 1;
    sum += freq[t];
    if (sum > (1u << p)) return std::unexpected(FastError::BadTable);
  }
  if (sum != (1u << p)) return std::unexpected(FastError::BadTable);
  return scaled(freq, p, tokens);
}

// A band's contexts fall into groups of neighbouring contexts, each with its
// own table (or none, when no context of the group occurs). The groups start
// as one per context and the pair of neighbours whose merging saves most is
// merged until no merge saves anything: few counts then share one table
// instead of paying for many.
// No member initialisers: group_contexts() sets every member it reads of
// its 32 groups, which would otherwise be cleared first for every band. The
// counts past the band's tokens, and all of them in a group none of whose
// contexts occurs, are never read.
struct Group {
  unsigned first;  // contexts first .. next group's first - 1
  Counts counts;
  std::uint64_t n;  // sum of the counts
  bool used;
  std::uint64_t estimate;
  std::uint64_t cost() const { return (1u << 16) + estimate; }
};

// The estimate of a and b as one group. A group none of whose contexts
// occurs adds nothing, so the estimate is then the other's.
std::uint64_t merged_estimate(const Group& a, const Group& b, unsigned tokens) {
  if (!a.used) return b.estimate;
  if (!b.used) return a.estimate;
  return estimated_cost(a.n + b.n, tokens,
                        [&](unsigned t) { return std::uint64_t{a.counts[t]} + std::uint64_t{b.counts[t]}; });
}

using Gains = std::array<std::uint64_t, kContexts>;

// The first index of the largest gain, or kContexts when none is above 0.
// Gains stay far below 2^63, so the lanes compare as signed; four lanes a
// vector, then the first lane holding the largest: one pass of compares
// where a merge had scanned the gains one by one.
QUILLMERE_VECTOR_CLONES
unsigned first_largest(const Gains& gain) noexcept {
  using Words4 = std::int64_t __attribute__((vector_size(32)));
  Words4 top = {0, 0, 0, 0};
  for (unsigned i = 0; i < kContexts; i += 4) {
    Words4 v;
    std::memcpy(&v, gain.data() + i, sizeof v);
    top = v > top ? v : top;
  }
  const std::int64_t most = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
  if (most == 0) return kContexts;
  unsigned i = 0;
  while (static_cast<std::int64_t>(gain[i]) != most) ++i;
  return i;
}

// Preconditions: no count at or past `tokens` is nonzero (the band's
// tokens end at its last one that occurs).
std::vector<Group> group_contexts(const BandCounts& counts, unsigned tokens) {
  // Groups stay where they were made, named by the context they start at,
  // and a merge adds the second's counts into the first. The live groups
  // are in the order of their names, linked to their neighbours, and each
  // live group's gain (what merging it with the next saves, 0 when that
  // saves nothing or it is last or merged away) sits under its name: the
  // largest gain, the first of equals, is the merge the same search in the
  // live groups' order takes, with nothing moved when a group goes. A
  // candidate merge is only its estimate: the counts are summed when it is
  // taken.
  constexpr std::uint8_t kNone = kContexts;
  std::array<Group, kContexts> group;
  Gains pair;  // pair[id]: estimate of id with the next live one
  std::array<std::uint8_t, kContexts> next, prev;
  for (unsigned c = 0; c < kContexts; ++c) {
    Group& g = group[c];
    g.first = c;
    g.n = 0;
    for (unsigned t = 0; t < tokens; ++t) g.n += counts[c][t];
    g.used = g.n != 0;
    g.estimate = 0;
    if (g.used) {
      std::copy_n(counts[c].begin(), tokens, g.counts.begin());
      g.estimate = estimated_cost(g.n, tokens, [&](unsigned t) { return std::uint64_t{counts[c][t]}; });
    }
    next[c] = static_cast<std::uint8_t>(c + 1);
    prev[c] = c == 0 ? kNone : static_cast<std::uint8_t>(c - 1);
  }
  const auto gain_at = [&](unsigned id) -> std::uint64_t {
    const std::uint64_t apart = group[id].cost() + group[next[id]].cost();
    const std::uint64_t together = (1u << 16) + pair[id];
    return together < apart ? apart - together : 0;
  };
  Gains gain{};
  for (unsigned i = 0; i + 1 < kContexts; ++i) {
    pair[i] = merged_estimate(group[i], group[i + 1], tokens);
    gain[i] = gain_at(i);
  }
  std::size_t live = kContexts;
  while (live > 1) {
    const unsigned a = first_largest(gain);
    if (a == kContexts) break;
    const unsigned b = next[a];
    Group& into = group[a];
    const Group& from = group[b];
    if (from.used) {
      if (into.used) {
        for (unsigned t = 0; t < tokens; ++t) into.counts[t] += from.counts[t];
      } else {
        std::copy_n(from.counts.begin(), tokens, into.counts.begin());
      }
    }
    into.n += from.n;
    into.used = into.used || from.used;
    into.estimate = pair[a];
    next[a] = next[b];
    if (next[a] != kNone) prev[next[a]] = static_cast<std::uint8_t>(a);
    gain[b] = 0;
    --live;
    if (prev[a] != kNone) {
      const unsigned p = prev[a];
      pair[p] = merged_estimate(group[p], into, tokens);
      gain[p] = gain_at(p);
    }
    if (next[a] != kNone) {
      pair[a] = merged_estimate(into, group[next[a]], tokens);
      gain[a] = gain_at(a);
    } else {
      gain[a] = 0;
    }
  }
  std::vector<Group> groups(live);
  for (unsigned id = 0, i = 0; id != kNone; id = next[id]) groups[i++] = group[id];
  return groups;
}

}  // namespace

// Size of a band's tokens through the adaptive model, in 1/65536 bits, or
// any value of at least `limit` once the size reaches it: the caller only
// asks whether the model beats the limit, and mostly it does not. When it
// does, every symbol's code is in `codes` (when given). The model's update
// of all 32 entries per symbol is the loop's work: in 16-bit lanes, exact,
// so the AVX2 clone takes it in half the vectors with the same result.
QUILLMERE_WIDE_CLONES
std::uint64_t adaptive_cost(std::span<const std::uint32_t> symbols, unsigned count, std::uint64_t limit,
                            std::uint32_t* codes) {
  AdaptiveModel model(count);
  std::uint64_t cost = 0;
  for (const std::uint32_t word : symbols) {
    const unsigned t = word & 0x1F;
    const std::uint32_t f = model.freq(t);
    cost += (kTableBits << 16) - kLog2[f];
    if (cost >= limit) break;
    if (codes != nullptr) *codes++ = model.start(t) | (f << 16);
    model.update_all(t);
  }
  return cost;
}

Models choose_and_write_models(std::span<const BandCounts> counts,
                               std::span<const std::span<const std::uint32_t>> band_symbols,
                               std::vector<std::uint8_t>& out, std::uint32_t* adaptive_codes) {
  Models models;
  std::size_t offset = 0;  // of band b among the bands end to end
  models.bands.resize(counts.size());
  BitWriter bits(out);
  for (std::size_t b = 0; b < counts.size(); offset += band_symbols[b++].size()) {
    Counts all{};
    for (const auto& c : counts[b]) {
      for (unsigned t = 0; t < kTokens; ++t) all[t] += c[t];
    }
    unsigned tokens = 0;
    for (unsigned t = 0; t < kTokens; ++t) {
      if (all[t] != 0) tokens = t + 1;
    }
    if (tokens == 0) continue;  // an empty band has no model at all
    BandModel& m = models.bands[b];
    m.tokens = static_cast<std::uint8_t>(tokens);
    bits.put(tokens - 1, kTokensField);
    if (tokens == 1) continue;  // only zeros: nothing to code

    const std::vector<Group> groups = group_contexts(counts[b], tokens);
    std::vector<Choice> choices(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
      if (groups[g].used) choices[g] = best_table(groups[g].counts, tokens);
    }
    if (band_symbols[b].size() <= kMaxAdaptiveBand) {
      std::uint64_t static_cost = std::uint64_t{kContexts - 1} << 16;
      for (std::size_t g = 0; g < groups.size(); ++g) {
        static_cost += (1u << 16) + (groups[g].used ? choices[g].cost : 0);
      }
      std::uint32_t* const codes = adaptive_codes != nullptr ? adaptive_codes + offset : nullptr;
      if (adaptive_cost(band_symbols[b], tokens, static_cost, codes) < static_cost) {
        m.mode = BandMode::Adaptive;
        bits.put(1, 1);
        continue;
      }
    }
    bits.put(0, 1);
    std::uint32_t starts = 0;  // bit c - 1: a group starts at context c
    for (std::size_t g = 1; g < groups.size(); ++g) starts |= 1u << (groups[g].first - 1);
    bits.put(starts, kContexts - 1);
    m.mode = groups.size() == 1 ? BandMode::Single : BandMode::PerContext;
    m.table_of.fill(kNoTable);
    for (std::size_t g = 0; g < groups.size(); ++g) {
      bits.put(groups[g].used ? 1 : 0, 1);
      if (!groups[g].used) continue;
      write_table(bits, choices[g], tokens);
      const unsigned end = g + 1 < groups.size() ? groups[g + 1].first : kContexts;
      for (unsigned c = groups[g].first; c < end; ++c) {
        m.table_of[c] = static_cast<std::uint16_t>(models.tables.size());
      }
      models.tables.push_back(scaled(choices[g].freq, choices[g].p, tokens));
    }
  }
  bits.flush();
  return models;
}

std::expected<Models, FastError> read_models(BitReader& in, std::span<const std::size_t> lengths) {
  Models models;
  models.bands.resize(lengths.size());
  for (std::size_t b = 0; b < lengths.size(); ++b) {
    if (lengths[b] == 0) continue;
    BandModel& m = models.bands[b];
    m.tokens = static_cast<std::uint8_t>(in.get(kTokensField) + 1);
    if (in.overrun()) return std::unexpected(FastError::Truncated);
    if (m.tokens == 1) continue;
    if (in.get(1) != 0) {
      if (in.overrun()) return std::unexpected(FastError::Truncated);
      m.mode = BandMode::Adaptive;
      continue;
    }
    const std::uint32_t starts = in.get(kContexts - 1);
    if (in.overrun()) return std::unexpected(FastError::Truncated);
    m.mode = starts == 0 ? BandMode::Single : BandMode::PerContext;
    m.table_of.fill(kNoTable);
    bool any = false;
    for (unsigned first = 0; first < kContexts;) {
      unsigned end = first + 1;
      while (end < kContexts && !(starts & (1u << (end - 1)))) ++end;
      const bool used = in.get(1) != 0;
      if (in.overrun()) return std::unexpected(FastError::Truncated);
      if (used) {
        auto table = read_table(in, m.tokens);
        if (!table) return std::unexpected(table.error());
        for (unsigned c = first; c < end; ++c) m.table_of[c] = static_cast<std::uint16_t>(models.tables.size());
        models.tables.push_back(*table);
        any = true;
      }
      first = end;
    }
    if (!any) return std::unexpected(FastError::BadTable);
  }
  return models;
}

}  // namespace quillmere::fast
