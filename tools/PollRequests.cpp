#include "tools/PollRequests.h"

#include <algorithm>
#include <exception>
#include <sstream>

#include "Common/Thread_ObjectList.h"
#include "module/PluginDM.h"
#include "tools/ConsoleText.h"
#include "tools/KeldaCheck.h"
#include "module/PluginDM_ConfigCheck.h"
#include "module/PluginDM_PlcErrors.h"
#include "platform/Sync.h"

namespace kelda::host {

namespace {

const char* const kFixedItems[] = {"SOURCE_ADDRESS", "TARGET_ADDRESS", "MEMORY",
                                   "MEMORY_ADDRESS", "PLC_STATUS",     "STATUS_CODE"};

struct TTable {
  uint8_t Code;
  const char* Name;
  enum { Word, Bit, Byte } Unit;
};

// The memory types a request can name, with the unit its offset and size count in on SNP and
// SNP-X; CCM counts registers from 1 and sizes in bytes.
constexpr TTable kTables[] = {
    {0x08, "%R", TTable::Word},  {0x0A, "%AI", TTable::Word}, {0x0C, "%AQ", TTable::Word},
    {0x46, "%I", TTable::Bit},   {0x10, "%I", TTable::Byte},  {0x48, "%Q", TTable::Bit},
    {0x12, "%Q", TTable::Byte},  {0x4C, "%M", TTable::Bit},   {0x16, "%M", TTable::Byte},
    {0x54, "%S", TTable::Bit},   {0x1E, "%S", TTable::Byte},  {0x4E, "%SA", TTable::Bit},
    {0x18, "%SA", TTable::Byte}, {0x50, "%SB", TTable::Bit},  {0x1A, "%SB", TTable::Byte},
    {0x52, "%SC", TTable::Bit},  {0x1C, "%SC", TTable::Byte}, {0x56, "%G", TTable::Bit},
    {0x38, "%G", TTable::Byte},
};

std::string Range(const char* name, int64_t first, int64_t count) {
  std::string text = name + std::to_string(first);
  if (count > 1) text += std::string("-") + name + std::to_string(first + count - 1);
  return text;
}

std::string Seconds(uint64_t ms) {
  std::ostringstream text;
  text << ms / 1000 << "." << (ms % 1000) / 100 << " s";
  return text.str();
}

}  // namespace

TFailureKind FailureKindOf(const std::string& cause) {
  if (cause.find("in time") != std::string::npos) return TFailureKind::Timeout;
  if (cause.find("check") != std::string::npos) return TFailureKind::Check;
  if (cause.find("(NAK)") != std::string::npos) return TFailureKind::Nak;
  if (cause.find("answered with an error") != std::string::npos) return TFailureKind::PlcError;
  return TFailureKind::Other;
}

namespace {

void Count(TFailureTotals& totals, TFailureKind kind) {
  switch (kind) {
    case TFailureKind::Timeout:
      ++totals.Timeouts;
      return;
    case TFailureKind::Check:
      ++totals.Checks;
      return;
    case TFailureKind::Nak:
      ++totals.Naks;
      return;
    case TFailureKind::PlcError:
      ++totals.PlcErrors;
      return;
    case TFailureKind::Other:
      break;
  }
  ++totals.Other;
}

const std::string* ItemOf(const TRequestValues& row, const char* name) {
  for (const auto& [itemName, value] : row)
    if (itemName == name) return &value;
  return nullptr;
}

// Whether `value` is one of an item's values: its name, or its name and a counter.
bool NamesValue(const std::vector<std::string>& itemNames, const std::string& value) {
  for (const std::string& name : itemNames) {
    if (value.compare(0, name.size(), name) != 0) continue;
    if (std::all_of(value.begin() + static_cast<std::ptrdiff_t>(name.size()), value.end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
      return true;
  }
  return false;
}

}  // namespace

bool IsFixedRowItem(const std::string& name) {
  return std::find(std::begin(kFixedItems), std::end(kFixedItems), name) != std::end(kFixedItems);
}

std::string GeReference(uint8_t memory, int32_t offset, int32_t size, bool ccm) {
  const TTable* table = nullptr;
  for (const TTable& t : kTables)
    if (t.Code == memory) table = &t;
  if (!table) return "memory type " + std::to_string(memory) + " at " + std::to_string(offset);
  const int64_t count = std::max<int64_t>(size, 1);
  if (ccm) {
    // CCM: the first register or point numbered from 1; the size in bytes.
    if (table->Unit == TTable::Word) return Range(table->Name, offset, (count + 1) / 2);
    return Range(table->Name, offset, count * 8);
  }
  switch (table->Unit) {
    case TTable::Word:
    case TTable::Bit:
      return Range(table->Name, int64_t{offset} + 1, count);
    case TTable::Byte:
      break;
  }
  return Range(table->Name, int64_t{offset} * 8 + 1, count * 8);
}

std::string StatusCodeText(uint16_t statusCode) {
  return PlcErrorText(static_cast<uint8_t>(statusCode & 0xFF), static_cast<uint8_t>(statusCode >> 8));
}

TRequestBoard::TRequestBoard(const std::string& configuration, plcsim::Mode protocol) {
  const bool ccm = protocol == plcsim::Mode::CcmMasterSlave || protocol == plcsim::Mode::CcmPeerToPeer;
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption = configuration;
  TThreadObjectList queue(true);
  try {
    LoadRequestQueue(nullptr, &settings, queue, nullptr);
  } catch (const std::exception&) {
    // The requests read before the fault are shown; the module meets the same fault and says so
    // in its log.
  }
  platform::ReadGuard guard(queue);
  for (TObject* object : *static_cast<TObjectList*>(queue.GuardedObject())) {
    const auto& item = *static_cast<const TRequestItem*>(object);
    TRequestState state;
    state.Caption = item.Name;
    // What the protocol really reads (CCM maps several tables onto others), as the check names it.
    const TReadLayout layout = ReadLayoutOf(item, static_cast<uint8_t>(protocol));
    state.Reference = layout.Unit != TReadLayout::Unknown
                          ? Range(layout.Prefix.c_str(), layout.ReadFirst, layout.ReadCount)
                          : GeReference(item.Memory, item.Offset, item.Size, ccm);
    state.Description = DescribeRequest(item, static_cast<uint8_t>(protocol));
    state.Enabled = item.Enabled;
    state.PollIntervalMs = item.MethodPoll ? static_cast<uint32_t>(std::max(item.PollInterval, 0)) : 0;
    // As the module fills its rows: SNP-X names the memory by its selector, the others by the
    // CCM memory type.
    state.Address = item.Address;
    state.Memory = std::to_string(protocol == plcsim::Mode::SnpX ? item.Memory : CcmMemoryType(item.Memory));
    state.MemoryAddress = std::to_string(item.Offset);
    for (const TResponseItem* response : item.ResponseItems)
      if (!response->Name.empty()) state.ItemNames.push_back(response->Name);
    state.DataValueNames = ValueNamesFromData(item, static_cast<uint8_t>(protocol));
    std::sort(state.DataValueNames.begin(), state.DataValueNames.end());
    FRequests.push_back(std::move(state));
  }
}

const TRequestState* TRequestBoard::Find(const TRequestValues& row) const {
  const std::string* address = ItemOf(row, "TARGET_ADDRESS");
  const std::string* memory = ItemOf(row, "MEMORY");
  const std::string* memoryAddress = ItemOf(row, "MEMORY_ADDRESS");
  const std::string* firstValue = nullptr;
  for (const auto& item : row)
    if (!IsFixedRowItem(item.first)) {
      firstValue = &item.first;
      break;
    }
  // Best: the place and the value's name agree; then the name alone; then the place alone (an
  // error answer has no value), the enabled request first, since only it is polled.
  const TRequestState* found = nullptr;
  int foundScore = 0;
  for (const TRequestState& request : FRequests) {
    const bool place = address && memory && memoryAddress && request.Address == *address &&
                       request.Memory == *memory && request.MemoryAddress == *memoryAddress;
    const bool named = firstValue && NamesValue(request.ItemNames, *firstValue);
    const int score = (named ? 4 : 0) + (place ? 2 : 0) + (request.Enabled ? 1 : 0);
    if ((named || place) && score > foundScore) {
      found = &request;
      foundScore = score;
    }
  }
  return found;
}

TRequestState* TRequestBoard::Find(const TRequestValues& row) {
  return const_cast<TRequestState*>(static_cast<const TRequestBoard*>(this)->Find(row));
}

std::string TRequestBoard::CaptionOf(const TRequestValues& row) const {
  const TRequestState* request = Find(row);
  return request ? request->Caption : std::string();
}

bool TRequestBoard::TakeRow(const TRequestValues& row, uint64_t nowMs) {
  TRequestValues values;
  for (const auto& item : row)
    if (!IsFixedRowItem(item.first)) values.push_back(item);
  TRequestState* request = Find(row);
  const std::string* status = ItemOf(row, "STATUS_CODE");
  const bool errorAnswer = values.empty() && status && *status != "0";
  if (!request) return !values.empty();
  if (errorAnswer) {
    // The module logs the same refusal as a failed transaction; that line counts it.
    ++request->ErrorRows;
    request->LastFailed = true;
    request->FailureAtMs = nowMs;
    uint16_t code = 0;
    try {
      code = static_cast<uint16_t>(std::stoul(*status));
    } catch (const std::exception&) {
      code = 0;
    }
    request->LastFailure = "the PLC answered with an error: " + StatusCodeText(code);
    return false;
  }
  if (values.empty()) return false;
  ++request->Answers;
  request->LastFailed = false;
  request->ValueAtMs = nowMs;
  for (const auto& [name, value] : values) {
    auto at = std::find_if(request->Values.begin(), request->Values.end(),
                           [&](const auto& entry) { return entry.first == name; });
    if (at == request->Values.end())
      request->Values.emplace_back(name, value);
    else
      at->second = value;
  }
  return true;
}

bool TRequestBoard::CarriesPlcValue(const TRequestValues& row) const {
  const TRequestState* request = Find(row);
  for (const auto& [name, value] : row) {
    if (IsFixedRowItem(name)) continue;
    if (!request || std::binary_search(request->DataValueNames.begin(), request->DataValueNames.end(), name))
      return true;
  }
  return false;
}

std::optional<std::size_t> TRequestBoard::IndexOf(const TRequestValues& row) const {
  const TRequestState* request = Find(row);
  if (!request) return std::nullopt;
  return static_cast<std::size_t>(request - FRequests.data());
}

std::optional<std::size_t> TRequestBoard::TakeFailure(const std::string& text, uint64_t nowMs) {
  for (std::size_t index = 0; index < FRequests.size(); ++index) {
    TRequestState& request = FRequests[index];
    const std::string marker = "request \"" + request.Caption + "\" failed: ";
    const std::size_t at = text.find(marker);
    if (at == std::string::npos) continue;
    const std::string cause = text.substr(at + marker.size());
    ++request.Failures;
    request.LastFailed = true;
    request.LastFailure = cause;
    request.FailureAtMs = nowMs;
    Count(FTotals, FailureKindOf(cause));
    return index;
  }
  return std::nullopt;
}

bool TRequestBoard::IsStale(const TRequestState& request, uint64_t nowMs) const {
  if (request.LastFailed) return true;
  if (request.PollIntervalMs == 0) return !request.ValueAtMs && request.FailureAtMs.has_value();
  const uint64_t since = request.ValueAtMs.value_or(0);
  return nowMs - since > 2 * uint64_t{request.PollIntervalMs};
}

std::size_t TRequestBoard::EnabledCount() const {
  return static_cast<std::size_t>(
      std::count_if(FRequests.begin(), FRequests.end(), [](const TRequestState& r) { return r.Enabled; }));
}

std::vector<std::string> TRequestBoard::Lines(uint64_t nowMs) const {
  std::vector<std::string> lines;
  for (const TRequestState& request : FRequests) {
    std::ostringstream head;
    head << "  " << (request.Caption.empty() ? "(no caption)" : ConsoleText(request.Caption)) << "  "
         << request.Reference;
    if (!request.Enabled) {
      lines.push_back(head.str() + "  not enabled");
      continue;
    }
    const char* state = IsStale(request, nowMs) ? "STALE" : request.ValueAtMs ? "live" : "waiting";
    head << "  " << state;
    if (request.ValueAtMs)
      head << "  age " << Seconds(nowMs - *request.ValueAtMs);
    else
      head << "  no value yet";
    head << "  answers " << request.Answers << "  failed " << request.Failures;
    lines.push_back(head.str());
    if (request.FailureAtMs)
      lines.push_back("    last failure " + Seconds(nowMs - *request.FailureAtMs) +
                      " ago: " + ConsoleText(request.LastFailure));
    std::size_t width = 0;
    for (const auto& entry : request.Values) width = std::max(width, ConsoleText(entry.first).size());
    for (const auto& [name, value] : request.Values) {
      const std::string shown = ConsoleText(name);
      lines.push_back("    " + shown + std::string(width - shown.size() + 2, ' ') + ConsoleText(value));
    }
  }
  return lines;
}

}  // namespace kelda::host
