#include "module/PluginDM.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "config/FormResources.h"
#include "config/XmlReader.h"
#include "config/zorStringHolder.h"

namespace kelda {

// ---------------------------------------------------------------------------------------------
// Settings

namespace {

const TPropertyInfo DataSourceCfgProperties[] = {
    IntegerField<TDataSourceCfg, &TDataSourceCfg::Left>("Left"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::Top>("Top"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::Height>("Height"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::Width>("Width"),
    TextField<TDataSourceCfg, &TDataSourceCfg::lblParams_Caption>("lblParams_Caption"),
    TextField<TDataSourceCfg, &TDataSourceCfg::OpenDialog_FileName>("OpenDialog_FileName"),
    TextField<TDataSourceCfg, &TDataSourceCfg::SaveDialog_FileName>("SaveDialog_FileName"),
    DoubleField<TDataSourceCfg, &TDataSourceCfg::spMinInt_Value>("spMinInt_Value"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::comboProto_ItemIndex>("comboProto_ItemIndex"),
    DoubleField<TDataSourceCfg, &TDataSourceCfg::spLocalAddress_Value>("spLocalAddress_Value"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::chkKeepSession_Checked>("chkKeepSession_Checked"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::chkSendWhenReady_Checked>("chkSendWhenReady_Checked"),
    DoubleField<TDataSourceCfg, &TDataSourceCfg::spHandshakeTimeout_Value>("spHandshakeTimeout_Value"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::spRetries_Value>("spRetries_Value"),
    IntegerField<TDataSourceCfg, &TDataSourceCfg::spDemoteAfter_Value>("spDemoteAfter_Value"),
    DoubleField<TDataSourceCfg, &TDataSourceCfg::spDemoteFor_Value>("spDemoteFor_Value"),
};

// The settings object adds nothing to its bases, which publish nothing themselves.
const TPropertyTable DataSourceCfgTable{nullptr, DataSourceCfgProperties};

}  // namespace

const TPropertyTable& TDataSourceCfg::PublishedProperties() const {
  return DataSourceCfgTable;
}

TStringList PropertyMapLines() {
  // Read once: the resource never changes while the module is loaded.
  static const TStringList lines = [] {
    TzorStrHolder holder(nullptr);
    LoadPluginPropertyMap(holder);
    return holder.Strings();
  }();
  return lines;
}

TSpeedSettings SpeedSettingsOf(const TDataSourceCfg& settings) {
  TSpeedSettings speed;
  speed.KeepSession = settings.chkKeepSession_Checked != 0;
  speed.SendWhenReady = settings.chkSendWhenReady_Checked != 0;
  // A time that is no time (0, negative, not a number) keeps the default: a handshake that times
  // out at once or a demotion that ends at once would only look like a setting. Above, every
  // value stops at the largest the options dialog offers: a stored value past it (a hand-edited
  // file, another program's) would make a time-out that never fires or a PLC set aside for ever.
  const int32_t handshake = TruncSetting(settings.spHandshakeTimeout_Value);
  if (handshake >= 1) speed.HandshakeTimeout = std::min(handshake, TSpeedSettings::kMaxHandshakeTimeout);
  speed.Retries = std::clamp(settings.spRetries_Value, 0, TSpeedSettings::kMaxRetries);
  speed.DemoteAfter = std::clamp(settings.spDemoteAfter_Value, 0, TSpeedSettings::kMaxDemoteAfter);
  const int32_t demoteFor = TruncSetting(settings.spDemoteFor_Value);
  if (demoteFor >= 1) speed.DemoteFor = std::min(demoteFor, TSpeedSettings::kMaxDemoteFor);
  return speed;
}

int32_t MinIntervalOf(const TDataSourceCfg& settings) {
  return std::clamp(TruncSetting(settings.spMinInt_Value), 0, kMaxMinInterval);
}

uint8_t ProtocolOf(int32_t itemIndex) {
  if (itemIndex < 1 || itemIndex > 3) return protoCcmMasterSlave;
  return static_cast<uint8_t>(itemIndex);
}

int32_t TruncSetting(double value) {
  if (std::isnan(value)) return 0;
  double t = std::trunc(value);
  if (t <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  if (t >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(t);
}

// ---------------------------------------------------------------------------------------------
// Requests

namespace {

struct TDataTypeInfo {
  std::string_view Name;
  int32_t ByteSize;
};

constexpr TDataTypeInfo DataTypes[DataTypeCount] = {
    {"D8", 1}, {"D16", 2}, {"D32", 4}, {"D64", 8}, {"F32", 4}, {"F64", 8}, {"S", 255}, {"BIT", 0},
};

}  // namespace

uint8_t DataTypeCode(std::string_view name) {
  for (int i = 0; i < DataTypeCount; ++i)
    if (DataTypes[i].Name == name) return static_cast<uint8_t>(i);
  return dtD8;
}

std::string_view DataTypeName(uint8_t code) {
  return DataTypes[code < DataTypeCount ? code : 0].Name;
}

int32_t DataTypeByteSize(uint8_t code) {
  return DataTypes[code < DataTypeCount ? code : 0].ByteSize;
}

void TResponseItem::SetDataType(uint8_t code) {
  DataType = code < DataTypeCount ? code : static_cast<uint8_t>(dtD8);
  ByteSize = DataTypeByteSize(DataType);
}

const TResponseItemList::TItems& TResponseItemList::Items() const {
  static const TItems none;
  return FItems ? *FItems : none;
}

TResponseItemList::TItems& TResponseItemList::Own() {
  if (!FItems) {
    FItems = std::make_shared<TItems>();
  } else if (FItems.use_count() > 1) {
    auto own = std::make_shared<TItems>();
    own->reserve(FItems->size());
    for (const std::unique_ptr<TResponseItem>& item : *FItems)
      own->push_back(std::make_unique<TResponseItem>(*item));
    FItems = std::move(own);
  }
  return *FItems;
}

void TResponseItemList::push_back(std::unique_ptr<TResponseItem> item) {
  Own().push_back(std::move(item));
}

void TResponseItemList::insert(const_iterator at, std::unique_ptr<TResponseItem> item) {
  const auto index = std::distance(Items().begin(), at.FAt);
  TItems& items = Own();
  items.insert(items.begin() + index, std::move(item));
}

void TResponseItemList::erase(const_iterator at) {
  const auto index = std::distance(Items().begin(), at.FAt);
  TItems& items = Own();
  items.erase(items.begin() + index);
}

int32_t ApplyPollUnits(int32_t interval, std::string_view units) {
  int64_t multiplier = 1;
  if (units == "S") multiplier = 1000;
  if (units == "M") multiplier = 60000;
  if (units == "H") multiplier = 3600000;
  int64_t ms = static_cast<int64_t>(interval) * multiplier;
  if (ms > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (ms < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(ms);
}

namespace {

std::unique_ptr<TResponseItem> ReadResponseItem(const TXmlElement* element) {
  auto item = std::make_unique<TResponseItem>();
  item->Offset = ReadInteger(element, "Offset", -1);
  item->Count = ReadInteger(element, "Count", 1);
  item->SetDataType(DataTypeCode(ReadText(element, "DataType", "D8")));
  item->Name = ReadText(element, "Name", "ITEM");
  item->DefaultValue = ReadText(element, "Default", "0");
  item->AppendCnt = ReadBoolean(element, "AppendCnt", true);
  item->ZeroBaseCnt = ReadBoolean(element, "ZeroBaseCnt", true);
  item->Swapped = ReadBoolean(element, "Swapped", true);
  item->Unsigned = ReadBoolean(element, "Unsigned", true);
  item->LE = ReadBoolean(element, "LE", false);
  item->Scale = ReadFloat(element, "Scale", 1);
  return item;
}

}  // namespace

// A request's own fields come before its Response element in the text, and each is found by
// its first match, so an Offset missing from the request is taken from its first item.
std::unique_ptr<TRequestItem> ReadRequest(const TXmlElement* element, int position) {
  auto request = std::make_unique<TRequestItem>();
  request->Enabled = ReadBoolean(element, "Enabled", false);
  if (const TXmlElement* response = FindElement(element, "Response"))
    for (const TXmlElement* child : response->Children)
      request->ResponseItems.push_back(ReadResponseItem(child));
  request->Name = ReadCaption(element, position);
  request->Address = ReadText(element, "Address", "2");
  request->Memory = static_cast<uint8_t>(ReadInteger(element, "Memory", 1) & 0xFF);
  request->Offset = ReadInteger(element, "Offset", 0);
  request->Size = ReadInteger(element, "Size", 1);
  request->MethodPoll = ReadBoolean(element, "MethodPoll", false);
  request->PollInterval =
      ApplyPollUnits(ReadInteger(element, "PollInterval", 1000), ReadText(element, "PollUnits", ""));
  request->Timeout = ReadInteger(element, "Timeout", 10000);
  return request;
}

TParsedRequests::TParsedRequests(const TDataSourceCfg& settings) {
  const int32_t handshakeTimeout = SpeedSettingsOf(settings).HandshakeTimeout;
  TXmlDocument document(settings.lblParams_Caption);
  const TXmlElement* top = FindElement(document.Root(), "MODBUSRTUQUERY");
  if (!top) return;
  FRequests.reserve(top->Children.size());
  const TXmlElement* cut = ChildOpenAtEnd(document, top);
  int position = 0;
  for (const TXmlElement* element : top->Children) {
    if (element == cut) {
      FCutOffRequest = ReadCaption(element, ++position);
      continue;
    }
    std::unique_ptr<TRequestItem> request = ReadRequest(element, ++position);
    request->HandshakeTimeout = handshakeTimeout;
    FRequests.push_back(std::move(request));
  }
}

// The parsed requests are never handed out for writing, so each copy starts with the run-time
// fields of a new request and shares the parsed request's response items.
void TParsedRequests::AppendTo(TThreadObjectList& queue) const {
  for (const std::unique_ptr<const TRequestItem>& parsed : FRequests) {
    auto request = std::make_unique<TRequestItem>(*parsed);
    queue.Add(request.get());
    request.release();  // owned by the queue now
  }
}

bool EngineQueuesFill(const IRequestQueuePlugin* plugin) {
  return plugin && !plugin->IsUnloaded() && (plugin->IsStateFlagSet(0) || plugin->IsStateFlagSet(1));
}

void LoadRequestQueue(const IRequestQueuePlugin* plugin, const TDataSourceCfg* settings,
                      TThreadObjectList& queue, IRequestQueueEngine* engine) {
  LoadRequestQueue(plugin, settings, nullptr, queue, engine);
}

void LoadRequestQueue(const IRequestQueuePlugin* plugin, const TDataSourceCfg* settings,
                      const TParsedRequests* parsed, TThreadObjectList& queue, IRequestQueueEngine* engine) {
  // The scheduler must not walk the queue while it is rebuilt: its timer is off until the
  // last request is in.
  if (engine) engine->StopQueueTimer();
  // A stop asked for from another thread reaches the timer's thread later, so a tick may still
  // come: the queue stays locked until it is refilled, and the engine forgets its outstanding
  // request under the same lock, before that request is freed.
  platform::WriteGuard guard(queue);
  if (engine) engine->ClearLastRequest();
  queue.Clear();
  if (!settings || (engine && !EngineQueuesFill(plugin))) return;
  if (engine) {
    engine->SetMinInterval(MinIntervalOf(*settings));
    engine->SetProtocol(ProtocolOf(settings->comboProto_ItemIndex));
    engine->SetSpeed(SpeedSettingsOf(*settings));
  }
  if (parsed) {
    parsed->AppendTo(queue);
  } else {
    TParsedRequests(*settings).AppendTo(queue);
  }
  if (engine) {
    engine->QueueLoaded();
    engine->Restart();
  }
}

// ---------------------------------------------------------------------------------------------
// Memory types

const std::array<TMemoryType, 13> MemoryTypes{{
    {&TTextResources::MemRegisters, "R", 0x08, 1, nullptr},
    {&TTextResources::MemAnalogInputs, "AI", 0x0A, 2, nullptr},
    {&TTextResources::MemAnalogOutputs, "AQ", 0x0C, 3, nullptr},
    {&TTextResources::MemDiscreteInputs, "I", 0x46, 2, nullptr},
    {&TTextResources::MemDiscreteOutputs, "Q", 0x48, 3, nullptr},
    {&TTextResources::MemGeniusGlobalData, "G", 0x56, 1, &TTextResources::MarkSnpxOnly},
    {&TTextResources::MemDiscreteInternals, "M", 0x4C, 1, &TTextResources::MarkSnpxOnly},
    {&TTextResources::MemDiscretesS, "S", 0x54, 1, &TTextResources::MarkSnpxOnly},
    {&TTextResources::MemDiscretesSA, "SA", 0x4E, 1, &TTextResources::MarkSnpxOnly},
    {&TTextResources::MemDiscretesSB, "SB", 0x50, 1, &TTextResources::MarkSnpxOnly},
    {&TTextResources::MemDiscretesSC, "SC", 0x52, 1, &TTextResources::MarkSnpxOnly},
    {&TTextResources::MemScratchPad, "ScratchPad", 0x80, 6, &TTextResources::MarkCcmOnly},
    {&TTextResources::MemStatusWords, "StatusWords", 0x81, 9, &TTextResources::MarkCcmOnly},
}};

uint8_t CcmMemoryType(uint8_t code) {
  switch (code) {
    case 8:
      return 1;
    case 10:
    case 16:
    case 70:
      return 2;  // %AI; %I by byte and by bit
    case 12:
    case 18:
    case 72:
      return 3;  // %AQ; %Q by byte and by bit
    case 128:
      return 6;
    case 129:
      return 9;
    default:
      return 1;
  }
}

std::string MemoryTypeList(const TTextResources& texts) {
  std::string list;
  for (const TMemoryType& type : MemoryTypes) {
    if (!list.empty()) list += "||";
    list += texts.*type.Caption;
    if (type.Key.size() <= 3) list.append(" (%").append(type.Key).append(")");
    if (type.Mark) list.append(" ").append(texts.*type.Mark);
    list += "==" + std::to_string(type.Code);
  }
  return list;
}

std::string HexDigits(uint32_t value, int minDigits) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(out.size()) < minDigits)
    out.insert(0, static_cast<std::size_t>(minDigits) - out.size(), '0');
  return out;
}

int32_t CcmTargetNumber(const std::string& address) {
  std::size_t i = 0;
  while (i < address.size() && address[i] == ' ') ++i;
  if (i < address.size() && (address[i] == '+' || address[i] == '-')) ++i;
  if (i == address.size()) return 2;
  for (std::size_t j = i; j < address.size(); ++j)
    if (address[j] < '0' || address[j] > '9') return 2;
  int32_t value = 2;
  return TryParseInteger(address, value) ? value : 2;
}

namespace {

std::array<uint8_t, 2> LowWordLittleEndian(int32_t value) {
  auto bits = static_cast<uint32_t>(value);
  return {static_cast<uint8_t>(bits & 0xFF), static_cast<uint8_t>((bits >> 8) & 0xFF)};
}

}  // namespace

TCcmRequestFields CcmRequestFields(const TRequestItem& request, double localAddress) {
  TCcmRequestFields fields;
  fields.Target = HexDigits(static_cast<uint32_t>(CcmTargetNumber(request.Address)) & 0xFF, 2);
  fields.Source = HexDigits(static_cast<uint32_t>(TruncSetting(localAddress)) & 0xFF, 2);
  fields.Memory = HexDigits(CcmMemoryType(request.Memory), 2);
  fields.Address = HexDigits(static_cast<uint32_t>(request.Offset), 4);
  fields.Length = HexDigits(static_cast<uint32_t>(request.Size), 4);
  return fields;
}

TSnpRequestFields SnpRequestFields(const TRequestItem& request) {
  TSnpRequestFields fields{};
  for (std::size_t i = 0; i < 7 && i < request.Address.size(); ++i)
    fields.SnpId[i] = static_cast<uint8_t>(request.Address[i]);
  fields.Memory = request.Memory;
  fields.Address = LowWordLittleEndian(request.Offset);
  fields.Length = LowWordLittleEndian(request.Size);
  return fields;
}

}  // namespace kelda
