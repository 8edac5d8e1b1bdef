#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "buffers.hpp"
#include "output.hpp"
#include "test_support.hpp"
#include "wavelet/wavelet.hpp"

namespace wavelet {
namespace {

using testing::close_to;
using testing::random_signal;

DwtHandle cdf53() { return make_cdf53_f32(); }
DwtHandle cdf97() { return make_cdf97_f32(); }
DwtHandle db4() { return make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap); }
DwtHandle sym4() { return make_symlet_f32(2, BorderMode::Wrap); }

// Views in the shape multi_idwt takes: details finest first.
struct View {
  std::vector<std::span<const float>> details;
  std::span<const float> approximation;
};

View view_of(const MultiDwt& m) {
  View v;
  for (const Dwt& level : m.levels) v.details.emplace_back(level.details);
  v.approximation = m.levels.back().approximation;
  return v;
}

TEST(LengthRules, DwtSizeAndIdwtSize) {
  struct Size {
    DwtHandle executor;
    std::size_t n;
    DwtSize want;
  };
  const Size sizes[] = {
      {db4(), 0, {3, 3}},   {db4(), 8, {7, 7}},   {db4(), 9, {8, 8}},   {sym4(), 9, {8, 8}},
      {cdf53(), 1, {2, 1}}, {cdf53(), 3, {2, 1}}, {cdf53(), 5, {3, 2}}, {cdf53(), 0, {2, 1}},
      {cdf97(), 1, {2, 2}}, {cdf97(), 5, {3, 2}}, {cdf97(), 8, {4, 4}},
  };
  for (const auto& c : sizes) EXPECT_EQ(c.executor->dwt_size(c.n), c.want) << c.n;

  struct Inverse {
    DwtHandle executor;
    std::size_t a, d, want;
  };
  const Inverse inverses[] = {
      {db4(), 7, 7, 8},   {db4(), 8, 8, 10},  {db4(), 8, 0, 10},  {cdf53(), 2, 1, 3},
      {cdf53(), 1, 1, 3}, {cdf97(), 2, 1, 4}, {cdf97(), 5, 4, 9},
  };
  for (const auto& c : inverses) EXPECT_EQ(c.executor->idwt_size(c.a, c.d), c.want) << c.a;
}

struct LevelLengths {
  std::size_t input, approximation, details;
};

void expect_level_lengths(const DwtHandle& executor, std::size_t n,
                          const std::vector<LevelLengths>& want) {
  const auto m = executor->multi_dwt(random_signal(n, 9), want.size());
  ASSERT_TRUE(m.has_value()) << m.error().message();
  ASSERT_EQ(m->levels.size(), want.size());
  std::size_t input = n;
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(input, want[k].input) << "level " << k + 1;
    EXPECT_EQ(m->levels[k].approximation.size(), want[k].approximation) << "level " << k + 1;
    EXPECT_EQ(m->levels[k].details.size(), want[k].details) << "level " << k + 1;
    input = m->levels[k].approximation.size();
  }
}

TEST(MultiDwt, LevelLengthsOfAThousandSamples) {
  expect_level_lengths(cdf53(), 1000,
                       {{1000, 500, 500},
                        {500, 250, 250},
                        {250, 125, 125},
                        {125, 63, 62},
                        {63, 32, 31},
                        {32, 16, 16},
                        {16, 8, 8}});
  expect_level_lengths(db4(), 1000,
                       {{1000, 503, 503},
                        {503, 255, 255},
                        {255, 131, 131},
                        {131, 69, 69},
                        {69, 38, 38},
                        {38, 22, 22}});
  // The second level's 8 samples are exactly the minimum.
  expect_level_lengths(db4(), 9, {{9, 8, 8}, {8, 7, 7}});
  expect_level_lengths(db4(), 1001,
                       {{1001, 504, 504},
                        {504, 255, 255},
                        {255, 131, 131},
                        {131, 69, 69},
                        {69, 38, 38},
                        {38, 22, 22}});
}

TEST(MultiDwt, OddFilterBankSignalComesBackOneLonger) {
  const auto x = random_signal(1001, 11);
  const auto m = db4()->multi_dwt(x, 6);
  ASSERT_TRUE(m.has_value());
  const View v = view_of(*m);
  const auto y = db4()->multi_idwt(v.details, v.approximation);
  ASSERT_TRUE(y.has_value()) << y.error().message();
  ASSERT_EQ(y->size(), 1002u);
  EXPECT_TRUE(close_to(*y, x, 1e-5f));
}

TEST(MultiDwt, ZeroOrOneLevelGivesOneLevel) {
  for (const DwtHandle& e : {cdf53(), cdf97(), db4(), sym4()}) {
    for (std::size_t levels : {0u, 1u}) {
      const auto m = e->multi_dwt(random_signal(40, 1), levels);
      ASSERT_TRUE(m.has_value());
      EXPECT_EQ(m->levels.size(), 1u);
      EXPECT_EQ(m->levels[0].approximation.size(), e->dwt_size(40).approximation);
    }
  }
}

TEST(MultiDwt, LevelMinimums) {
  struct Case {
    const char* name;
    DwtHandle executor;
    std::size_t n, levels;
    std::string error;  // empty: succeeds
  };
  const std::string too_deep = "Buffer was too small for provided level";
  const Case cases[] = {
      // Each level input of db4 must hold 8 samples: 9 -> 8 -> 7.
      {"db4 9x2", db4(), 9, 2, ""},
      {"db4 9x3", db4(), 9, 3, too_deep},
      // A single level leaves the check to the kernel.
      {"db4 7x1", db4(), 7, 1, "Input size 7 can't be less than 8"},
      {"db4 7x0", db4(), 7, 0, "Input size 7 can't be less than 8"},
      {"db4 0x1", db4(), 0, 1, "Input size 0 can't be less than 8"},
      {"db4 7x2", db4(), 7, 2, too_deep},
      {"sym4 8x2", sym4(), 8, 2, too_deep},
      // The lifting executors refuse a short signal before anything else.
      {"cdf97 3x0", cdf97(), 3, 0, too_deep},
      {"cdf97 3x1", cdf97(), 3, 1, too_deep},
      {"cdf97 3x4", cdf97(), 3, 4, too_deep},
      {"cdf97 4x1", cdf97(), 4, 1, ""},
      {"cdf97 8x2", cdf97(), 8, 2, ""},
      {"cdf97 7x2", cdf97(), 7, 2, ""},
      {"cdf97 6x2", cdf97(), 6, 2, too_deep},
      {"cdf53 3x1", cdf53(), 3, 1, ""},
      {"cdf53 3x2", cdf53(), 3, 2, too_deep},
      {"cdf53 2x1", cdf53(), 2, 1, too_deep},
      {"cdf53 0x0", cdf53(), 0, 0, too_deep},
      {"cdf53 huge level count", cdf53(), 1000, std::size_t(-1), too_deep},
      {"db4 huge level count", db4(), 1000, std::size_t(-1), too_deep},
  };
  for (const Case& c : cases) {
    const auto m = c.executor->multi_dwt(random_signal(c.n, 2), c.levels);
    if (c.error.empty()) {
      ASSERT_TRUE(m.has_value()) << c.name << ": " << m.error().message();
      EXPECT_EQ(m->levels.size(), std::max<std::size_t>(c.levels, 1)) << c.name;
    } else {
      ASSERT_FALSE(m.has_value()) << c.name;
      EXPECT_EQ(m.error().message(), c.error) << c.name;
    }
  }
}

TEST(MultiDwt, DwtReturnsTheDeepestLevel) {
  const auto x = random_signal(300, 4);
  for (const DwtHandle& e : {cdf53(), cdf97(), db4(), sym4()}) {
    const auto all = e->multi_dwt(x, 3);
    const auto deepest = e->dwt(x, 3);
    ASSERT_TRUE(all.has_value() && deepest.has_value());
    EXPECT_EQ(deepest->approximation, all->levels[2].approximation);
    EXPECT_EQ(deepest->details, all->levels[2].details);
  }
  EXPECT_EQ(cdf97()->dwt(std::vector<float>(3), 1).error(), TransformError::level_too_deep());
}

// multi_idwt reuses two buffers across levels; it must give exactly what
// one idwt per level gives, trimming included.
TEST(MultiIdwt, SameBitsAsOneIdwtPerLevel) {
  for (const DwtHandle& e : {cdf53(), cdf97(), db4(), sym4()}) {
    for (std::size_t n : {203u, 1000u, 1001u, 4099u}) {
      for (std::size_t levels = 1; levels <= 6; ++levels) {
        const auto m = e->multi_dwt(random_signal(n, 17), levels);
        ASSERT_TRUE(m.has_value());
        std::vector<float> current = m->levels.back().approximation;
        for (std::size_t k = levels; k-- > 0;) {
          const auto& details = m->levels[k].details;
          if (e->filter_length() == 8) current.resize(std::min(current.size(), details.size()));
          auto next = e->idwt(current, details);
          ASSERT_TRUE(next.has_value()) << next.error().message();
          current = std::move(*next);
        }
        const View v = view_of(*m);
        const auto whole = e->multi_idwt(v.details, v.approximation);
        ASSERT_TRUE(whole.has_value());
        EXPECT_TRUE(testing::same_bits(*whole, current)) << "n " << n << " levels " << levels;
      }
    }
  }
}

// The drivers write levels through the kernels' growing-vector path; a
// level must come out exactly as execute_forward writes it into a buffer.
TEST(MultiDwt, LevelsMatchTheSpanKernelsBitForBit) {
  for (const DwtHandle& e : {cdf53(), cdf97(), db4(), sym4()}) {
    for (std::size_t n : {8u, 9u, 2053u, 4097u, 4102u, 8200u, 8201u}) {
      const auto x = random_signal(n, 23);
      const auto m = e->multi_dwt(x, 1);
      ASSERT_TRUE(m.has_value());
      const DwtSize size = e->dwt_size(n);
      std::vector<float> a(size.approximation), d(size.details);
      ASSERT_TRUE(e->execute_forward(x, a, d).has_value());
      EXPECT_TRUE(testing::same_bits(m->levels[0].approximation, a)) << n;
      EXPECT_TRUE(testing::same_bits(m->levels[0].details, d)) << n;

      std::vector<float> y(e->idwt_size(a.size(), d.size()));
      ASSERT_TRUE(e->execute_inverse(a, d, y).has_value());
      const std::span<const float> one[] = {d};
      const auto whole = e->multi_idwt(one, a);
      ASSERT_TRUE(whole.has_value());
      EXPECT_TRUE(testing::same_bits(*whole, y)) << n;
    }
  }
}

// A single-level executor known only through its interface.
class Forwarding final : public IncompleteDwtExecutor {
 public:
  explicit Forwarding(DwtHandle inner) : inner_(std::move(inner)) {}
  TransformResult<void> execute_forward(std::span<const float> x, std::span<float> a,
                                        std::span<float> d) const noexcept override {
    return inner_->execute_forward(x, a, d);
  }
  DwtSize dwt_size(std::size_t n) const noexcept override { return inner_->dwt_size(n); }
  TransformResult<void> execute_inverse(std::span<const float> a, std::span<const float> d,
                                        std::span<float> y) const noexcept override {
    return inner_->execute_inverse(a, d, y);
  }
  std::size_t idwt_size(std::size_t a, std::size_t d) const noexcept override {
    return inner_->idwt_size(a, d);
  }
  std::size_t filter_length() const noexcept override { return inner_->filter_length(); }

 private:
  DwtHandle inner_;
};

TEST(CompletedDwtExecutor, AnyInnerExecutorGivesTheSameResults) {
  const CompletedDwtExecutor foreign(std::make_shared<const Forwarding>(sym4()));
  const DwtHandle own = sym4();
  EXPECT_EQ(foreign.filter_length(), 8u);
  for (std::size_t n : {8u, 1001u, 4100u}) {
    const auto x = random_signal(n, 29);
    const auto a = foreign.multi_dwt(x, 3);
    const auto b = own->multi_dwt(x, 3);
    ASSERT_EQ(a.has_value(), b.has_value()) << n;
    if (!a) {
      EXPECT_EQ(a.error(), b.error());
      continue;
    }
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_TRUE(testing::same_bits(a->levels[k].approximation, b->levels[k].approximation));
      EXPECT_TRUE(testing::same_bits(a->levels[k].details, b->levels[k].details));
    }
    const View v = view_of(*a);
    const auto ya = foreign.multi_idwt(v.details, v.approximation);
    const auto yb = own->multi_idwt(v.details, v.approximation);
    ASSERT_TRUE(ya.has_value() && yb.has_value());
    EXPECT_TRUE(testing::same_bits(*ya, *yb)) << n;
  }
  EXPECT_EQ(foreign.multi_dwt(random_signal(7, 1), 1).error(),
            TransformError::input_too_short(7, 8));
}

TEST(MultiIdwt, ZeroSizedInput) {
  const std::vector<float> approximation(4, 1.0f);
  const std::vector<float> details(4, 1.0f);
  const std::span<const float> one_level[] = {details};
  for (const DwtHandle& e : {cdf53(), cdf97(), db4(), sym4()}) {
    const auto none = e->multi_idwt({}, approximation);
    ASSERT_FALSE(none.has_value());
    EXPECT_EQ(none.error().message(), "Zero sized input is not supported");
    const auto empty = e->multi_idwt(one_level, {});
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(empty.error(), TransformError::zero_sized_input());
  }
}

TEST(MultiIdwt, MismatchedLevelsAreReported) {
  const std::vector<float> v3(3), v4(4), v5(5), v7(7), v8(8), v9(9);
  struct Case {
    const char* name;
    DwtHandle executor;
    std::vector<std::span<const float>> details;
    std::span<const float> approximation;
    TransformError error;
  };
  const Case cases[] = {
      {"db4 coarsest unequal", db4(), {v8, v7}, v8, TransformError::approx_details_mismatch(8, 7)},
      // The coarsest level rebuilds 2*7-6 = 8 samples; the finer details want 9.
      {"db4 finer details too long",
       db4(),
       {v9, v7},
       v7,
       TransformError::approx_details_mismatch(8, 9)},
      {"cdf53 approximation too long",
       cdf53(),
       {v3},
       v5,
       TransformError::approximate_size_mismatch(5, 4)},
      // The coarsest level rebuilds 8 samples, too many for 3 finer details.
      {"cdf53 second level",
       cdf53(),
       {v3, v4},
       v4,
       TransformError::approximate_size_mismatch(8, 6)},
      {"cdf97 approximation short",
       cdf97(),
       {v4},
       v3,
       TransformError::approximate_size_mismatch(3, 4)},
      // All levels are checked before any is rebuilt, coarsest first: the
      // middle level (8 + 9 = 17 samples wants 9 approximations) is reported,
      // not the finest (17 + 3 would be wrong too).
      {"cdf97 middle level before the finest",
       cdf97(),
       {v3, v9, v4},
       v4,
       TransformError::approximate_size_mismatch(8, 9)},
      // The coarser level rebuilds 8 samples; 8 + 5 = 13 wants 7.
      {"cdf97 finest level", cdf97(), {v5, v4}, v4, TransformError::approximate_size_mismatch(8, 7)},
  };
  for (const Case& c : cases) {
    const auto y = c.executor->multi_idwt(c.details, c.approximation);
    ASSERT_FALSE(y.has_value()) << c.name;
    EXPECT_EQ(y.error(), c.error) << c.name << ": " << y.error().message();
  }
}

// The decompressor recomputes every level's lengths with dwt_size from the
// stored sample count and hands them to multi_idwt, whatever the level
// count in the container says. Every such layout must either reconstruct
// or be refused with an error; none may crash or overrun (the sanitizer
// build makes the latter visible).
TEST(MultiIdwt, LayoutsRecomputedFromAnyLengthAreSafe) {
  for (const DwtHandle& e : {cdf53(), cdf97(), db4(), sym4()}) {
    for (std::size_t n = 0; n <= 40; ++n) {
      for (std::size_t levels = 1; levels <= 8; ++levels) {
        std::vector<std::vector<float>> details;
        std::size_t length = n;
        DwtSize size{};
        for (std::size_t k = 0; k < levels; ++k) {
          size = e->dwt_size(length);
          details.emplace_back(size.details, 0.5f);
          length = size.approximation;
        }
        const std::vector<float> approximation(size.approximation, 0.25f);
        const std::vector<std::span<const float>> views(details.begin(), details.end());
        const auto y = e->multi_idwt(views, approximation);
        const bool decomposable = n >= 1 && e->multi_dwt(std::vector<float>(n), levels).has_value();
        if (decomposable) {
          ASSERT_TRUE(y.has_value()) << "n " << n << " levels " << levels;
          EXPECT_GE(y->size(), n);
          EXPECT_LE(y->size(), n + 1);
        }
      }
    }
  }
}

// Level buffers may be reserved beyond what was asked for, to fill whole
// huge pages; the extra must stay spare capacity that growing to the
// count asked for never exceeds, and the values must be what was written.
TEST(Buffers, LargeBuffersHoldExactlyWhatWasAskedFor) {
  for (bool whole_huge_pages : {false, true}) {
    for (std::size_t count : {std::size_t{1} << 18, (std::size_t{1} << 18) + 1,
                              std::size_t{3'000'001}, std::size_t{5'242'864}}) {
      auto reserved = detail::reserved_floats(count, whole_huge_pages);
      ASSERT_TRUE(reserved.has_value());
      EXPECT_TRUE(reserved->empty());
      ASSERT_GE(reserved->capacity(), count);
      const float* const data = reserved->data();
      detail::Output(*reserved).reach(count);
      EXPECT_EQ(reserved->data(), data) << "grew by reallocating";
      ASSERT_EQ(reserved->size(), count);
      EXPECT_TRUE(
          std::all_of(reserved->begin(), reserved->end(), [](float v) { return v == 0.0f; }));
    }
  }
}

TEST(Buffers, FailedAllocationIsAnErrorValue) {
  // Beyond what a vector may hold: refused before any allocation.
  const auto absurd = detail::zeroed_floats(std::size_t(-1) / 2);
  ASSERT_FALSE(absurd.has_value());
  EXPECT_EQ(absurd.error().message(), "Cannot allocate 18446744073709551615 bytes to vector");
  const auto fine = detail::zeroed_floats(5);
  ASSERT_TRUE(fine.has_value());
  EXPECT_EQ(*fine, std::vector<float>(5, 0.0f));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer aborts on a failed operator new instead of throwing";
#else
  // Representable but more than any machine has: the allocator says no.
  const auto huge = detail::zeroed_floats(std::size_t{1} << 60);
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(huge.error(), TransformError::allocation_failed(std::size_t{1} << 62));
  const auto scratch = detail::scratch_floats(std::size_t{1} << 60);
  ASSERT_FALSE(scratch.has_value());
  EXPECT_EQ(scratch.error(), TransformError::allocation_failed(std::size_t{1} << 62));
#endif
}

}  // namespace
}  // namespace wavelet
