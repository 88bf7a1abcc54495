#include "tools/KeldaHost.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>

#include "Common/Exceptions.h"
#include "platform/CodePage.h"
#include "platform/MessageWindow.h"

namespace kelda::host {

static std::atomic<TKeldaHost*> gCurrentHost{nullptr};

// The message pumps that libraries without a system message loop handed to this program (see
// KeldaHost_AddMessagePump below). Never destroyed: a library may take its pump back while the
// program exits.
struct TMessagePumps {
  std::mutex Lock;
  std::vector<void (*)()> Pumps;
};
static TMessagePumps& MessagePumps() {
  static auto* pumps = new TMessagePumps;
  return *pumps;
}

TParam Param(const std::string& name, const std::string& text) {
  return {name, TVariant::Adopt(VariantFromText(text))};
}
TParam Param(const std::string& name, int32_t value) {
  return {name, TVariant::Adopt(VariantFromInt(value))};
}
TParam ParamNull(const std::string& name) {
  return {name, TVariant::Adopt(VariantNull())};
}

template <class Fn>
static void FindEntry(platform::ModuleHandle library, const char* name, Fn& entry) {
  entry = reinterpret_cast<Fn>(platform::FindExport(library, name));
  if (!entry) throw Exception(std::string("The library does not export ") + name);
}

TKeldaHost::TKeldaHost(const std::string& libraryPath) {
  FLibrary = platform::LoadModuleFile(libraryPath);
  if (!FLibrary) throw Exception("Cannot load " + libraryPath + ": " + platform::LastModuleError());
  try {
    FindEntry(FLibrary, "CreatePluginInstance", CreatePluginInstance);
    FindEntry(FLibrary, "FreePluginInstance", FreePluginInstance);
    FindEntry(FLibrary, "GetModuleInfo", GetModuleInfo);
    FindEntry(FLibrary, "ExecutePluginCommand", ExecutePluginCommand);
    FindEntry(FLibrary, "ProcessData", ProcessData);
    FindEntry(FLibrary, "GetLogEx", GetLogEx);
    FWindow =
        std::make_unique<platform::THostWindow>([this](uint32_t message, uintptr_t wParam, intptr_t lParam) {
          return HandleMessage(message, wParam, lParam);
        });
  } catch (...) {
    platform::FreeModuleFile(FLibrary);
    throw;
  }
  gCurrentHost = this;
}

TKeldaHost::~TKeldaHost() {
  // The readers make data calls: they end before the library goes.
  std::vector<std::shared_ptr<TLineReader>> readers;
  {
    std::lock_guard lock(FSentLock);
    for (auto& [key, entry] : FLines)
      if (entry.Reader) readers.push_back(entry.Reader);
  }
  for (const auto& reader : readers) StopReader(reader);
  gCurrentHost = nullptr;
  FWindow.reset();
  platform::FreeModuleFile(FLibrary);
}

TKeldaHost* TKeldaHost::Current() {
  return gCurrentHost.load();
}

TPluginCallRec TKeldaHost::NewRecord(uintptr_t instance, int32_t hostIndex) {
  TPluginCallRec record;
  std::memset(&record, 0, sizeof(record));
  record.Size = kCallRecSize;
  record.Instance = instance;
  record.HostIndex = hostIndex;
  return record;
}

uintptr_t TKeldaHost::Create(int32_t hostIndex, int32_t* result) {
  TPluginCallRec record = NewRecord(0, hostIndex);
  int32_t code = CreatePluginInstance(&record);
  if (result) *result = code;
  if (code != 0) return 0;
  // A handle names one live instance only: one freed through the raw export (not Free) left its
  // entry here, and the new instance may have its handle. Writes, lines and data calls are found
  // by the host index of a handle, so the stale entry would take the new instance's traffic.
  std::erase_if(FInstancesByIndex, [&record](const auto& entry) { return entry.second == record.Instance; });
  FInstancesByIndex[hostIndex] = record.Instance;
  return record.Instance;
}

int32_t TKeldaHost::Free(uintptr_t instance) {
  for (auto it = FInstancesByIndex.begin(); it != FInstancesByIndex.end();) {
    it = it->second == instance ? FInstancesByIndex.erase(it) : std::next(it);
  }
  TPluginCallRec record = NewRecord(instance);
  return FreePluginInstance(&record);
}

int32_t TKeldaHost::Shutdown() {
  TPluginCallRec record = NewRecord(0);
  record.DataIn.Kind = kDataKindMarker;
  record.DataIn.Value = kShutdownMarker;
  return FreePluginInstance(&record);
}

TModuleInfoResult TKeldaHost::ModuleInfo(uintptr_t instance) {
  TModuleInfoResult info;
  TPluginCallRec record = NewRecord(instance);
  info.SizeCallResult = GetModuleInfo(&record, nullptr, &info.RequiredSize) != 0;
  if (info.RequiredSize < kModuleInfoHeaderSize) return info;
  std::vector<unsigned char> buffer(info.RequiredSize);
  auto* header = reinterpret_cast<TPluginModuleInfo*>(buffer.data());
  header->BufferSize = info.RequiredSize;
  uint32_t required = 0;
  info.FillCallResult = GetModuleInfo(&record, header, &required) != 0;
  info.ModuleKind = header->ModuleKind;
  info.InterfaceVersionNumber = header->InterfaceVersionNumber;
  info.InterfaceVersion = header->InterfaceVersion;
  info.InfoKind = header->InfoKind;
  if (header->DescriptionLength)
    info.Description.assign(reinterpret_cast<const char*>(header->DescriptionAddress),
                            header->DescriptionLength);
  if (header->CustomCommandsLength)
    info.CustomCommands.assign(reinterpret_cast<const char*>(header->CustomCommandsAddress),
                               header->CustomCommandsLength);
  return info;
}

// A list of the host's own, shown to the module only through its 8-bit interface.
static TInterfaceRef<IzorParamsListA> NewHostList() {
  auto* wrap = new TzorParamsListWrap();
  return TInterfaceRef<IzorParamsListA>::Share(wrap->AsA());
}

static void AddToList(IzorParamsListA* list, const std::string& name, const VARIANT& value) {
  TInterfaceRef<IzorParamsListItemA> item;
  if (list->Add(name.c_str(), value, item.Receive()) != S_OK)
    throw Exception("The host list refused " + name);
}

TCommandResult TKeldaHost::Command(uintptr_t instance, const std::string& word, const TParams& params,
                                   bool withResult, uint8_t flags) {
  TInterfaceRef<IzorParamsListA> list = NewHostList();
  AddToList(list.get(), "COMMAND", TVariant::Adopt(VariantFromText(word)).Raw());
  for (const auto& [name, value] : params) AddToList(list.get(), name, value.Raw());
  bool resultGiven = false;
  for (const auto& param : params) resultGiven = resultGiven || param.first == "RESULT";
  if (withResult && !resultGiven) AddToList(list.get(), "RESULT", TVariant().Raw());
  IzorParamsListA* variable = list.get();
  TCommandResult result;
  auto hostIndex = FInstancesByIndex.empty() ? 0 : FInstancesByIndex.begin()->first;
  for (const auto& [index, handle] : FInstancesByIndex)
    if (handle == instance) hostIndex = index;
  result.Record = NewRecord(instance, hostIndex);
  result.Record.Flags = flags;
  result.Record.Params = &variable;
  result.Code = ExecutePluginCommand(&result.Record);
  list->GetValue("RESULT", 0, -1, result.Result.Ptr());
  PumpMessages();
  return result;
}

TParams TKeldaHost::LoadParams(const TParams& extra) const {
  TParams params;
  params.push_back(Param("HANDLE", static_cast<int32_t>(Program())));
  params.push_back(Param("APPLICATION-NAME", platform::HostProgramFileName()));
  params.push_back(Param("MSG-PROC-HANDLE", static_cast<int32_t>(Window())));
  for (const auto& p : extra) params.push_back(p);
  return params;
}

static std::string ItemText(IzorParamsListItemW* item) {
  TVariant value;
  if (item->GetValueW(value.Ptr()) != S_OK || value.IsEmptyOrNull()) return {};
  if (value.Type() == VT_DATE) return "<date>";
  return value.ToText();
}

TDataResult TKeldaHost::Data(uintptr_t instance, int32_t dataSourceId, uint8_t flags,
                             const std::string& bytes) {
  TDataResult result = CallProcessData(instance, HostIndexOf(instance), dataSourceId, flags, bytes);
  PumpMessages();
  return result;
}

TDataResult TKeldaHost::CallProcessData(uintptr_t instance, int32_t hostIndex, int32_t dataSourceId,
                                        uint8_t flags, const std::string& bytes) {
  TInterfaceRef<IzorParamsListA> params = NewHostList();
  IzorParamsListA* paramsVariable = params.get();
  auto* packets = new TzorParamsListWrap();
  TInterfaceRef<IzorParamsListW> packetList = TInterfaceRef<IzorParamsListW>::Share(packets->AsW());
  IzorParamsListW* packetVariable = packetList.get();

  TPluginCallRec record = NewRecord(instance, hostIndex);
  record.DataSourceId = dataSourceId;
  record.Flags = flags;
  record.Params = &paramsVariable;
  record.DataIn.Kind = 0;  // port bytes: any kind but the module's own buffer
  record.DataIn.Size = static_cast<int32_t>(bytes.size());
  record.DataIn.Value = reinterpret_cast<uintptr_t>(bytes.empty() ? nullptr : bytes.data());
  record.DataOut.Kind = kDataKindListInterface;
  record.DataOut.Value = reinterpret_cast<uintptr_t>(&packetVariable);

  TDataResult result;
  result.Code = ProcessData(&record);
  result.DataInKind = record.DataIn.Kind;
  result.DataInValue = record.DataIn.Value;
  result.PacketCount = record.DataOut.Count;
  if (record.DataIn.Kind == kDataKindModuleBuffer && record.DataIn.Value) {
    result.PacketText.assign(reinterpret_cast<const char*>(record.DataIn.Value),
                             static_cast<std::size_t>(record.DataIn.Size));
    platform::HostHeapFree(reinterpret_cast<void*>(record.DataIn.Value));
  }
  TRow row;
  for (int32_t i = 0; i < packetList->GetCount(); ++i) {
    TInterfaceRef<IzorParamsListItemW> item;
    if (packetList->GetItem(i, item.Receive()) != S_OK || !item) continue;
    if (item->IsNewRow()) {
      ++result.RowMarkers;
      result.Rows.push_back(row);
      row.clear();
      continue;
    }
    const char* name = item->GetName();
    row.emplace_back(name ? name : "", ItemText(item.get()));
  }
  if (!row.empty()) result.Rows.push_back(row);
  return result;
}

std::vector<TLogLine> ParseLogText(const std::string& text) {
  std::vector<TLogLine> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 2;
    if (line.empty()) continue;
    auto level = static_cast<unsigned char>(line[0]);
    lines.push_back(TLogLine{(level & 0x7F) - 1, (level & 0x80) != 0, line.substr(1)});
  }
  return lines;
}

std::vector<TLogLine> TKeldaHost::FetchLog(uintptr_t instance) {
  std::vector<char> buffer(256);
  TPluginCallRec record = NewRecord(instance);
  record.DataIn.Size = static_cast<int32_t>(buffer.size());
  record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.data());
  int32_t copied = GetLogEx(&record);
  if (copied == 0 && record.DataOut.Value > buffer.size()) {
    buffer.resize(record.DataOut.Value);
    record = NewRecord(instance);
    record.DataIn.Size = static_cast<int32_t>(buffer.size());
    record.DataIn.Value = reinterpret_cast<uintptr_t>(buffer.data());
    copied = GetLogEx(&record);
  }
  if (copied <= 0) return {};
  return ParseLogText(std::string(buffer.data(), static_cast<std::size_t>(copied)));
}

int TKeldaHost::PumpMessages() {
  std::vector<void (*)()> pumps;
  {
    std::lock_guard lock(MessagePumps().Lock);
    pumps = MessagePumps().Pumps;
  }
  for (auto pump : pumps) pump();
  return platform::THostWindow::ProcessMessages();
}

std::vector<TLogLine> TKeldaHost::Received() {
  std::vector<TLogLine> lines;
  lines.swap(FReceived);
  return lines;
}

intptr_t TKeldaHost::HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message != kLogNotifyMessage) return 0;
  ++FNotifications;
  auto found = FInstancesByIndex.find(static_cast<int32_t>(wParam));
  if (found == FInstancesByIndex.end()) return 0;
  // A copy: a handler that frees the instance takes its entry out of the map.
  const uintptr_t instance = found->second;
  if (OnLogNotification) OnLogNotification(instance);
  for (TLogLine& line : FetchLog(instance)) FReceived.push_back(std::move(line));
  return 0;
}

std::vector<TSentData> TKeldaHost::Sent() {
  std::lock_guard lock(FSentLock);
  std::vector<TSentData> sent;
  sent.swap(FSent);
  return sent;
}

void TKeldaHost::SetSendResult(int32_t result) {
  std::lock_guard lock(FSentLock);
  FSendResult = result;
}

int TKeldaHost::SendCount() const {
  std::lock_guard lock(FSentLock);
  return FSendCount;
}

int32_t TKeldaHost::OnSendDataEx(const TSentData& sent) {
  std::unique_lock lock(FSentLock);
  FSent.push_back(sent);
  ++FSendCount;
  auto sink = FSinks.find({sent.ModuleIndex, sent.DataSourceId});
  if (sink != FSinks.end()) {
    TWriteSink write = sink->second;
    lock.unlock();
    return write(sent.Bytes);
  }
  auto line = FLines.find({sent.ModuleIndex, sent.DataSourceId});
  if (line == FLines.end()) return FSendResult;
  if (!line->second.Attached) return -1;
  line->second.Line->Write(sent.Bytes, Now());
  const auto written = static_cast<int32_t>(sent.Bytes.size());
  if (line->second.Answers != TAnswers::ReadByLoop) HandBackAfterWrite(line->first, lock);
  return written;
}

void TKeldaHost::HandBackAfterWrite(const TLineKey& key, std::unique_lock<std::mutex>& lock) {
  TLineEntry& entry = FLines.at(key);
  const std::shared_ptr<TLineReader> reader = entry.Reader;
  if (!reader || reader->Id == std::this_thread::get_id()) {
    const uintptr_t instance = entry.Instance;
    const std::vector<std::string> pieces = entry.Line->Read(Now());
    lock.unlock();
    HandBack(key, instance, pieces);
    return;
  }
  const uint64_t ticket = ++reader->Asked;
  reader->Wake.notify_all();
  // Bounded, so that a data call that never returns fails the run instead of hanging it here.
  if (!reader->Done.wait_for(lock, std::chrono::seconds(10),
                             [&] { return reader->Served >= ticket || reader->Stop; }))
    ++FAbandonedHandBacks;
  lock.unlock();
}

void TKeldaHost::HandBack(const TLineKey& key, uintptr_t instance, const std::vector<std::string>& pieces) {
  for (const std::string& piece : pieces) {
    TDataResult result = CallProcessData(instance, key.first, key.second, kDataFlagPortBytes, piece);
    KeepRows(key, result);
  }
}

void TKeldaHost::KeepRows(const TLineKey& key, TDataResult& result) {
  std::lock_guard lock(FSentLock);
  if (result.Code < 0) ++FRefusedDataCalls;
  auto line = FLines.find(key);
  if (line == FLines.end()) return;
  for (TRow& row : result.Rows) line->second.Rows.push_back(std::move(row));
}

// Waits for writes that ask for a hand-back and makes the data calls with what the line read,
// as a host's port reader thread that its writes wake.
void TKeldaHost::RunReader(TLineKey key, std::shared_ptr<TLineReader> reader) {
  std::unique_lock lock(FSentLock);
  for (;;) {
    reader->Wake.wait(lock, [&] { return reader->Stop || reader->Served < reader->Asked; });
    if (reader->Stop) return;
    const uint64_t asked = reader->Asked;
    uintptr_t instance = 0;
    std::vector<std::string> pieces;
    auto line = FLines.find(key);
    if (line != FLines.end() && line->second.Attached && line->second.Reader == reader) {
      instance = line->second.Instance;
      pieces = line->second.Line->Read(Now());
    }
    lock.unlock();
    HandBack(key, instance, pieces);
    lock.lock();
    reader->Served = asked;
    reader->Done.notify_all();
  }
}

void TKeldaHost::StopReader(const std::shared_ptr<TLineReader>& reader) {
  {
    std::lock_guard lock(FSentLock);
    reader->Stop = true;
  }
  reader->Wake.notify_all();
  reader->Done.notify_all();
  if (!reader->Thread.joinable()) return;
  if (reader->Thread.get_id() == std::this_thread::get_id())
    reader->Thread.detach();
  else
    reader->Thread.join();
}

// --- serial lines

uint64_t TKeldaHost::Now() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int32_t TKeldaHost::HostIndexOf(uintptr_t instance) const {
  for (const auto& [index, handle] : FInstancesByIndex)
    if (handle == instance) return index;
  return 0;
}

TSimulatedLine& TKeldaHost::AttachLine(uintptr_t instance, int32_t dataSourceId,
                                       const TLineOptions& options) {
  std::shared_ptr<TLineReader> previousReader;
  TSimulatedLine* line = nullptr;
  {
    std::lock_guard lock(FSentLock);
    const TLineKey key{HostIndexOf(instance), dataSourceId};
    TLineEntry& entry = FLines[key];
    previousReader = std::move(entry.Reader);
    entry.Instance = instance;
    entry.Attached = true;
    entry.Answers = options.Answers;
    entry.Rows.clear();
    entry.Line = std::make_unique<TSimulatedLine>(options.Mode, options.SnpId, options.CcmId,
                                                  options.MaxChunk, options.Seed);
    if (options.Answers == TAnswers::HandedBackByReader) {
      entry.Reader = std::make_shared<TLineReader>();
      entry.Reader->Thread = std::thread(&TKeldaHost::RunReader, this, key, entry.Reader);
      entry.Reader->Id = entry.Reader->Thread.get_id();
    }
    line = entry.Line.get();
  }
  if (previousReader) StopReader(previousReader);
  return *line;
}

void TKeldaHost::DetachLine(uintptr_t instance, int32_t dataSourceId) {
  std::lock_guard lock(FSentLock);
  auto line = FLines.find({HostIndexOf(instance), dataSourceId});
  if (line != FLines.end()) line->second.Attached = false;
}

TSimulatedLine* TKeldaHost::Line(uintptr_t instance, int32_t dataSourceId) {
  std::lock_guard lock(FSentLock);
  auto line = FLines.find({HostIndexOf(instance), dataSourceId});
  return line == FLines.end() ? nullptr : line->second.Line.get();
}

void TKeldaHost::RouteWrites(uintptr_t instance, int32_t dataSourceId, TWriteSink sink) {
  std::lock_guard lock(FSentLock);
  FSinks[{HostIndexOf(instance), dataSourceId}] = std::move(sink);
}

std::size_t TKeldaHost::RowCount(uintptr_t instance, int32_t dataSourceId) {
  std::lock_guard lock(FSentLock);
  auto line = FLines.find({HostIndexOf(instance), dataSourceId});
  return line == FLines.end() ? 0 : line->second.Rows.size();
}

std::vector<TRow> TKeldaHost::TakeRows(uintptr_t instance, int32_t dataSourceId) {
  std::lock_guard lock(FSentLock);
  auto line = FLines.find({HostIndexOf(instance), dataSourceId});
  std::vector<TRow> rows;
  if (line != FLines.end()) rows.swap(line->second.Rows);
  return rows;
}

// Reads every attached line the loop serves and hands each piece to ProcessData, as the host
// does with what a port read. The lock is not held during the data calls: the module writes from
// inside them.
int TKeldaHost::ServeLines() {
  struct TPiece {
    TLineKey Key;
    uintptr_t Instance;
    std::string Bytes;
  };
  std::vector<TPiece> pieces;
  {
    std::lock_guard lock(FSentLock);
    const uint64_t now = Now();
    for (auto& [key, entry] : FLines) {
      if (!entry.Attached || entry.Answers != TAnswers::ReadByLoop) continue;
      for (std::string& bytes : entry.Line->Read(now))
        pieces.push_back({key, entry.Instance, std::move(bytes)});
    }
  }
  for (const TPiece& piece : pieces) {
    TDataResult result = Data(piece.Instance, piece.Key.second, kDataFlagPortBytes, piece.Bytes);
    KeepRows(piece.Key, result);
  }
  return static_cast<int>(pieces.size());
}

bool TKeldaHost::RunUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
  const uint64_t deadline = Now() + timeoutMs;
  for (;;) {
    const int work = PumpMessages() + ServeLines();
    if (done()) return true;
    if (Now() >= deadline) return false;
    // Nothing to do: wait for the next message, briefly, so that the lines are read again soon.
    if (work == 0) platform::PumpMessages([] { return false; }, 1);
  }
}

void TKeldaHost::RunFor(uint32_t ms) {
  RunUntil([] { return false; }, ms);
}

}  // namespace kelda::host

// ---------------------------------------------------------------------------------------------
// The host's callbacks and message sink, exported by the program so the library finds them by
// name in the host's module.

using kelda::host::TKeldaHost;

KELDA_EXPORT int32_t KELDA_STDCALL DataLogger_SendDataEx(int32_t moduleIndex, int32_t dataSourceId,
                                                         int32_t arg3, int32_t arg4, int32_t code,
                                                         const void* data, int32_t count) {
  TKeldaHost* host = TKeldaHost::Current();
  if (!host) return -1;
  kelda::host::TSentData sent{moduleIndex, dataSourceId, arg3, arg4, code, {}};
  if (data && count > 0) sent.Bytes.assign(static_cast<const char*>(data), static_cast<std::size_t>(count));
  return host->OnSendDataEx(sent);
}

// Looked up by the module but never called; present so the look-up finds all five.
KELDA_EXPORT int32_t KELDA_STDCALL DataLogger_SendNotify(int32_t, int32_t, int32_t) {
  return 0;
}
KELDA_EXPORT int32_t KELDA_STDCALL DataLogger_DataSourceData(int32_t, int32_t, int32_t) {
  return 0;
}
KELDA_EXPORT int32_t KELDA_STDCALL DataLogger_DataSourceState(int32_t, int32_t, int32_t) {
  return 0;
}
KELDA_EXPORT int32_t KELDA_STDCALL DataLogger_ManageDynForm(int32_t, int32_t, int32_t) {
  return 0;
}

KELDA_EXPORT int KeldaHost_PostMessage(uintptr_t window, uint32_t message, uintptr_t wParam,
                                       intptr_t lParam) {
  if (TKeldaHost* host = TKeldaHost::Current(); host && host->PostsRefused()) return 0;
  return kelda::platform::THostWindow::Post(window, message, wParam, lParam) ? 1 : 0;
}

KELDA_EXPORT int KeldaHost_SendMessage(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                                       uint32_t timeoutMs) {
  return kelda::platform::THostWindow::Send(window, message, wParam, lParam, timeoutMs) ? 1 : 0;
}

// Libraries that have no system message loop to run their windows and timers hand this program
// their pump; the host's message loop (TKeldaHost::PumpMessages) calls it.
KELDA_EXPORT void KeldaHost_AddMessagePump(void (*pump)()) {
  std::lock_guard lock(kelda::host::MessagePumps().Lock);
  kelda::host::MessagePumps().Pumps.push_back(pump);
}

KELDA_EXPORT void KeldaHost_RemoveMessagePump(void (*pump)()) {
  std::lock_guard lock(kelda::host::MessagePumps().Lock);
  auto& pumps = kelda::host::MessagePumps().Pumps;
  pumps.erase(std::remove(pumps.begin(), pumps.end(), pump), pumps.end());
}

namespace kelda::host {

bool IsStandardField(const std::string& name) {
  static const char* fields[] = {"FULL_DATA_PACKET", "DATA_PACKET",      "DATE_TIME_STAMP",
                                 "DATA_SOURCE_ID",   "DATA_SOURCE_NAME", "DATA_SOURCE_FULL_NAME",
                                 "CLIENTID"};
  for (const char* field : fields)
    if (name == field) return true;
  return false;
}

}  // namespace kelda::host
