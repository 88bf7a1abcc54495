// The data path: data calls, parser items, the standard fields of a packet and the delivery of
// parsed packets, and the host's callbacks.
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

#include "Common/Exceptions.h"
#include "Common/TextUtils.h"
#include "Plugins/zorPluginModule.h"
#include "platform/CodePage.h"
#include "platform/HostMessage.h"
#include "platform/Module.h"
#include "platform/Thread.h"
#include "platform/Tick.h"

namespace kelda {

// ---------------------------------------------------------------------------------------------
// Parser items

const std::vector<std::string>& ParserItemTypeNames() {
  static const std::vector<std::string> names = SplitAt(
      "String|Memo|Bytes|Blob|Boolean|Float|Smallint|Word|Integer|Date|Time|DateTime|DWord|Byte|"
      "Shortint|Int64|Currency|",
      "|");
  return names;
}

uint8_t ParserItemTypeFromName(const std::string& name) {
  const auto& names = ParserItemTypeNames();
  for (std::size_t i = 0; i < kParserItemNoType; ++i)
    if (platform::AnsiCompareText(names[i], name) == 0) return static_cast<uint8_t>(i);
  return kParserItemNoType;
}

static const char* TypeName(uint8_t type) {
  const auto& names = ParserItemTypeNames();
  return type < names.size() ? names[type].c_str() : "";
}

// A message of the data path, read under the instance lock that a translation writes it under.
static std::string DataMessage(TzorPlugin& plugin, const std::string TzorPlugin::*message) {
  platform::ReadGuard guard(plugin.InstanceLock);
  return plugin.*message;
}
// ---------------------------------------------------------------------------------------------
// Host callbacks

void TzorPlugin::FindHostCallbacks() {
  DataLogger_SendNotify = platform::FindExport(ParentApp, "DataLogger_SendNotify");
  DataLogger_SendDataEx =
      reinterpret_cast<TDataLoggerSendDataEx>(platform::FindExport(ParentApp, "DataLogger_SendDataEx"));
  DataLogger_DataSourceData = platform::FindExport(ParentApp, "DataLogger_DataSourceData");
  DataLogger_DataSourceState = platform::FindExport(ParentApp, "DataLogger_DataSourceState");
  DataLogger_ManageDynForm = platform::FindExport(ParentApp, "DataLogger_ManageDynForm");
}

namespace {

// The instance whose data call the calling thread is inside of (the innermost), or none.
thread_local TzorPlugin* tDataCallOf = nullptr;

}  // namespace

int32_t TzorPlugin::SendDataToHost(int32_t dataSourceId, const void* data, int32_t count) {
  TDataLoggerSendDataEx send = DataLogger_SendDataEx;
  if (!send) return -1;
  // A data call that sends waits for the host: a data call that comes while the instance is
  // unloaded waits for it no longer than the host is given for a log notification.
  struct TInSend {
    std::atomic<int>* Count;
    ~TInSend() {
      if (Count) Count->fetch_sub(1);
    }
  } inSend{tDataCallOf == this ? &FDataCallsInSend : nullptr};
  if (inSend.Count) inSend.Count->fetch_add(1);
  return send(ModuleIndex, dataSourceId, 0, 0, kSendDataCode, data, count);
}
// ---------------------------------------------------------------------------------------------
// Data calls

bool TzorPlugin::WaitWhileTerminatingBusy(uint64_t timeoutMs, uint64_t hostWaitMs) {
  if (tDataCallOf == this) return true;  // the busy call is this thread's own, further up
  const uint64_t start = platform::Now();
  uint64_t allInSendSince = 0;
  std::unique_lock lock(FProcessMutex);
  while (ProcessBusy() && TerminateNow.load()) {
    const uint64_t now = platform::Now();
    if (now - start >= timeoutMs) return false;
    if (FProcessCalls.load() > FDataCallsInSend.load()) {
      allInSendSince = 0;
    } else if (allInSendSince == 0) {
      allInSendSince = now;
    } else if (now - allInSendSince >= hostWaitMs) {
      return false;  // every running data call waits for the host, which may wait for this one
    }
    FProcessDone.wait_for(lock, std::chrono::milliseconds(50));
    lock.unlock();
    platform::ServeThreadMessages();
    lock.lock();
  }
  return true;
}

void TzorPlugin::EnterDataCall() {
  FProcessCalls.fetch_add(1);
}

void TzorPlugin::LeaveDataCall() {
  {
    std::lock_guard lock(FProcessMutex);
    FProcessCalls.fetch_sub(1);
  }
  FProcessDone.notify_all();
}

static bool EndsWithRowMarker(IzorParamsListW* list) {
  int32_t count = list->GetCount();
  if (count <= 0) return false;
  TInterfaceRef<IzorParamsListItemW> item;
  return list->GetItem(count - 1, item.Receive()) == S_OK && item && item->IsNewRow();
}

int TzorPlugin::RunDataCall(TPluginCallRec* callRecord) {
  struct TDataCallOf {
    TzorPlugin* Outer = tDataCallOf;
    explicit TDataCallOf(TzorPlugin* plugin) { tDataCallOf = plugin; }
    ~TDataCallOf() { tDataCallOf = Outer; }
  } dataCallOf{this};
  TPluginCallRecIntft record(callRecord);
  TPluginCallRec* rec = record.Rec;
  const uintptr_t remembered = rec->DataIn.Value;
  const uint8_t flags = rec->Flags;
  int result = kResultDone;
  bool skip = flags == 0;
  if (!skip && !(flags & kDataFlagKeepEmptyList) && record.DataInList && record.DataInList->GetCount() == 0)
    rec->DataIn.Value = 0;
  if (!skip && (flags & kDataFlagWrite)) {
    if (rec->DataIn.Value == 0) {
      if (std::string message = DataMessage(*this, &TzorPlugin::MsgNoData); !message.empty())
        AddLog(1, message);
      skip = true;
    } else if (record.Saved.DataIn.Kind == kDataKindList && record.DataInList &&
               record.DataInList->GetCount() > 0 && !EndsWithRowMarker(record.DataInList)) {
      record.DataInList->AddNewRow();
    }
  }
  if (!skip && OnProcessData) {
    try {
      OnProcessData(this, record, result);
      if (result > 0 && rec->DataIn.Value == 0) result = kResultDone;
      if (flags & (kDataFlagWrite | kDataFlagWriteReport)) {
        const std::string error = DataMessage(*this, &TzorPlugin::MsgWriteCompleteError);
        const std::string complete = DataMessage(*this, &TzorPlugin::MsgWriteComplete);
        if (result < 0 && !error.empty()) AddLog(1, error);
        if (result >= 0 && !complete.empty()) AddLog(2, complete);
      }
    } catch (const std::exception& failure) {
      result = kResultFailed;
      const std::string error = DataMessage(*this, &TzorPlugin::MsgWriteCompleteError);
      if (!error.empty()) AddLog(1, error + ": " + failure.what());
    }
  } else if (!skip && (flags & kDataFlagEcho)) {
    // The echo hands the host its own block back, never this call's temporary interface.
    bool converted =
        rec->DataIn.Kind == kDataKindListInterface && record.Saved.DataIn.Kind != kDataKindListInterface;
    rec->DataOut = converted ? record.Saved.DataIn : rec->DataIn;
  }
  if (rec->DataIn.Value == remembered) rec->DataIn.Value = 0;
  return result;
}

void TzorPlugin::AddParserItem(const std::string& name, const std::string& description,
                               const std::string& extra, uint8_t type) {
  ParserItems.push_back(TParserItem{name, description, type, extra});
}

void TzorPlugin::SetParserItem(int index, const TParserItem& item) {
  if (index < 0) return;
  if (static_cast<std::size_t>(index) >= ParserItems.size())
    ParserItems.resize(static_cast<std::size_t>(index) + 1);
  ParserItems[static_cast<std::size_t>(index)] = item;
}

void TzorPlugin::AddStandardParserItems(bool withClientId) {
  static const struct {
    const char* Name;
    const char* Description;
    uint8_t Type;
  } kStandard[] = {
      {"FULL_DATA_PACKET", "Full data packet", 0},
      {"DATA_PACKET", "Data packet", 0},
      {"DATE_TIME_STAMP", "Datetime stamp", 11},
      {"DATA_SOURCE_ID", "Data source ID", 8},
      {"DATA_SOURCE_NAME", "Data source name", 0},
      {"DATA_SOURCE_FULL_NAME", "Data source long name", 0},
      {"CLIENTID", "Client ID", 8},
  };
  std::size_t count = withClientId ? 7 : 6;
  for (std::size_t i = 0; i < count; ++i)
    AddParserItem(kStandard[i].Name, kStandard[i].Description, "", kStandard[i].Type);
}

std::string TzorPlugin::ParserItemsText() const {
  std::string text;
  for (std::size_t i = 0; i < ParserItems.size(); ++i) {
    const TParserItem& item = ParserItems[i];
    if (i > 0) text += "\r\n";
    text += item.Description + "|" + item.Name + "|" + TypeName(item.Type) + "|" + item.Extra;
  }
  return text;
}

// A line with fewer than two fields ends the reading; the items read before it are kept.
void TzorPlugin::SetParserItemsText(const std::string& text, bool replace) {
  if (replace) ParserItems.clear();
  for (const std::string& line : SplitLines(text)) {
    if (line.empty()) continue;
    std::vector<std::string> fields = SplitAt(line, "|");
    if (fields.size() < 2) break;
    TParserItem item;
    item.Description = fields[0];
    item.Name = fields[1];
    item.Type = fields.size() > 2 ? ParserItemTypeFromName(fields[2]) : kParserItemNoType;
    if (fields.size() > 3) item.Extra = fields[3];
    ParserItems.push_back(std::move(item));
  }
}

// The local date and time as an OLE date: days since 1899-12-30, the fraction the time of day.
static double LocalOleDateNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  {
    static std::mutex localTimeLock;  // std::localtime shares one result between threads
    std::lock_guard guard(localTimeLock);
    if (std::tm* result = std::localtime(&seconds)) local = *result;
  }
  // Days from the civil date (proleptic Gregorian), then the offset of 1899-12-30.
  int y = local.tm_year + 1900, m = local.tm_mon + 1, d = local.tm_mday;
  y -= m <= 2;
  int era = (y >= 0 ? y : y - 399) / 400;
  int yoe = y - era * 400;
  int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  int daysSince1970 = era * 146097 + doe - 719468;
  double days = daysSince1970 + 25569.0;
  double dayFraction =
      (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + millis / 1000.0) / 86400.0;
  return days + dayFraction;
}

int TzorPlugin::AddStandardFields(TzorParamsList* list, const std::string* fullPacket,
                                  const std::string& clientName, const std::string& fullName,
                                  const std::string& name, int32_t clientId, int32_t dataSourceId,
                                  const std::string* dataPacket) {
  if (!list) return 0;
  int added = 0;
  auto add = [&](const char* field, VARIANT value) {
    TVariant owned = TVariant::Adopt(value);
    if (list->Add(field, owned.Raw())) ++added;
  };
  if (fullPacket) add("FULL_DATA_PACKET", VariantFromText(*fullPacket));
  if (dataPacket) add("DATA_PACKET", VariantFromText(*dataPacket));
  VARIANT stamp = VariantEmpty();
  stamp.vt = VT_DATE;
  stamp.date = LocalOleDateNow();
  add("DATE_TIME_STAMP", stamp);
  add("DATA_SOURCE_ID", VariantFromInt(dataSourceId));
  add("DATA_SOURCE_FULL_NAME", VariantFromText(fullName));
  if (clientId != 0) {
    add("CLIENTID", VariantFromInt(clientId));
    add("DATA_SOURCE_NAME", VariantFromText(clientName));
  } else {
    add("DATA_SOURCE_NAME", VariantFromText(name));
  }
  return added;
}

static constexpr std::size_t kSeparatorLength = sizeof(kPacketSeparator) - 1;

// Puts the packet text into DataIn: a buffer the module made (kind 4) grows by the text, joined
// to what it holds by the separator; any other block gets a new buffer.
static void StorePacketText(TPluginCallData& in, const std::string& text, bool append) {
  auto* present = reinterpret_cast<char*>(in.Value);
  if (in.Kind == kDataKindModuleBuffer && in.Size > 0 && present) {
    std::size_t presentSize = append ? static_cast<std::size_t>(in.Size) : 0;
    // Every packet after the first is preceded by the separator, short ones too, so the host
    // can always split the texts again.
    bool separate = presentSize > 0 && !(presentSize >= kSeparatorLength &&
                                         std::memcmp(present + presentSize - kSeparatorLength,
                                                     kPacketSeparator, kSeparatorLength) == 0);
    std::string added = (separate ? std::string(kPacketSeparator) : std::string()) + text;
    auto* buffer = static_cast<char*>(ReallocPluginBuffer(present, presentSize + added.size()));
    if (!buffer) throw EOutOfMemory("Out of memory");
    std::memcpy(buffer + presentSize, added.data(), added.size());
    in.Value = reinterpret_cast<uintptr_t>(buffer);
    in.Size = static_cast<int32_t>(presentSize + added.size());
    return;
  }
  auto* buffer = static_cast<char*>(AllocPluginBuffer(text.size()));
  if (!buffer) throw EOutOfMemory("Out of memory");
  std::memcpy(buffer, text.data(), text.size());
  in.Kind = kDataKindModuleBuffer;
  in.Value = reinterpret_cast<uintptr_t>(buffer);
  in.Size = static_cast<int32_t>(text.size());
}

void TzorPlugin::SendParsedData(TPluginCallRecIntft& record, TParsedDataList* parsed, bool append) {
  IzorParamsListW* out = record.DataOutList;
  if (!out || !parsed) return;
  TPluginCallRec* rec = record.Rec;
  if (!parsed->PacketText.empty()) StorePacketText(rec->DataIn, parsed->PacketText, append);
  rec->DataOut.Count += 1;
  if (!append) out->Clear();
  for (int32_t i = 0; i < parsed->Count(); ++i) {
    TzorParamsListItem* item = parsed->Items(i);
    std::u16string name = platform::AnsiToWide(item->Name);
    TInterfaceRef<IzorParamsListItemW> added;
    if (out->Add(reinterpret_cast<const WideChar*>(name.c_str()), item->Value.Raw(), added.Receive()) !=
            S_OK ||
        !added)
      throw Exception("The packet list refused the item " + item->Name);
    added->SetDataType(item->DataType);
    added->SetState(item->State);
  }
}
}  // namespace kelda
