// Result: the one bad-access rule, on both the value and the void form.
#include "base/result.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/fault.hpp"

namespace veltrano {
namespace {

struct TextError {
  std::string text() const { return "the error's own text"; }
};
struct PlainError {
  int code = 0;
};

std::string fault_text(auto&& access) {
  try {
    access();
  } catch (const Fault& fault) {
    return fault.what();
  }
  return "no fault";
}

TEST(Result, ReadingTheAbsentSideIsAFault) {
  Result<int, TextError> failed = TextError{};
  EXPECT_EQ(fault_text([&] { (void)failed.value(); }), "the error's own text");
  Result<int, PlainError> plain = PlainError{7};
  EXPECT_EQ(fault_text([&] { (void)plain.value(); }), "result holds an error, not a value");
  EXPECT_EQ(plain.error().code, 7);

  Result<int, TextError> fine = 5;
  EXPECT_EQ(fault_text([&] { (void)fine.error(); }), "result holds a value, not an error");
  EXPECT_EQ(fine.value(), 5);
}

TEST(Result, VoidFormIsASuccessUntilGivenAnError) {
  Result<void, TextError> done;
  EXPECT_TRUE(done.ok());
  EXPECT_NO_THROW(done.value());
  EXPECT_EQ(fault_text([&] { (void)done.error(); }), "result holds a value, not an error");
  Result<void, TextError> failed = TextError{};
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(fault_text([&] { failed.value(); }), "the error's own text");
}

TEST(Result, MovesOutMoveOnlyValues) {
  Result<std::unique_ptr<int>, PlainError> held = std::make_unique<int>(3);
  std::unique_ptr<int> taken = std::move(held).value();
  EXPECT_EQ(*taken, 3);
}

}  // namespace
}  // namespace veltrano
