#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/Wait.h"

using kelda::platform::ReadGuard;
using kelda::platform::TMultiReadExclusiveWriteSynchronizer;
using kelda::platform::WriteGuard;
using kelda::test::StaysFalse;
using kelda::test::WaitFor;

TEST(Synchronizer, WriterReentersWriteAndReadAndStaysLockedUntilLastRelease) {
  TMultiReadExclusiveWriteSynchronizer sync;
  sync.BeginWrite();
  sync.BeginRead();   // must not block
  sync.BeginWrite();  // must not block
  EXPECT_TRUE(sync.HoldsWrite());
  EXPECT_EQ(sync.ReadDepth(), 1);

  std::atomic<bool> otherGotRead{false};
  std::thread other([&] {
    ReadGuard guard(sync);
    otherGotRead = true;
  });
  EXPECT_TRUE(sync.EndWrite());
  EXPECT_TRUE(StaysFalse([&] { return otherGotRead.load(); }));
  EXPECT_TRUE(sync.EndRead());
  EXPECT_TRUE(StaysFalse([&] { return otherGotRead.load(); }));  // one write take is left
  EXPECT_TRUE(sync.EndWrite());
  EXPECT_TRUE(WaitFor([&] { return otherGotRead.load(); }));
  other.join();
}

TEST(Synchronizer, ReadersShareAndAWriterWaitsForThemAll) {
  TMultiReadExclusiveWriteSynchronizer sync;
  sync.BeginRead();
  sync.BeginRead();  // nested read of one thread
  std::atomic<bool> secondReader{false}, writerIn{false};
  std::thread reader([&] {
    ReadGuard guard(sync);  // readers share
    secondReader = true;
  });
  EXPECT_TRUE(WaitFor([&] { return secondReader.load(); }));
  reader.join();

  std::thread writer([&] {
    WriteGuard guard(sync);
    writerIn = true;
  });
  EXPECT_TRUE(sync.EndRead());
  EXPECT_TRUE(StaysFalse([&] { return writerIn.load(); }));
  EXPECT_TRUE(sync.EndRead());
  EXPECT_TRUE(WaitFor([&] { return writerIn.load(); }));
  writer.join();
}

TEST(Synchronizer, ReaderWaitsForTheWriter) {
  TMultiReadExclusiveWriteSynchronizer sync;
  sync.BeginWrite();
  std::atomic<bool> readerIn{false};
  std::thread reader([&] {
    ReadGuard guard(sync);
    readerIn = true;
  });
  EXPECT_TRUE(StaysFalse([&] { return readerIn.load(); }));
  sync.EndWrite();
  EXPECT_TRUE(WaitFor([&] { return readerIn.load(); }));
  reader.join();
}

TEST(Synchronizer, ReaderAskingForWriteWaitsUntilOtherReadersLeave) {
  TMultiReadExclusiveWriteSynchronizer sync;
  std::atomic<bool> otherReading{false}, releaseOther{false}, upgraded{false};
  std::thread other([&] {
    sync.BeginRead();
    otherReading = true;
    while (!releaseOther) std::this_thread::yield();
    sync.EndRead();
  });
  ASSERT_TRUE(WaitFor([&] { return otherReading.load(); }));
  std::thread upgrader([&] {
    sync.BeginRead();
    sync.BeginWrite();
    upgraded = true;
    sync.EndWrite();
    sync.EndRead();
  });
  EXPECT_TRUE(StaysFalse([&] { return upgraded.load(); }));
  releaseOther = true;
  EXPECT_TRUE(WaitFor([&] { return upgraded.load(); }));
  other.join();
  upgrader.join();
}

TEST(Synchronizer, TwoReadersAskingForWriteAtOnceBothGetIt) {
  TMultiReadExclusiveWriteSynchronizer sync;
  std::atomic<int> reading{0}, wrote{0};
  std::atomic<int> writersInside{0}, maxWritersInside{0};
  auto upgrader = [&] {
    sync.BeginRead();
    ++reading;
    while (reading < 2) std::this_thread::yield();  // both hold a read lock first
    sync.BeginWrite();
    int inside = ++writersInside;
    if (inside > maxWritersInside) maxWritersInside = inside;
    EXPECT_EQ(sync.ReadDepth(), 1);  // the read lock is held again with the write lock
    --writersInside;
    sync.EndWrite();
    sync.EndRead();
    ++wrote;
  };
  std::thread a(upgrader), b(upgrader);
  EXPECT_TRUE(WaitFor([&] { return wrote == 2; }));
  a.join();
  b.join();
  EXPECT_EQ(maxWritersInside, 1);
}

TEST(Synchronizer, ReleasingALockThatIsNotHeldIsRefusedWithoutEffect) {
  TMultiReadExclusiveWriteSynchronizer sync;
  EXPECT_FALSE(sync.EndRead());
  EXPECT_FALSE(sync.EndWrite());

  sync.BeginWrite();
  std::thread stranger([&] {
    EXPECT_FALSE(sync.EndWrite());  // another thread cannot release our write lock
    EXPECT_FALSE(sync.EndRead());
  });
  stranger.join();
  EXPECT_TRUE(sync.HoldsWrite());
  EXPECT_FALSE(sync.EndRead());  // holding write does not mean holding read
  EXPECT_TRUE(sync.EndWrite());
  EXPECT_FALSE(sync.EndWrite());

  std::atomic<bool> got{false};
  std::thread after([&] {
    WriteGuard guard(sync);  // the lock is free again: refusals left nothing behind
    got = true;
  });
  EXPECT_TRUE(WaitFor([&] { return got.load(); }));
  after.join();
}

TEST(Synchronizer, StressKeepsWritersExclusive) {
  TMultiReadExclusiveWriteSynchronizer sync;
  std::atomic<int> readers{0}, writers{0};
  std::atomic<bool> violated{false};
  long shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if ((i + t) % 3 == 0) {
          WriteGuard guard(sync);
          if (++writers != 1 || readers != 0) violated = true;
          {
            ReadGuard nested(sync);  // a writer may read
            ++shared;
          }
          --writers;
        } else {
          ReadGuard guard(sync);
          ++readers;
          if (writers != 0) violated = true;
          if (i % 7 == 0) {
            ReadGuard nested(sync);
          }
          --readers;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(violated);
  long expected = 0;
  for (int t = 0; t < 6; ++t)
    for (int i = 0; i < 2000; ++i) expected += (i + t) % 3 == 0;
  EXPECT_EQ(shared, expected);
}
