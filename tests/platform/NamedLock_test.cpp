#include "platform/NamedLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <vector>
#include <cctype>
#include <string>
#include <thread>

#include "platform/Exceptions.h"
#include "platform/File.h"
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

// The settings store waits a limited time for another process's lock: the wait gives up with
// ELockTimeout and holds nothing, so the lock is free for others once its holder lets go.
TEST(NamedLock, AWaitWithALimitGivesUpAndHoldsNothing) {
  const std::string name = "kelda_test_limited_wait";
  auto held = std::make_unique<TNamedLock>(name);
  std::atomic<int> outcome{0};  // 1 timed out, 2 taken
  std::thread waiter([&] {
    try {
      TNamedLock lock(name, 50);
      outcome = 2;
    } catch (const kelda::ELockTimeout&) {
      outcome = 1;
    }
  });
  waiter.join();
  EXPECT_EQ(outcome.load(), 1);
  held.reset();
  std::atomic<bool> taken{false};
  std::thread next([&] {
    TNamedLock lock(name, 10000);
    taken = true;
  });
  next.join();
  EXPECT_TRUE(taken.load()) << "the timed-out wait left nothing held";
}

// A service and a desktop program run in different sessions: the lock lives in the namespace
// every session sees, or, where the process may not use it, in its own session's. Exclusion
// holds either way.
TEST(NamedLock, GlobalNamespaceWhereAllowedElseTheSessionsOwn) {
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "global namespace refused" : "global namespace allowed");
    kelda::platform::SetGlobalLockNamespaceRefused(refused);
    const std::string name = refused ? "kelda_test_local_ns" : "kelda_test_global_ns";
    auto held = std::make_unique<TNamedLock>(name);
#ifdef _WIN32
    EXPECT_EQ(held->IsGlobal(), !refused);
#else
    EXPECT_TRUE(held->IsGlobal()) << "lock files are seen by every session";
#endif
    std::atomic<bool> taken{false};
    std::thread other([&] {
      TNamedLock lock(name);
      taken = true;
    });
    EXPECT_TRUE(StaysFalse([&] { return taken.load(); }));
    held.reset();
    EXPECT_TRUE(WaitFor([&] { return taken.load(); }));
    other.join();
  }
  kelda::platform::SetGlobalLockNamespaceRefused(false);
}

// One file, however its path is spelt, is one lock: relative or absolute, with "." and "..",
// through a linked folder, and on Windows in any letter case. Different files are different locks.
TEST(NamedLock, EverySpellingOfAFileNamesOneLock) {
  namespace fs = std::filesystem;
  using kelda::platform::FileLockName;
  using kelda::platform::LockNameOfText;
  EXPECT_EQ(LockNameOfText("C:\\Prog Files\\Host\\Settings.INI"), "c__prog_files_host_settings_ini");
  EXPECT_EQ(LockNameOfText("/tmp/a-b\xE4.ini"), "_tmp_a_b__ini");

  const fs::path folder =
      fs::current_path() / ("kelda_lock_spelling_" + std::to_string(std::random_device()()));
  fs::create_directories(folder / "sub");
  std::ofstream(folder / "shared.ini") << "[A]\n";
  const std::string absolute = (folder / "shared.ini").string();
  const std::string name = FileLockName(absolute);
  EXPECT_EQ(name, LockNameOfText(kelda::platform::FinalPath(absolute)));
  std::vector<std::string> spellings = {
      fs::relative(folder / "shared.ini").string(),
      "./" + fs::relative(folder / "shared.ini").generic_string(),
      (folder / "sub" / ".." / "shared.ini").string(),
      (folder / "." / "shared.ini").string(),
  };
  std::error_code linked;
  fs::create_directory_symlink(folder, folder.string() + "_link", linked);
  if (!linked) spellings.push_back(folder.string() + "_link/shared.ini");
#ifdef _WIN32
  std::string upper = absolute;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  spellings.push_back(upper);
#endif
  for (const std::string& spelling : spellings) EXPECT_EQ(FileLockName(spelling), name) << spelling;
  EXPECT_NE(FileLockName((folder / "other.ini").string()), name);
  EXPECT_EQ(FileLockName((folder / "sub" / ".." / "new.ini").string()),
            FileLockName((folder / "new.ini").string()))
      << "a file that does not exist yet";

  std::error_code ignored;
  fs::remove(folder.string() + "_link", ignored);
  fs::remove_all(folder, ignored);
}
