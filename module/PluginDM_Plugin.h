// TaPlugin: the module's plug-in object. It turns the framework's events into this module's
// behaviour: it owns the settings object, the module's text resources and one protocol engine per
// data source the host configured, declares the parser items, answers the options form's query
// for the memory type list, and rebuilds the engines' request queues whenever the settings or the
// host's state change.
//
// Locks: the engines lock guards the set of engines and the settings object's life. Data calls
// hold it shared while they route bytes to an engine; changes of state, settings loads and the
// unload hold it exclusively. It is taken before any engine's queue lock, never after.
//
// Module parameters of its own: "Statistics" (read only), the engines' counters, one line per
// data source; "LogFailedTransactions" (0 or 1, 0 at creation), one log line per failed
// transaction for diagnosis. The switch is not stored with the settings: the stored settings are
// the options form's controls, and a diagnosis left on by a forgotten setting would fill the log
// of every later run.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Plugins/zorPluginModule.h"
#include "config/zorStringHolder.h"
#include "module/PluginDM.h"
#include "module/PluginDM_SerialPort.h"
#include "module/PluginDM_TextResources.h"
#include "platform/Sync.h"

namespace kelda {

class TaPlugin : public TzorPlugin, public ISerialPortOwner {
public:
  TaPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle);
  ~TaPlugin() override;

  // Handlers of the framework's events.
  void zorPluginCreate();
  void zorPluginLoad(TPluginCallRecIntft& record, int& result);
  void zorPluginUnload(TPluginCallRecIntft& record, int& result);
  void zorPluginChangeState(uint8_t flags);
  void zorPluginBeforeGetParserItems();
  void zorPluginSaveSettingsNow();
  void zorPluginLoadSettingsNow();
  void zorPluginShowOptionsDialog(TPluginCallRecIntft& record, int& result);
  void zorPluginProcessData(TPluginCallRecIntft& record, int& result);
  void zorPluginEvent(const std::string& name, int& result, TPluginCallRecIntft& record);

  TSerialPortDM* FindEngine(int32_t id) override;
  void RebuildAllQueues(TDataSourceCfg* settings);
  void RestartAllEngines();
  void ApplySettings(bool restart);
  std::vector<TSerialPortDM*> Engines() const;  // in component order

  // The property map as the settings store reads it.
  TStringList PropertyMap() const;

  // Fields, in order.
  TzorStrHolder* Properties = nullptr;  // owned as a component
  TTextResources* Resources = nullptr;  // owned as a component
  TDataSourceCfg* Config = nullptr;     // owned as a component from load to unload
  std::atomic<bool> Unloaded{true};

  // --- what the queue loader and the engines read of the plug-in
  bool IsUnloaded() const override { return Unloaded.load(); }
  bool IsStateFlagSet(int index) const override { return index >= 0 && index < 8 && StateFlags[index] != 0; }
  bool HasSettings() const override { return Config != nullptr; }
  double LocalAddress() const override { return FLocalAddress.load(); }
  int32_t SendToPort(int32_t dataSourceId, const uint8_t* data, int32_t count) override;
  void LockInstance() override { TzorPlugin::LockInstance(); }
  void UnlockInstance() override { TzorPlugin::UnlockInstance(); }
  int AddStandardFields(TParsedDataList& list, const std::string& data, int32_t dataSourceId,
                        const std::string& name, const std::string& fullName) override;
  void DeliverPacket(TPluginCallRecIntft& record, TParsedDataList& list) override;
  void LogRequestNotSent(const TRequestItem& request) override;
  void TransactionFailed(int32_t dataSourceId, const std::string& dataSourceName, const TRequestItem& request,
                         TTransactionFailure cause, uint16_t plcError) override;
  const std::string& FailureCauseText(TTransactionFailure cause) const;  // under InstanceLock

  // The "Statistics" text: one line per engine in data source order, each ended by CR LF.
  std::string StatisticsText();

protected:
  bool GetOwnModuleParameter(const std::string& name, TVariant& value) override;
  bool SetOwnModuleParameter(const std::string& name, const VARIANT& value, bool& taken) override;

private:
  void FreeEngines();
  void LoadConfig();

  platform::TMultiReadExclusiveWriteSynchronizer FEnginesLock;
  // The link address, read by the engines while they build frames (without the engines lock).
  std::atomic<double> FLocalAddress{1};
  // Read by the engines in their threads, written by "SET-MODULE-PARAMETER".
  std::atomic<bool> FLogFailedTransactions{false};
};

// The plug-in class the library instantiates.
TzorPlugin* NewTaPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle);

}  // namespace kelda
