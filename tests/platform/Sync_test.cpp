#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using kelda::platform::TMultiReadExclusiveWriteSynchronizer;

TEST(Synchronizer, SmokeBuild) {
  TMultiReadExclusiveWriteSynchronizer s;
  s.BeginWrite();
  s.BeginRead();
  EXPECT_TRUE(s.EndRead());
  EXPECT_TRUE(s.EndWrite());
  EXPECT_FALSE(s.EndWrite());
}
