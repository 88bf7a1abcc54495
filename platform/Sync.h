// Locks shared by every subsystem: the re-entrant multiple-reader, single-writer synchronizer
// and the critical section, with scoped guards. Portable C++, the same code in both flavors.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kelda::platform {

// Multiple readers or one writer, re-entrant per thread:
//  - any number of threads may hold the read lock at once; the write lock excludes all others;
//  - a thread that holds the write lock may take the write lock again and the read lock, and
//    read locks of one thread nest; every take is matched by one release;
//  - a thread that holds only read locks and asks for the write lock waits until the other
//    readers have left. When two readers ask for the write lock at the same time, the later
//    one gives up its read locks while it waits and gets them back together with the write
//    lock, so neither waits for the other forever.
// New readers wait while a writer is waiting (a thread that already holds a lock never waits
// for a reader to come in), so a stream of readers cannot starve a writer.
//
// Releasing a lock that the calling thread does not hold is refused: EndRead/EndWrite return
// false and change nothing. They never block and never throw.
class TMultiReadExclusiveWriteSynchronizer {
public:
  TMultiReadExclusiveWriteSynchronizer() = default;
  TMultiReadExclusiveWriteSynchronizer(const TMultiReadExclusiveWriteSynchronizer&) = delete;
  TMultiReadExclusiveWriteSynchronizer& operator=(const TMultiReadExclusiveWriteSynchronizer&) = delete;

  void BeginRead();
  bool EndRead();
  void BeginWrite();
  bool EndWrite();

  // What the calling thread holds (for assertions and tests).
  bool HoldsWrite() const;
  int ReadDepth() const;

private:
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::thread::id FWriter;
  int FWriteDepth = 0;
  int FWaitingWriters = 0;
  int FUpgrading = 0;  // readers waiting for the write lock while keeping their read locks
  std::unordered_map<std::thread::id, int> FReads;  // read depth of each reading thread
};

// A re-entrant mutual-exclusion lock.
class TCriticalSection {
public:
  void Enter() { FMutex.lock(); }
  bool TryEnter() { return FMutex.try_lock(); }
  void Leave() { FMutex.unlock(); }

private:
  std::recursive_mutex FMutex;
};

// Scoped guards. They work with any object that has the named lock operations, so the same
// guard serves the synchronizer, TThreadObject and the lists built on it.
template <class T>
class ReadGuard {
public:
  explicit ReadGuard(T& lock) : FLock(lock) { FLock.BeginRead(); }
  ~ReadGuard() { FLock.EndRead(); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

private:
  T& FLock;
};

template <class T>
class WriteGuard {
public:
  explicit WriteGuard(T& lock) : FLock(lock) { FLock.BeginWrite(); }
  ~WriteGuard() { FLock.EndWrite(); }
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;

private:
  T& FLock;
};

class CriticalSectionGuard {
public:
  explicit CriticalSectionGuard(TCriticalSection& cs) : FSection(cs) { FSection.Enter(); }
  ~CriticalSectionGuard() { FSection.Leave(); }
  CriticalSectionGuard(const CriticalSectionGuard&) = delete;
  CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
  TCriticalSection& FSection;
};

}  // namespace kelda::platform
