// Whatever a worker throws becomes an error value by one rule: running out of
// memory is OutOfMemory, anything else an internal fault that keeps the
// exception's description. Nothing may decide from an exception that the
// input was bad.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "quillmere_tools/unit_error.hpp"

namespace quillmere_tools {
namespace {

struct Thrown {
  const char* name;
  void (*raise)();
  UnitErrorKind kind;
  std::string message;
};

const std::vector<Thrown> kThrown = {
    {"bad_alloc", [] { throw std::bad_alloc(); }, UnitErrorKind::OutOfMemory, "out of memory"},
    {"array_new_length", [] { throw std::bad_array_new_length(); }, UnitErrorKind::OutOfMemory,
     "out of memory"},
    {"logic_error", [] { throw std::logic_error("band layout disagrees"); }, UnitErrorKind::Internal,
     "band layout disagrees"},
    {"length_error", [] { throw std::length_error("vector too long"); }, UnitErrorKind::Internal,
     "vector too long"},
    {"not_an_exception", [] { throw 42; }, UnitErrorKind::Internal, "unknown C++ exception"},
};

class CaughtException : public ::testing::TestWithParam<Thrown> {};

TEST_P(CaughtException, CatchingTurnsTheThrowIntoOneErrorValue) {
  const Thrown& t = GetParam();
  const UnitResult<int> result = catching<int>([&]() -> UnitResult<int> {
    t.raise();
    return 1;
  });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, t.kind);
  EXPECT_EQ(result.error().message, t.message);
}

TEST_P(CaughtException, CaughtUnitErrorAgreesInsideAHandWrittenCatch) {
  const Thrown& t = GetParam();
  UnitError error;
  try {
    t.raise();
  } catch (...) {
    error = caught_unit_error();
  }
  EXPECT_EQ(error.kind, t.kind);
  EXPECT_EQ(error.message, t.message);
}

INSTANTIATE_TEST_SUITE_P(Each, CaughtException, ::testing::ValuesIn(kThrown),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CaughtException, WorkThatSucceedsPassesItsValueThrough) {
  const UnitResult<int> ok = catching<int>([]() -> UnitResult<int> { return 7; });
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 7);
  const UnitResult<int> refused = catching<int>([]() -> UnitResult<int> {
    return unit_error(UnitErrorKind::BadBound, "max_error must be positive");
  });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, UnitErrorKind::BadBound);
}

}  // namespace
}  // namespace quillmere_tools
