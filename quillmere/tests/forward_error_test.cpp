// The forwarding macros stand in for a hand-written check in many readers:
// they must hand the error on unchanged, keep the value of a success, and
// run the call exactly once (a reader called twice would read twice).
#include <gtest/gtest.h>

#include <expected>
#include <string>

#include "quillmere/forward_error.hpp"

namespace {

struct Calls {
  int count = 0;
  std::expected<int, std::string> once(bool ok) {
    ++count;
    if (ok) return 40;
    return std::unexpected("bad byte " + std::to_string(count));
  }
};

std::expected<int, std::string> add_two(Calls& calls, bool ok) {
  QUILLMERE_TRY(value, calls.once(ok));
  return *value + 2;
}

std::expected<void, std::string> check(Calls& calls, bool ok) {
  QUILLMERE_TRY_VOID(calls.once(ok));
  return {};
}

TEST(ForwardError, TryKeepsTheValueAndHandsTheErrorOn) {
  Calls calls;
  EXPECT_EQ(add_two(calls, true), 42);
  EXPECT_EQ(calls.count, 1);
  const auto failed = add_two(calls, false);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "bad byte 2");
  EXPECT_EQ(calls.count, 2);
}

TEST(ForwardError, TryVoidDropsASuccessAndHandsTheErrorOn) {
  Calls calls;
  EXPECT_TRUE(check(calls, true));
  const auto failed = check(calls, false);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "bad byte 2");
  EXPECT_EQ(calls.count, 2);
}

}  // namespace
