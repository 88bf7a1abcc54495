// The framework at the edges where the host meets it: module texts changed while the host
// reads them, interface variables in data blocks, handles in the upper half of
// the address space, failures that are not exceptions of the library, and logging from
// "SET-STATE".
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

#include "Common/Exceptions.h"
#include "Plugins/zorPluginModule.h"
#include "tests/Plugins/PluginTestKit.h"

using namespace kelda;
using namespace kelda::test;

namespace {

// Reads the module information as the host does: the size first, then the texts.
bool ReadModuleInfo(uintptr_t instance, std::string& description, std::string& commands) {
  TPluginCallRec record = NewRecord(instance);
  uint32_t required = 0;
  zorGetModuleInfo(&record, nullptr, &required);
  if (required < kModuleInfoHeaderSize) return false;
  // Room to spare: the texts may grow between the two calls.
  std::vector<unsigned char> buffer(required + 4096, 0);
  auto* info = reinterpret_cast<TPluginModuleInfo*>(buffer.data());
  info->BufferSize = static_cast<uint32_t>(buffer.size());
  if (!zorGetModuleInfo(&record, info, &required)) return false;
  uint32_t descriptionLength = info->DescriptionLength, commandsLength = info->CustomCommandsLength;
  const char* text = reinterpret_cast<const char*>(buffer.data()) + kModuleInfoHeaderSize;
  description.assign(text, descriptionLength);
  commands.assign(text + descriptionLength, commandsLength);
  return true;
}

}  // namespace

TEST(PluginConcurrency, ModuleTextsChangeWhileTheHostReadsThem) {
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  TzorPlugin* plugin = Instance(instance);
  constexpr int kChanges = 1500;
  constexpr int kReads = 50;  // reads that must overlap the changes, however the threads are scheduled
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0}, logged{0};

  // Every text the writer sets is one letter repeated, long enough to live on the heap: a read
  // of a text while it is replaced shows as mixed letters (or as a read of freed memory).
  auto uniform = [](const std::string& text, std::size_t skip) {
    return text.size() <= skip || text.find_first_not_of(text[skip], skip) == std::string::npos;
  };
  std::thread host([&] {
    while (!done) {
      std::string description, commands;
      if (!ReadModuleInfo(instance, description, commands)) continue;
      if (!uniform(description, 0)) ++torn;
      ++reads;
    }
  });
  std::thread logger([&] {
    while (!done) {
      plugin->AddLog(2, "tick");
      ++logged;
      uint32_t length = 0;
      plugin->Log()->HandOver(nullptr, 0, length);
    }
  });
  // The texts keep changing until the other threads ran alongside (a bound only for a hang).
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  int changes = 0;
  for (int i = 0; i < kChanges ||
                  ((reads.load() < kReads || logged.load() == 0) && std::chrono::steady_clock::now() < bound);
       ++i, ++changes) {
    const std::string letters(static_cast<std::size_t>(40 + i % 200), static_cast<char>('a' + i % 26));
    THostList description, title, commands;
    description.Add("COMMAND", "SET-MODULE-PARAMETER")
        .AddEmpty("RESULT")
        .Add("PARAM", "Description")
        .Add("VALUE", letters);
    title.Add("COMMAND", "SET-MODULE-PARAMETER")
        .AddEmpty("RESULT")
        .Add("PARAM", "LogTitle")
        .Add("VALUE", letters);
    commands.Add("COMMAND", "SET-MODULE-PARAMETER")
        .AddEmpty("RESULT")
        .Add("PARAM", "CustomCommands")
        .Add("VALUE", letters + "|CMD|" + letters + "|1|0\r\n");
    EXPECT_TRUE(RunCommand(instance, description).Result.ToBool());
    EXPECT_TRUE(RunCommand(instance, title).Result.ToBool());
    // Each set adds to the commands: past kChanges their text would grow without end.
    if (i < kChanges) EXPECT_TRUE(RunCommand(instance, commands).Result.ToBool());
  }
  done = true;
  host.join();
  logger.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GE(reads.load(), kReads);
  EXPECT_GT(logged.load(), 0);
  std::string description, commands;
  ASSERT_TRUE(ReadModuleInfo(instance, description, commands));
  EXPECT_EQ(description, std::string(40 + (changes - 1) % 200, static_cast<char>('a' + (changes - 1) % 26)));
  EXPECT_EQ(plugin->CustomCommands->Count(), kChanges) << "every command set was kept";
  EXPECT_EQ(FreeInstance(instance), 0);
}

TEST(PluginDataBlocks, AnInterfaceVariableIsTakenAsItIsWhateverFollowsIt) {
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  int32_t seenCount = -1;
  Instance(instance)->OnProcessData = [&](TzorPlugin*, TPluginCallRecIntft& record, int& result) {
    seenCount = record.DataInList ? record.DataInList->GetCount() : -2;
    result = 0;
  };
  auto* wrap = new TzorParamsListWrap();
  wrap->List->Add("A", TVariant::Adopt(VariantFromInt(1)).Raw());
  wrap->List->Add("B", TVariant::Adopt(VariantFromInt(2)).Raw());
  auto list = TInterfaceRef<IzorParamsListW>::Share(static_cast<IzorParamsListW*>(wrap));
  // The host's variable, and whatever the host keeps after it: here a word that looks like the
  // mark of a list object, 16 bytes past the variable.
  struct {
    IzorParamsListW* Variable;
    uint32_t Other[3];
    uint32_t LooksLikeAList;
  } host{list.get(), {0, 0, 0}, kParamsListSignature};
  THostList params;
  TPluginCallRec record = NewRecord(instance);
  record.Flags = kDataFlagPortBytes;
  record.Params = params.Pointer();
  record.DataIn.Kind = kDataKindListInterface;
  record.DataIn.Value = reinterpret_cast<uintptr_t>(&host.Variable);
  EXPECT_EQ(zorProcessData(&record), 0);
  EXPECT_EQ(seenCount, 2) << "the list behind the variable reached the handler";
  EXPECT_EQ(record.DataIn.Kind, kDataKindListInterface);
  EXPECT_EQ(FreeInstance(instance), 0);
}

TEST(PluginModuleParameters, HandlesAreAlwaysTheir32BitPattern) {
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  TzorPlugin* p = Instance(instance);
  const uintptr_t self = p->SelfHandle;
  const platform::ModuleHandle dll = p->DllHandle;
  struct TCase {
    const char* Name;
    uintptr_t Low, High;
  } cases[] = {{"ModulePluginHandle", 0x00401000, 0x80001000},
               {"ModuleDllHandle", 0x10000000, 0xC0000000},
               {"ParentApp", 0x00400000, 0xFFFF0000},
               {"OWNER-FORM", 0x000A0B0C, 0x8000000C}};
  for (const TCase& c : cases) {
    for (uintptr_t handle : {c.Low, c.High}) {
      std::string name = c.Name;
      if (name == "ModulePluginHandle") p->SelfHandle = handle;
      if (name == "ModuleDllHandle") p->DllHandle = handle;
      if (name == "ParentApp") p->ParentApp = handle;
      if (name == "OWNER-FORM") p->OwnerForm = handle;
      TVariant value = p->GetModuleParameter(name);
      EXPECT_EQ(value.Type(), VT_I4) << name << " " << handle;
      EXPECT_EQ(static_cast<uint32_t>(value.ToInt64()), handle) << name;
    }
  }
  // A handle given back in the same form is the same handle.
  EXPECT_TRUE(p->SetModuleParameter("OWNER-FORM", p->GetModuleParameter("OWNER-FORM").Raw()));
  EXPECT_EQ(p->OwnerForm, 0x8000000Cu);
  p->SelfHandle = self;
  p->DllHandle = dll;
  p->ParentApp = 0;
  p->OwnerForm = 0;
  EXPECT_EQ(FreeInstance(instance), 0);
}

TEST(PluginCommandFailures, EveryFailedCommandWritesItsLine) {
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  TzorPlugin* p = Instance(instance);
  p->OnCommand = [](TzorPlugin*, const std::string&, int&, TPluginCallRecIntft&) { throw 42; };
  p->OnLoad = [](TzorPlugin*, TPluginCallRecIntft&, int&) { throw "no settings"; };
  p->OnEvent = [](TzorPlugin*, const std::string&, int&, TPluginCallRecIntft&) { throw 7.5; };
  EXPECT_EQ(RunCommand(instance, "CUSTOM-WORD").Code, kResultFailed);
  EXPECT_EQ(RunCommand(instance, "LOAD").Code, kResultFailed);
  THostList event;
  event.Add("COMMAND", "EVENT").Add("EVENT-TYPE", "PORT-OPEN");
  EXPECT_EQ(RunCommand(instance, event).Code, kResultFailed);
  auto lines = FetchLog(instance);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::make_pair(0, std::string("{CUSTOM-WORD} Unknown failure")));
  EXPECT_EQ(lines[1], std::make_pair(0, std::string("{LOAD} Unknown failure")));
  EXPECT_EQ(lines[2], std::make_pair(0, std::string("{EVENT} Unknown failure")));
  EXPECT_EQ(p->CommandDepth.load(), 0);
  EXPECT_EQ(FreeInstance(instance), 0);
}

namespace {

// A module class whose reading of one data-source line fails, as a module's own reading may.
class TFailingSourcePlugin : public TzorPlugin {
public:
  using TzorPlugin::TzorPlugin;

protected:
  std::unique_ptr<TConfigDataSource> ReadConfigDataSource(const std::string& line) override {
    if (line == "broken") throw Exception("unreadable line");
    return TzorPlugin::ReadConfigDataSource(line);
  }
};

std::atomic<TzorPlugin*> gLoggingPlugin{nullptr};
std::atomic<int> gLoggedUnderLock{0}, gLogged{0};

// The failure log asks for the call stack text on the logging thread: the moment to look at
// what that thread holds.
std::string CheckLockWhileLogging() {
  if (TzorPlugin* plugin = gLoggingPlugin.load()) {
    ++gLogged;
    if (plugin->InstanceLock.HoldsWrite() || plugin->InstanceLock.ReadDepth() > 0) ++gLoggedUnderLock;
  }
  return "test";
}

}  // namespace

TEST(PluginCommandFailures, SetStateLogsAfterReleasingTheInstanceLock) {
  TPluginClassScope scope([](TPluginCallRecIntft* record, platform::ModuleHandle dll) -> TzorPlugin* {
    return new TFailingSourcePlugin(record, dll);
  });
  uintptr_t instance = CreateInstance();
  ASSERT_NE(instance, 0u);
  gLoggingPlugin = Instance(instance);
  TCallStackTextHook previous = SetCallStackTextHook(CheckLockWhileLogging);
  THostList list;
  list.Add("COMMAND", "SET-STATE").Add("DATA-SOURCES-IN-CFG", "1;COM1\r\nbroken\r\n2;COM2");
  EXPECT_EQ(RunCommand(instance, list).Code, kResultFailed);
  SetCallStackTextHook(previous);
  gLoggingPlugin = nullptr;
  EXPECT_EQ(gLogged.load(), 1);
  EXPECT_EQ(gLoggedUnderLock.load(), 0);
  EXPECT_EQ(Instance(instance)->ConfigDataSources.Count(), 2) << "the next line is still read";
  auto lines = FetchLog(instance);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].second, "{SETSTATE} unreadable line");
  EXPECT_EQ(FreeInstance(instance), 0);
}
