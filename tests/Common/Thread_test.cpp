#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Common/Thread_Common.h"
#include "Common/Thread_ObjectList.h"
#include "Common/Thread_StringList.h"
#include "tests/support/Wait.h"

using namespace kelda;

namespace {
struct Tracked : TObject {
  explicit Tracked(int& alive) : Alive(alive) { ++Alive; }
  ~Tracked() override { --Alive; }
  int& Alive;
};
}  // namespace

TEST(ThreadObject, HandsOutTheGuardedObjectOrItself) {
  int guarded = 0;
  TThreadObject withObject(&guarded);
  EXPECT_EQ(withObject.LockRead(), &guarded);
  EXPECT_TRUE(withObject.UnlockRead());
  EXPECT_EQ(withObject.LockWrite(), &guarded);
  EXPECT_TRUE(withObject.Unlock());

  TThreadObject alone;
  EXPECT_EQ(alone.LockWrite(), &alone);
  EXPECT_EQ(alone.LockRead(), &alone);
  EXPECT_TRUE(alone.UnlockRead());
  EXPECT_TRUE(alone.UnlockWrite());
  EXPECT_FALSE(alone.UnlockWrite());  // never more releases than takes
  TThreadObject unused;
  EXPECT_FALSE(unused.UnlockRead());  // a lock never taken is refused, not created
}

TEST(ThreadObject, NestedTakesKeepOtherThreadsOutUntilAllAreReleased) {
  TThreadObject object;
  object.LockWrite();
  object.LockRead();
  object.LockWrite();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    object.LockRead();
    entered = true;
    object.UnlockRead();
  });
  object.UnlockWrite();
  object.UnlockRead();
  EXPECT_TRUE(test::StaysFalse([&] { return entered.load(); }));
  object.UnlockWrite();
  EXPECT_TRUE(test::WaitFor([&] { return entered.load(); }));
  other.join();
}

TEST(ThreadObject, FirstLockFromManyThreadsCreatesOneSynchronizer) {
  for (int round = 0; round < 20; ++round) {
    TThreadObject object;
    std::atomic<int> inside{0}, maxInside{0};
    std::thread threads[4];
    for (auto& t : threads)
      t = std::thread([&] {
        platform::WriteGuard guard(object);
        int now = ++inside;
        if (now > maxInside) maxInside = now;
        std::this_thread::yield();
        --inside;
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(maxInside, 1);
  }
}

TEST(ThreadObjectList, OwnershipDecidesWhetherItemsDieWithTheList) {
  int alive = 0;
  {
    TThreadObjectList owning(true);
    owning.Add(new Tracked(alive));
    owning.Add(new Tracked(alive));
    EXPECT_EQ(owning.Count(), 2);
  }
  EXPECT_EQ(alive, 0);

  Tracked a(alive), b(alive);
  {
    TThreadObjectList borrowing(false);
    borrowing.Add(&a);
    borrowing.Add(&b);
    TObjectList* list = borrowing.LockListRead();
    EXPECT_EQ(list->Items(1), &b);
    borrowing.UnlockRead();
    borrowing.Clear();
    EXPECT_EQ(borrowing.Count(), 0);
    borrowing.Add(&a);
  }
  EXPECT_EQ(alive, 2);
}

TEST(ThreadStringList, WritersAndReadersSeeEveryLine) {
  TThreadStringList lines;
  std::thread writers[3];
  for (int w = 0; w < 3; ++w)
    writers[w] = std::thread([&, w] {
      for (int i = 0; i < 500; ++i) {
        TStringList* list = lines.LockList();
        list->Add(std::to_string(w) + ":" + std::to_string(i));
        lines.UnlockList();
        TStringList* read = lines.LockListRead();
        EXPECT_GT(read->Count(), 0);
        lines.UnlockListRead();
      }
    });
  for (auto& t : writers) t.join();
  EXPECT_EQ(lines.Count(), 1500);
  TStringList* list = lines.BeginWrite();
  EXPECT_NE(list->IndexOf("2:499"), -1);
  EXPECT_TRUE(lines.EndWrite());
  EXPECT_FALSE(lines.UnlockListRead());
}
