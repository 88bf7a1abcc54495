#include "Common/FIFOStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Common/Exceptions.h"

using kelda::EFIFOStream;
using kelda::TFIFOStream;

namespace {

std::vector<uint8_t> Sequence(int count, int start = 0) {
  std::vector<uint8_t> bytes(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<uint8_t>(start + i);
  return bytes;
}

std::vector<uint8_t> Contents(TFIFOStream& fifo) {
  const uint8_t* data = fifo.LockDataRead();
  std::vector<uint8_t> out(data, data + fifo.DataSize());
  fifo.UnlockRead();
  return out;
}

}  // namespace

TEST(FIFOStream, WriteOfExactlyTheFreeSpaceFillsIt) {
  TFIFOStream fifo(16, false, 4);
  auto first = Sequence(6);
  fifo.Write(first.data(), 6);
  auto rest = Sequence(10, 6);
  fifo.Write(rest.data(), fifo.FreeSpace());
  EXPECT_EQ(fifo.DataSize(), 16);
  EXPECT_EQ(fifo.FreeSpace(), 0);
  EXPECT_EQ(Contents(fifo), Sequence(16));
  fifo.Write(rest.data(), 0);  // nothing to write: no over-run either
  fifo.Write(rest.data(), -5);
  EXPECT_EQ(fifo.DataSize(), 16);
}

TEST(FIFOStream, ShortfallDropsAtLeastTheDiscardChunk) {
  TFIFOStream fifo(2048, true, 64);
  auto old = Sequence(2040);
  fifo.Write(old.data(), 2040);
  auto fresh = Sequence(10, 200);
  fifo.Write(fresh.data(), 10);  // 2 bytes short: the 64 oldest go
  EXPECT_EQ(fifo.DataSize(), 1986);
  auto got = Contents(fifo);
  EXPECT_EQ(got.front(), static_cast<uint8_t>(64));
  EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), got.end() - 10));

  fifo.Clear();
  auto two = Sequence(2000);
  fifo.Write(two.data(), 2000);
  auto more = Sequence(200, 7);
  fifo.Write(more.data(), 200);  // 152 short: exactly 152 go and the FIFO is full
  EXPECT_EQ(fifo.DataSize(), 2048);
  got = Contents(fifo);
  EXPECT_EQ(got.front(), static_cast<uint8_t>(152));
  EXPECT_TRUE(std::equal(more.begin(), more.end(), got.end() - 200));
}

TEST(FIFOStream, WriteLargerThanTheFifoKeepsTheNewestBytes) {
  TFIFOStream fifo(100, true, 8);
  auto huge = Sequence(1000);
  fifo.Write(huge.data(), 1000);
  auto got = Contents(fifo);
  ASSERT_FALSE(got.empty());
  EXPECT_LE(got.size(), 100u);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), huge.end() - static_cast<long>(got.size())));
  EXPECT_EQ(got.back(), huge.back());

  TFIFOStream exact(100, true, 8);
  auto twice = Sequence(200);
  exact.Write(twice.data(), 200);  // two whole pieces: the second one replaces the first
  EXPECT_EQ(Contents(exact), Sequence(100, 100));
}

TEST(FIFOStream, WithoutDiscardAnOverRunFailsAndKeepsTheContents) {
  TFIFOStream fifo(8, false, 4);
  auto bytes = Sequence(6);
  fifo.Write(bytes.data(), 6);
  try {
    fifo.Write(bytes.data(), 3);
    FAIL() << "expected an over-run";
  } catch (const EFIFOStream& e) {
    EXPECT_STREQ(e.what(), "Buffer over-run.");
  }
  EXPECT_EQ(Contents(fifo), bytes);
  fifo.Discard(4);  // no effect without discarding
  EXPECT_EQ(fifo.DataSize(), 6);
  // The lock was released by the failed write: another thread can write.
  std::thread other([&] { fifo.Write(bytes.data(), 2); });
  other.join();
  EXPECT_EQ(fifo.DataSize(), 8);
  fifo.Clear();
  EXPECT_EQ(fifo.DataSize(), 0);
}

TEST(FIFOStream, DiscardMovesTheRestToTheFront) {
  TFIFOStream fifo(32, true, 4);
  auto bytes = Sequence(20);
  fifo.Write(bytes.data(), 20);
  fifo.Discard(0);
  fifo.Discard(-3);
  EXPECT_EQ(fifo.DataSize(), 20);
  fifo.Discard(5);
  uint8_t* first = fifo.LockData();
  EXPECT_EQ(first[0], 5);  // what was the sixth unread byte
  EXPECT_EQ(first[14], 19);
  fifo.UnlockWrite();
  fifo.Discard(100);  // more than there is empties it
  EXPECT_EQ(fifo.DataSize(), 0);
  EXPECT_EQ(fifo.FreeSpace(), 32);
}

TEST(FIFOStream, RejectsANonPositiveSize) {
  EXPECT_THROW(TFIFOStream(0, true, 64), EFIFOStream);
  EXPECT_THROW(TFIFOStream(-1, true, 64), EFIFOStream);
}

// One thread writes a numbered byte stream in chunks of varying size, never more than fits;
// another consumes in place. Every byte must arrive once and in order.
TEST(FIFOStream, ConcurrentWriterAndReaderLoseNothing) {
  TFIFOStream fifo(256, true, 16);
  constexpr int kTotal = 200000;
  std::atomic<bool> failed{false};
  std::thread writer([&] {
    int next = 0;
    int chunk = 1;
    while (next < kTotal) {
      fifo.LockWrite();  // re-entrant: the free-space check and the write are one step
      int n = std::min({chunk, fifo.FreeSpace(), kTotal - next});
      if (n > 0) {
        std::vector<uint8_t> data = Sequence(n, next);
        fifo.Write(data.data(), n);
        next += n;
      }
      fifo.UnlockWrite();
      chunk = chunk % 97 + 1;
      if (n == 0) std::this_thread::yield();
    }
  });
  int expected = 0;
  while (expected < kTotal && !failed) {
    uint8_t* data = fifo.LockData();
    int n = fifo.DataSize();
    for (int i = 0; i < n; ++i)
      if (data[i] != static_cast<uint8_t>(expected + i)) failed = true;
    fifo.Discard(n);
    fifo.UnlockWrite();
    expected += n;
    if (n == 0) std::this_thread::yield();
  }
  writer.join();
  EXPECT_FALSE(failed);
  EXPECT_EQ(expected, kTotal);
}

TEST(FIFOStream, WriteLargerThanTheFifoWithoutDiscardIsAllOrNothing) {
  TFIFOStream fifo(16, false, 4);
  auto big = Sequence(40, 100);
  EXPECT_THROW(fifo.Write(big.data(), 40), EFIFOStream);  // empty FIFO, more than it can hold
  EXPECT_EQ(fifo.DataSize(), 0);

  auto head = Sequence(4);
  fifo.Write(head.data(), 4);
  EXPECT_THROW(fifo.Write(big.data(), 17), EFIFOStream);
  EXPECT_THROW(fifo.Write(big.data(), 13), EFIFOStream);
  EXPECT_EQ(Contents(fifo), Sequence(4));
  fifo.Write(big.data(), 12);  // exactly the free space still fits
  EXPECT_EQ(fifo.DataSize(), 16);
}
