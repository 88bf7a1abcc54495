// Names of their own for tests that store settings: a registry path per test run, removed from
// both hives afterwards, so that runs never see each other's keys.
#pragma once

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/Registry.h"

namespace kelda::test {

// The running test's name and a random number.
inline std::string UniqueName() {
  std::random_device random;
  return std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
         std::to_string(random());
}

class TTestKey {
public:
  TTestKey() : FPath("Software\\KeldaTest\\" + UniqueName()) {}
  ~TTestKey() {
    for (platform::TRegHive hive : {platform::TRegHive::CurrentUser, platform::TRegHive::LocalMachine}) {
      try {
        platform::DeleteRegistryKeyTree(hive, FPath);
      } catch (...) {
      }
    }
  }
  TTestKey(const TTestKey&) = delete;
  TTestKey& operator=(const TTestKey&) = delete;
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
};

}  // namespace kelda::test
