// NoDestructor: the held object is built from the given arguments, honours its alignment, and
// is never destroyed, neither when the holder goes nor when the process exits.
#include "base/no_destructor.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>

namespace veltrano {
namespace {

struct Counted {
  static inline int destroyed = 0;
  explicit Counted(int value) : value(value) {}
  ~Counted() { ++destroyed; }
  int value;
};

// Ends the process with its own status when destroyed, so an exit shows whether it ran.
struct EndsProcessWhenDestroyed {
  ~EndsProcessWhenDestroyed() { std::_Exit(7); }
};

struct alignas(64) OverAligned {
  unsigned char bytes[64];
};

TEST(NoDestructorTest, BuildsTheValueFromTheArguments) {
  NoDestructor<std::string> repeated(3, 'x');
  EXPECT_EQ(*repeated, "xxx");
  repeated->append("y");
  EXPECT_EQ(*repeated.get(), "xxxy");

  NoDestructor<std::unique_ptr<int>> moved_in(std::make_unique<int>(5));
  ASSERT_NE(moved_in->get(), nullptr);
  EXPECT_EQ(**moved_in, 5);
  moved_in->reset();  // the holder never would

  const NoDestructor<Counted> constant(11);
  EXPECT_EQ(constant->value, 11);
  EXPECT_EQ((*constant).value, 11);
}

TEST(NoDestructorTest, LeavingTheScopeDoesNotDestroyTheValue) {
  const int before = Counted::destroyed;
  {
    NoDestructor<Counted> kept(1);
    EXPECT_EQ(kept->value, 1);
  }
  EXPECT_EQ(Counted::destroyed, before);
  {
    Counted plain(2);
  }
  EXPECT_EQ(Counted::destroyed, before + 1);  // the counter does see a destruction
}

TEST(NoDestructorTest, HonoursTheAlignmentOfTheValue) {
  static_assert(alignof(NoDestructor<OverAligned>) >= alignof(OverAligned));
  NoDestructor<OverAligned> first;
  NoDestructor<OverAligned> second;
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first.get()) % alignof(OverAligned), 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(second.get()) % alignof(OverAligned), 0u);
}

TEST(NoDestructorTest, HolderIsTriviallyDestructible) {
  static_assert(std::is_trivially_destructible_v<NoDestructor<std::string>>);
  static_assert(std::is_trivially_destructible_v<NoDestructor<EndsProcessWhenDestroyed>>);
  static_assert(!std::is_copy_constructible_v<NoDestructor<int>>);
  static_assert(!std::is_copy_assignable_v<NoDestructor<int>>);
}

TEST(NoDestructorDeathTest, StaticValueIsNotDestroyedAtExit) {
  EXPECT_EXIT(
      {
        static NoDestructor<EndsProcessWhenDestroyed> kept;
        (void)kept.get();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
  // The same static without the holder is destroyed by exit, which the status shows.
  EXPECT_EXIT(
      {
        static EndsProcessWhenDestroyed plain;
        (void)&plain;
        std::exit(0);
      },
      testing::ExitedWithCode(7), "");
}

}  // namespace
}  // namespace veltrano
