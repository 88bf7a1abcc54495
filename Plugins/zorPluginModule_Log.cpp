// The module log: the lines the host fetches, and how the instance writes and announces them.
#include <cstring>

#include "Plugins/zorPluginModule.h"
#include "platform/Debug.h"
#include "platform/HostMessage.h"
#include "platform/Thread.h"

namespace kelda {

static constexpr uint32_t kNotifySendTimeoutMs = 1000;

// ---------------------------------------------------------------------------------------------
// The module log

int TLogDataList::RepeatCount(const TStringList& list, int index) {
  return static_cast<int>(reinterpret_cast<uintptr_t>(list.Objects(index)));
}

void TLogDataList::SetRepeatCount(TStringList& list, int index, int count) {
  std::string text = list.Strings(index);
  list.Delete(index);
  list.Insert(index, std::move(text), reinterpret_cast<TObject*>(static_cast<uintptr_t>(count)));
}

// Writes the repeats into the line itself (" x" and how many times it arrived) and starts the
// count afresh, so that a later fold never adds a second suffix.
void TLogDataList::FoldRepeats(TStringList& list, int index) {
  int count = RepeatCount(list, index);
  if (count <= 0) return;
  std::string text = list.Strings(index) + " x" + std::to_string(count + 1);
  list.Delete(index);
  list.Insert(index, std::move(text), nullptr);
}

void TLogDataList::AddLine(const std::string& line) {
  platform::WriteGuard guard(*this);
  TStringList& list = *FList;
  int count = list.Count();
  if (count > 0 && list.Strings(count - 1) == line) {
    SetRepeatCount(list, count - 1, RepeatCount(list, count - 1) + 1);
  } else {
    if (count > 0) FoldRepeats(list, count - 1);
    list.Add(line, nullptr);
  }
  if (KeepAll.load() > 0) return;
  int excess = list.Count() - MaxLines;
  for (int i = 0; i < excess; ++i) list.Delete(0);
}

int32_t TLogDataList::HandOver(void* buffer, int32_t capacity, uint32_t& length) {
  platform::WriteGuard guard(*this);
  TStringList& list = *FList;
  if (list.Count() > 0) FoldRepeats(list, list.Count() - 1);
  std::string text = list.Text();
  length = static_cast<uint32_t>(text.size());
  if (text.empty()) return 0;
  if (capacity == 0) {
    list.Clear();
    return 0;
  }
  if (capacity < 0 || static_cast<uint32_t>(capacity) < length || !buffer) return 0;
  std::memcpy(buffer, text.data(), text.size());
  list.Clear();
  return static_cast<int32_t>(length);
}

// ---------------------------------------------------------------------------------------------
// The call stack text of logged failures

static std::atomic<TCallStackTextHook> gCallStackHook{nullptr};

TCallStackTextHook SetCallStackTextHook(TCallStackTextHook hook) {
  return gCallStackHook.exchange(hook);
}

std::string CurrentCallStackText() {
  TCallStackTextHook hook = gCallStackHook.load();
  if (hook) return hook();
  return "Thread " + std::to_string(platform::CurrentThreadId());
}
// ---------------------------------------------------------------------------------------------
// The instance's log

void TzorPlugin::AddLog(int level, const std::string& message, bool mark) {
  if (FDestroying || !FLog) return;
  try {
    if (level < 0) level = 0;
    if (level > 126) level = 126;
    std::string line(1, static_cast<char>((level + 1) | (mark ? 0x80 : 0)));
    if (std::string title = LogTitleText(); !title.empty()) line += title + ". ";
    for (char c : message) line += (c == '\r' || c == '\n') ? ' ' : c;
    FLog->AddLine(line);
    NotifyHost();
  } catch (...) {
    // The log is where failures go; a failure of the log itself has nowhere left to go.
  }
}

void TzorPlugin::LogFailure(const std::string& context, const std::string& message) {
  std::string line = "{" + context + "} " + message;
  AddLog(0, line);
  try {
    for (char& c : line)
      if (c == '\r' || c == '\n') c = ' ';
    platform::DebugOutput(CurrentCallStackText() + ": " + line);
  } catch (...) {
  }
}

namespace {

// How many THostCallsDeferred the calling thread is inside of.
thread_local int tHostCallsDeferred = 0;

}  // namespace

TzorPlugin::THostCallsDeferred::THostCallsDeferred(TzorPlugin& plugin) : FPlugin(plugin) {
  ++tHostCallsDeferred;
}

TzorPlugin::THostCallsDeferred::~THostCallsDeferred() {
  if (--tHostCallsDeferred > 0) return;
  try {
    if (FPlugin.FNotifyPending.exchange(false)) FPlugin.SendLogNotification();
  } catch (...) {
  }
}

void TzorPlugin::NotifyHost() {
  if (tHostCallsDeferred > 0) {
    FNotifyPending = true;
    return;
  }
  SendLogNotification();
}

void TzorPlugin::SendLogNotification() {
  platform::WindowHandle window = MsgProcHandle.load();
  if (window == platform::kNoWindow) return;
  auto index = static_cast<uintptr_t>(static_cast<uint32_t>(ModuleIndex));
  if (platform::PostHostMessage(window, kLogNotifyMessage, index, 0)) return;
  platform::SendHostMessage(window, kLogNotifyMessage, index, 0, kNotifySendTimeoutMs);
}
}  // namespace kelda
