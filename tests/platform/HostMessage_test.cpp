#include "platform/HostMessage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/Module.h"

using namespace kelda::platform;

TEST(HostWindow, DeliversPostedAndSentMessagesInTheOwnerThread) {
  std::vector<std::pair<uint32_t, uintptr_t>> seen;
  std::thread::id handlerThread;
  THostWindow window([&](uint32_t message, uintptr_t wParam, intptr_t) -> intptr_t {
    seen.emplace_back(message, wParam);
    handlerThread = std::this_thread::get_id();
    return 0;
  });
  ASSERT_NE(window.Handle(), kNoWindow);
  EXPECT_TRUE(THostWindow::Post(window.Handle(), 1809, 7, 0));
  EXPECT_TRUE(seen.empty()) << "posting only queues";
  std::thread other([&] { EXPECT_TRUE(THostWindow::Post(window.Handle(), 1809, 8, 0)); });
  other.join();
  EXPECT_EQ(THostWindow::ProcessMessages(), 2);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_pair(1809u, uintptr_t{7}));
  EXPECT_EQ(seen[1], std::make_pair(1809u, uintptr_t{8}));
  EXPECT_EQ(handlerThread, std::this_thread::get_id());

  EXPECT_TRUE(THostWindow::Send(window.Handle(), 1810, 9, 0, 1000)) << "sent from the owner: handled at once";
  EXPECT_EQ(seen.back(), std::make_pair(1810u, uintptr_t{9}));

  // A sender on another thread gives up when the owner does not dispatch.
  bool answered = true;
  std::thread sender([&] { answered = THostWindow::Send(window.Handle(), 1811, 0, 0, 50); });
  sender.join();
  EXPECT_FALSE(answered);
  THostWindow::ProcessMessages();  // whether a late message still arrives is the system's choice
}

TEST(HostWindow, UnknownWindowsAndTheModuleSideWithoutAHost) {
  EXPECT_FALSE(PostHostMessage(kNoWindow, 1809, 0, 0));
  EXPECT_FALSE(SendHostMessage(kNoWindow, 1809, 0, 0, 10));
  WindowHandle gone;
  {
    THostWindow window([](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 0; });
    gone = window.Handle();
  }
  EXPECT_FALSE(THostWindow::Post(gone, 1809, 0, 0));
}

TEST(HostHeap, BuffersGrowAndKeepTheirBytes) {
  auto* buffer = static_cast<char*>(HostHeapAlloc(4));
  ASSERT_NE(buffer, nullptr);
  std::memcpy(buffer, "abcd", 4);
  buffer = static_cast<char*>(HostHeapRealloc(buffer, 4096));
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  HostHeapFree(buffer);
  HostHeapFree(nullptr);
  void* fresh = HostHeapRealloc(nullptr, 8);
  EXPECT_NE(fresh, nullptr);
  HostHeapFree(fresh);
}

TEST(Module, NamesAndExportsOfTheRunningProgram) {
  std::string self = ModuleFileName(0);
  EXPECT_FALSE(self.empty());
  EXPECT_FALSE(HostProgramFileName().empty());
  EXPECT_NE(HostProgramHandle(), 0u);
  EXPECT_EQ(FindExport(HostProgramHandle(), "NoSuchFunctionAnywhere"), nullptr);
  EXPECT_EQ(FindExport(0, "CreatePluginInstance"), nullptr);
  EXPECT_EQ(FindLoadedModule(""), 0u);
  std::string program = HostProgramFileName();
  EXPECT_EQ(FindLoadedModule(program.substr(program.find_last_of("/\\") + 1)), HostProgramHandle())
      << "the host program is found by its own name";
  EXPECT_EQ(LoadModuleFile("no-such-library-here.dll"), 0u);
  EXPECT_FALSE(LastModuleError().empty());
  auto version = ModuleFileVersion(0);
  EXPECT_TRUE(version.has_value());
  EXPECT_TRUE(PathDelimiter() == '/' || PathDelimiter() == '\\');
}
