#include "platform/NamedLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/Wait.h"

using kelda::platform::SystemLockName;
using kelda::platform::TNamedLock;
using kelda::test::StaysFalse;
using kelda::test::WaitFor;

// Lock names come from INI file paths, which may be longer than the system takes for a name.
TEST(NamedLock, LongNamesLockAndStayApart) {
  const std::string head = "kelda_test_" + std::string(290, 'p');
  const std::string first = head + "_first.ini";
  const std::string second = head + "_second.ini";
  EXPECT_EQ(SystemLockName("c__data_kelda_ini"), "c__data_kelda_ini");  // short ones stay readable
  EXPECT_LE(SystemLockName(first).size(), 200u);
  EXPECT_EQ(SystemLockName(first).substr(0, 40), first.substr(0, 40));
  EXPECT_NE(SystemLockName(first), SystemLockName(second));

  auto held = std::make_unique<TNamedLock>(first);
  // Another long name with the same head is another lock.
  std::atomic<bool> otherTaken{false};
  std::thread other([&] {
    TNamedLock lock(second);
    otherTaken = true;
  });
  EXPECT_TRUE(WaitFor([&] { return otherTaken.load(); }));
  other.join();
  // The same long name waits for the holder.
  std::atomic<bool> sameTaken{false};
  std::thread same([&] {
    TNamedLock lock(first);
    sameTaken = true;
  });
  EXPECT_TRUE(StaysFalse([&] { return sameTaken.load(); }));
  held.reset();
  EXPECT_TRUE(WaitFor([&] { return sameTaken.load(); }));
  same.join();
}
