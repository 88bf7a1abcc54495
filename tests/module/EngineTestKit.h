// Test kit for the protocol engine: a plug-in stand-in that records every frame the engine sends
// and every packet it delivers, a replaceable clock, and helpers to build requests and hand the
// engine received bytes the way the host's data calls do.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "Plugins/zorPluginModule.h"
#include "module/PluginDM_PlcErrors.h"
#include "module/PluginDM_SerialPort.h"
#include "platform/Tick.h"

namespace kelda::enginetest {

// The module's clock, driven by the test.
inline uint64_t gNow = 1000000;
inline uint64_t FakeNow() {
  return gNow;
}

class ClockScope {
public:
  ClockScope() : FPrevious(platform::SetTickSource(&FakeNow)) { gNow = 1000000; }
  ~ClockScope() {
    platform::SetTickSource(FPrevious);
    SetTimeoutUsesTick64(platform::HasTick64());
  }

private:
  platform::TickSource FPrevious;
};

// One delivered packet: its values by name (the order of names is kept too) and its text.
struct TDelivered {
  std::vector<std::string> Names;
  std::map<std::string, TVariant> Values;
  std::string PacketText;
  int64_t Int(const std::string& name) const { return Values.at(name).ToInt64(); }
  double Real(const std::string& name) const { return Values.at(name).ToDouble(); }
  std::string Text(const std::string& name) const { return Values.at(name).ToText(); }
  VARTYPE Type(const std::string& name) const { return Values.at(name).Type(); }
};

class TFakeOwner : public ISerialPortOwner {
public:
  bool IsUnloaded() const override { return Unloaded; }
  bool IsStateFlagSet(int index) const override { return StateFlags[index]; }
  bool HasSettings() const override { return Settings; }
  double LocalAddress() const override { return Local; }
  int32_t SendToPort(int32_t dataSourceId, const uint8_t* data, int32_t count) override {
    if (FailSends > 0) {
      --FailSends;
      return -1;
    }
    if (FailSends < 0) return -1;
    if (OnSend) OnSend();
    if (RefuseBreak &&
        std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(count)) == kBreakCommand)
      return -1;
    Sent.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(count));
    SentTo.push_back(dataSourceId);
    if (OnFrame) OnFrame(std::string(Sent.back()));  // a copy: the hook may empty Sent
    return count;
  }
  TSerialPortDM* FindEngine(int32_t dataSourceId) override {
    auto it = Engines.find(dataSourceId);
    return it == Engines.end() ? nullptr : it->second;
  }
  void LockInstance() override { ++InstanceLocks; }
  void UnlockInstance() override { --InstanceLocks; }
  int AddStandardFields(TParsedDataList& list, const std::string& data, int32_t dataSourceId,
                        const std::string& name, const std::string& fullName) override {
    TVariant packet = TVariant::Adopt(VariantFromText(data));
    TVariant id = TVariant::Adopt(VariantFromInt(dataSourceId));
    list.Add("DATA_PACKET", packet);
    list.Add("DATA_SOURCE_ID", id);
    return 2;
  }
  void DeliverPacket(TPluginCallRecIntft& record, TParsedDataList& list) override {
    EXPECT_GT(InstanceLocks, -1);
    TDelivered packet;
    packet.PacketText = list.PacketText;
    for (int32_t i = 0; i < list.Count(); ++i) {
      TzorParamsListItem* item = list.Items(i);
      if (item->IsNewRow()) continue;
      packet.Names.push_back(item->Name);
      packet.Values.emplace(item->Name, item->Value);
    }
    Delivered.push_back(std::move(packet));
  }
  void TransactionFailed(int32_t dataSourceId, const std::string& dataSourceName, const TRequestItem& request,
                         TTransactionFailure cause, uint16_t plcError) override {
    static const char* const kCauses[] = {"handshake time-out", "data time-out", "check failed", "NAK",
                                          "send failed",        "bad answer",    "PLC error"};
    std::string line = std::to_string(dataSourceId) + " " + dataSourceName + " \"" + request.Name +
                       "\": " + kCauses[static_cast<int>(cause)];
    if (cause == TTransactionFailure::PlcError) line += " " + PlcErrorText(plcError >> 8, plcError & 0xFF);
    Failures.push_back(line);
  }

  // Frames sent since the last call.
  std::vector<std::string> TakeSent() {
    std::vector<std::string> out;
    out.swap(Sent);
    return out;
  }

  bool Unloaded = false;
  bool Settings = true;
  bool StateFlags[8] = {true, true};
  double Local = 1;
  int FailSends = 0;             // >0: that many sends fail; <0: every send fails
  bool RefuseBreak = false;      // a host whose port cannot send a line break
  std::function<void()> OnSend;  // runs in the sending thread before a send is taken
  // Runs in the sending thread once a frame was taken, before the send returns: a host whose
  // port hands the PLC's answer over that early.
  std::function<void(const std::string&)> OnFrame;
  int InstanceLocks = 0;
  std::map<int32_t, TSerialPortDM*> Engines;
  std::vector<std::string> Sent;
  std::vector<int32_t> SentTo;
  std::vector<TDelivered> Delivered;
  std::vector<std::string> Failures;  // every failed transaction the engine reported
};

// An engine for data source 7 of a fake plug-in.
struct TEngineRig {
  ClockScope Clock;
  TFakeOwner Owner;
  TSerialPortDM Engine{nullptr, &Owner};

  explicit TEngineRig(uint8_t protocol) {
    Engine.DataSourceId = 7;
    Engine.DataSourceName = "COM1";
    Engine.DataSourceFullName = "Line 1";
    Engine.SetProtocol(protocol);
    Owner.Engines[7] = &Engine;
  }

  // Appends a request reading `size` elements at `offset` of memory `memory` from `address`.
  TRequestItem& AddRequest(const std::string& address, uint8_t memory, int32_t offset, int32_t size,
                           int32_t pollMs = 1000) {
    auto* request = new TRequestItem;
    request->Enabled = true;
    request->Name = "Q" + std::to_string(Engine.RequestList->Count() + 1);
    request->Address = address;
    request->Memory = memory;
    request->Offset = offset;
    request->Size = size;
    request->MethodPoll = pollMs > 0;
    request->PollInterval = pollMs;
    Engine.RequestList->Add(request);
    return *request;
  }

  // Adds a response item to a request.
  static TResponseItem& AddItem(TRequestItem& request, const std::string& name, uint8_t type,
                                int32_t offset = -1, int32_t count = 1) {
    auto item = std::make_unique<TResponseItem>();
    item->Name = name;
    item->SetDataType(type);
    item->Offset = offset;
    item->Count = count;
    item->AppendCnt = count > 1;
    item->ZeroBaseCnt = false;
    item->Swapped = false;
    item->Unsigned = true;
    request.ResponseItems.push_back(std::move(item));
    return *request.ResponseItems.back();
  }

  void Tick() { Engine.QueueTick(); }
  void Advance(uint64_t ms) { gNow += ms; }

  // Hands bytes to the engine as a host's data call with port bytes does; answers its result.
  int Receive(const std::string& bytes, int32_t dataSourceId = 7, uint8_t flags = kDataFlagPortBytes) {
    TPluginCallRec rec{};
    rec.Size = kCallRecSize;
    rec.DataSourceId = dataSourceId;
    rec.Flags = flags;
    rec.DataIn.Size = static_cast<int32_t>(bytes.size());
    rec.DataIn.Value = reinterpret_cast<uintptr_t>(bytes.data());
    TPluginCallRecIntft record(&rec);
    return Engine.ReceiveData(record);
  }
  // The same, one byte per data call.
  void ReceiveBytewise(const std::string& bytes) {
    for (char c : bytes) Receive(std::string(1, c));
  }
};

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

inline std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

}  // namespace kelda::enginetest
