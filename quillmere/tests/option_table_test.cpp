// The option tables are the only place names meet codes, so a name bound to
// the wrong code, a code two names share, or a range that lets a stray code
// through would silently write another wavelet or coder into a container.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "quillmere/option_table.hpp"

namespace quillmere {
namespace {

template <class Code, std::size_t N>
void expect_one_name_per_code(const std::array<NamedOption<Code>, N>& table) {
  std::set<std::string_view> names;
  std::set<int> codes;
  for (const auto& entry : table) {
    EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
    EXPECT_TRUE(codes.insert(static_cast<int>(entry.code)).second) << entry.name;
    EXPECT_EQ(option_named(table, entry.name), entry.code);
    EXPECT_EQ(option_coded(table, static_cast<long long>(entry.code)), entry.code);
    EXPECT_EQ(option_name(table, entry.code), entry.name);
  }
}

TEST(OptionTable, EveryNameHasOneCodeAndBack) {
  expect_one_name_per_code(kMethodNames);
  expect_one_name_per_code(kCutoffNames);
  expect_one_name_per_code(kCoderNames);
}

// The codes are what containers store: a renumbering would misread every
// file already written.
TEST(OptionTable, NamesKeepTheirStoredCodes) {
  EXPECT_EQ(method_named("cdf53"), Method{0});
  EXPECT_EQ(method_named("cdf97"), Method{1});
  EXPECT_EQ(method_named("db4"), Method{2});
  EXPECT_EQ(method_named("sym4"), Method{3});
  EXPECT_EQ(cutoff_named("low"), Cutoff{0});
  EXPECT_EQ(cutoff_named("medium"), Cutoff{1});
  EXPECT_EQ(cutoff_named("high"), Cutoff{2});
  EXPECT_EQ(option_named(kCoderNames, "deflate"), Coder{kCoderDeflate});
  EXPECT_EQ(option_named(kCoderNames, "arans"), Coder{kCoderArans});
  EXPECT_EQ(option_named(kCoderNames, "cmodel"), Coder{kCoderCModel});
  EXPECT_EQ(option_named(kCoderNames, "fast"), Coder{kCoderFast});
  EXPECT_EQ(option_named(kCoderNames, "auto"), Coder::Auto);
}

struct StrayCode {
  const char* what;
  bool (*accepted)(long long);
  long long code;
};

bool method_accepted(long long code) { return method_coded(code).has_value(); }
bool cutoff_accepted(long long code) { return cutoff_coded(code).has_value(); }
bool coder_accepted(long long code) { return coder_coded(code).has_value(); }
bool scale_accepted(long long code) { return scale_coded(code).has_value(); }

class StrayCodes : public ::testing::TestWithParam<StrayCode> {};

TEST_P(StrayCodes, AreRefused) {
  const StrayCode& c = GetParam();
  EXPECT_FALSE(c.accepted(c.code)) << c.what << " " << c.code;
}

INSTANTIATE_TEST_SUITE_P(
    Each, StrayCodes,
    ::testing::Values(StrayCode{"method", method_accepted, -1}, StrayCode{"method", method_accepted, 4},
                      StrayCode{"method", method_accepted, 256 + 1},
                      StrayCode{"cutoff", cutoff_accepted, -1}, StrayCode{"cutoff", cutoff_accepted, 3},
                      StrayCode{"coder", coder_accepted, -1}, StrayCode{"coder", coder_accepted, 4},
                      StrayCode{"coder", coder_accepted, 254}, StrayCode{"coder", coder_accepted, 256 + 255},
                      StrayCode{"scale", scale_accepted, kMinScale - 1},
                      StrayCode{"scale", scale_accepted, kMaxScale + 1},
                      StrayCode{"scale", scale_accepted, 256 + kMinScale}));

TEST(OptionTable, ScalesCodedAreExactlyTheSupportedOnes) {
  for (long long s = -1; s <= 300; ++s) {
    EXPECT_EQ(scale_coded(s).has_value(), s >= 0 && s <= 255 && is_supported_scale(static_cast<std::uint8_t>(s)))
        << s;
  }
  EXPECT_TRUE(is_supported_scale(kDefaultScale));
}

TEST(OptionTable, TheModuleTakesEveryCoderButTheToolsOwn) {
  EXPECT_FALSE(coder_for_module("fast"));
  EXPECT_FALSE(coder_for_module("Fast"));
  EXPECT_FALSE(coder_for_module(""));
  for (const auto& entry : kCoderNames) {
    if (entry.code != Coder::Fast) {
      EXPECT_EQ(coder_for_module(entry.name), entry.code);
    }
  }
}

}  // namespace
}  // namespace quillmere
