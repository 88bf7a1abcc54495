// A plug-in stand-in for driving a protocol engine outside a host (benchmarks, fuzz targets):
// every send succeeds, every delivered packet is counted, nothing is logged.
#pragma once

#include <cstdint>
#include <string>

#include "Common/Variants.h"
#include "Common/zorParamLst.h"
#include "Plugins/zorPluginModule.h"
#include "module/PluginDM_SerialPort.h"

namespace kelda {

class TEngineOwnerStub : public ISerialPortOwner {
public:
  bool IsUnloaded() const override { return false; }
  bool IsStateFlagSet(int) const override { return true; }
  bool HasSettings() const override { return true; }
  double LocalAddress() const override { return 1; }
  int32_t SendToPort(int32_t, const uint8_t*, int32_t count) override {
    ++Sends;
    return count;
  }
  TSerialPortDM* FindEngine(int32_t) override { return Engine; }
  void LockInstance() override {}
  void UnlockInstance() override {}
  int AddStandardFields(TParsedDataList& list, const std::string&, int32_t id, const std::string&,
                        const std::string&) override {
    TVariant value = TVariant::Adopt(VariantFromInt(id));
    list.Add("DATA_SOURCE_ID", value);
    return 1;
  }
  void DeliverPacket(TPluginCallRecIntft&, TParsedDataList& list) override {
    ++Packets;
    Values += list.Count();
  }
  void TransactionFailed(int32_t, const std::string&, const TRequestItem&, TTransactionFailure,
                         uint16_t) override {}

  // Hands bytes to the engine as a host's data call with port bytes does.
  int Receive(const uint8_t* data, int32_t size) {
    TPluginCallRec rec{};
    rec.Flags = kDataFlagPortBytes;
    rec.DataIn.Size = size;
    rec.DataIn.Value = reinterpret_cast<uintptr_t>(data);
    TPluginCallRecIntft record(&rec);
    return Engine->ReceiveData(record);
  }

  TSerialPortDM* Engine = nullptr;
  int64_t Sends = 0;
  int64_t Packets = 0;
  int64_t Values = 0;
};

}  // namespace kelda
