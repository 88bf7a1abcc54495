// TaPlugin: the module's plug-in object. It turns the framework's events into this module's
// behaviour: it owns the settings object, the module's text resources and one protocol engine per
// data source the host configured, declares the parser items, answers the options form's query
// for the memory type list, and rebuilds the engines' request queues whenever the settings or the
// host's state change.
//
// Locks: the engines lock guards the list of engines only (FEngines), and is held only to copy
// or replace it; commands alone replace it, one at a time under the command lock. Engines are
// held by counted references: a data call takes its engine's reference under the lock and works
// on it without the lock, so a data call never waits for a settings load, a queue rebuild or a
// log line. Every engine ends the same way (EndEngines: SET-STATE for the engines it drops, a
// command for an engine whose timer's thread stopped, the plug-in's end for all): it retires,
// so it starts nothing more, and whoever lets its last reference go ends it there, without
// waiting for any other thread. The settings object is read and written by commands alone.
// The developer's guide lists the locking rules in full.
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

  // The engine of a data source; the pointer lives as long as the engine stays in the list.
  TSerialPortDM* FindEngine(int32_t id) override;
  std::shared_ptr<TSerialPortDM> EngineFor(int32_t id) const;  // none when there is none
  void RebuildAllQueues(TDataSourceCfg* settings);
  void RestartAllEngines();
  void ApplySettings(bool restart);
  std::vector<std::shared_ptr<TSerialPortDM>> Engines() const;  // in creation order

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
  bool HasSettings() const override { return FHasSettings.load(); }
  double LocalAddress() const override {
    platform::CriticalSectionGuard guard(FLocalAddressLock);
    return FLocalAddress;
  }
  int32_t SendToPort(int32_t dataSourceId, const uint8_t* data, int32_t count) override;
  bool HoldForTick() override { return TryAddUse(); }
  void ReleaseFromTick() override { ReleaseUse(); }
  void LockInstance() override { TzorPlugin::LockInstance(); }
  void UnlockInstance() override { TzorPlugin::UnlockInstance(); }
  int AddStandardFields(TParsedDataList& list, const std::string& data, int32_t dataSourceId,
                        const std::string& name, const std::string& fullName) override;
  void DeliverPacket(TPluginCallRecIntft& record, TParsedDataList& list) override;
  void TransactionFailed(int32_t dataSourceId, const std::string& dataSourceName, const TRequestItem& request,
                         TTransactionFailure cause, uint16_t plcError) override;
  const std::string& FailureCauseText(TTransactionFailure cause) const;  // under InstanceLock

  // The "Statistics" text: one line per engine in data source order, each ended by CR LF.
  std::string StatisticsText();

protected:
  bool GetOwnModuleParameter(const std::string& name, TVariant& value) override;
  bool SetOwnModuleParameter(const std::string& name, const VARIANT& value, bool& taken) override;

private:
  void LoadConfig();
  // Logs that a configured request cannot be sent because its fields do not fit the wire
  // (configuration problems are logged; framing errors never are).
  void LogRequestNotSent(const TRequestItem& request);
  void LogRequestCutOff(const std::string& caption);
  void LogConfigurationFindings();  // one log line per finding of the configuration check
  // An engine for a data source, made in the calling thread, whose message loop runs its timer.
  std::shared_ptr<TSerialPortDM> NewEngine(int32_t id, const std::string& name, const std::string& fullName);
  // The one way an engine ends: it retires, and the list's reference goes with no lock held.
  static void EndEngines(std::vector<std::shared_ptr<TSerialPortDM>> engines);
  // Replaces every engine whose timer's thread has ended or stopped dispatching by one made in
  // this (the command's) thread, logging once for each; answers the new engines.
  std::vector<std::shared_ptr<TSerialPortDM>> ReplaceStoppedEngines();
  void LogEngineMoved(const TSerialPortDM& engine);

  mutable platform::TMultiReadExclusiveWriteSynchronizer FEnginesLock;
  std::vector<std::shared_ptr<TSerialPortDM>> FEngines;  // under FEnginesLock
  // Whether Config exists, for the data calls and the engines, which never read Config itself.
  std::atomic<bool> FHasSettings{false};
  // The link address, read by the engines while they build frames (without the engines lock).
  // Under a lock of its own rather than an atomic: an 8-byte atomic on i686 is one x87 or SSE
  // move, which race checkers cannot tell from a plain one.
  mutable platform::TCriticalSection FLocalAddressLock;
  double FLocalAddress = 1;  // under FLocalAddressLock
  // Read by the engines in their threads, written by "SET-MODULE-PARAMETER".
  std::atomic<bool> FLogFailedTransactions{false};
  // The protocol and configuration text whose findings were logged last, so that the LOAD and
  // SET-STATE of one start-up, or a reload of unchanged settings, do not log them again.
  platform::TCriticalSection FCheckedLock;
  std::string FCheckedConfiguration;  // under FCheckedLock
};

// The plug-in class the library instantiates.
TzorPlugin* NewTaPlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle);

}  // namespace kelda
