// The fast encoder's shortcuts that must equal what they replace exactly:
// the rANS division by a 64-bit product over every frequency at the states
// where a wrong quotient or a wrapped product would show first, and the
// tabled grouping estimate against the token-by-token one around the
// count totals where its tables and precisions change.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "fast_group_cost.hpp"
#include "fast_reciprocal.hpp"

namespace quillmere::fast {
namespace {

// For each f: the largest state it is given, the states on either side of
// multiples of f (where the floor changes) from the smallest to the
// largest quotient, and random ones.
TEST(FastEncoderArithmetic, DivisionIsExactForEveryFrequency) {
  std::mt19937_64 rng(20261209);
  for (std::uint32_t f = 1; f <= kTableTotal; ++f) {
    const std::uint64_t limit = std::uint64_t{f} << 20;  // states stay below it
    std::vector<std::uint64_t> states{0, 1, limit - 1, limit - 2};
    for (const std::uint64_t q : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{4095}, (std::uint64_t{1} << 19),
                                  (std::uint64_t{1} << 20) - 1}) {
      for (const std::uint64_t s : {q * f - 1, q * f, q * f + f - 1}) {
        if (s < limit) states.push_back(s);
      }
    }
    for (int i = 0; i < 8; ++i) states.push_back(rng() % limit);
    for (const std::uint64_t s : states) {
      ASSERT_EQ(divide_state(static_cast<std::uint32_t>(s), f), s / f) << "s " << s << " f " << f;
    }
  }
}

struct Spread {
  std::uint64_t n;
  unsigned tokens;
  bool dominant;  // most counts on one token, as sparse bands have
};

class GroupEstimate : public ::testing::TestWithParam<Spread> {};

// Counts summing to n over the first `tokens`, some tokens absent.
std::vector<std::uint64_t> counts_of(const Spread& sp, std::mt19937_64& rng) {
  std::vector<std::uint64_t> c(sp.tokens, 0);
  std::uint64_t left = sp.n;
  if (sp.dominant) {
    const std::uint64_t big = sp.n - sp.n / 16;
    c[rng() % sp.tokens] += big;
    left -= big;
  }
  for (; left > 0; --left) {
    const auto t = static_cast<unsigned>(rng() % sp.tokens);
    if (t % 3 == 2 && sp.tokens > 3) {
      ++c[t - 1];  // leaves every third token absent
    } else {
      ++c[t];
    }
  }
  return c;
}

TEST_P(GroupEstimate, TablesGiveTheTokenByTokenValue) {
  const Spread sp = GetParam();
  std::mt19937_64 rng(sp.n * 64 + sp.tokens);
  for (int trial = 0; trial < 20; ++trial) {
    const std::vector<std::uint64_t> c = counts_of(sp, rng);
    const auto count_of = [&](unsigned t) { return c[t]; };
    ASSERT_EQ(estimated_cost(sp.n, sp.tokens, count_of), estimated_cost_by_token(sp.n, sp.tokens, count_of))
        << "n " << sp.n << " tokens " << sp.tokens << " trial " << trial;
  }
}

// Totals at the edges of the doubled-frequency table (width 11 to 12), of
// the same-frequency one (width 12 to 13, where the tables stop), and
// where every count is 1 or all sit on one token.
INSTANTIATE_TEST_SUITE_P(
    Totals, GroupEstimate,
    ::testing::Values(Spread{1, 2, false}, Spread{2, 2, false}, Spread{3, 32, false}, Spread{32, 32, false},
                      Spread{1023, 9, true}, Spread{2047, 32, false}, Spread{2047, 2, true},
                      Spread{2048, 32, false}, Spread{2048, 5, true}, Spread{3000, 17, false},
                      Spread{4095, 32, false}, Spread{4095, 3, true}, Spread{4096, 32, false},
                      Spread{70000, 32, true}));

}  // namespace
}  // namespace quillmere::fast
