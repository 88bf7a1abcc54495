// The library's entry unit: the exported functions, undecorated stdcall names, each a thin
// door into the plug-in framework. Nothing leaves them as an exception.
#include <map>
#include <string>
#include <vector>

#include "Plugins/zorPluginModule.h"
#include "platform/Boundary.h"
#include "platform/Module.h"

using kelda::TPluginCallRec;
using kelda::TPluginModuleInfo;

KELDA_EXPORT int32_t KELDA_STDCALL CreatePluginInstance(TPluginCallRec* record) {
  return kelda::zorCreatePluginInstance(record);
}

KELDA_EXPORT int32_t KELDA_STDCALL FreePluginInstance(TPluginCallRec* record) {
  return kelda::zorFreePluginInstance(record);
}

KELDA_EXPORT uint8_t KELDA_STDCALL GetModuleInfo(TPluginCallRec* record, TPluginModuleInfo* info,
                                                 uint32_t* requiredSize) {
  return kelda::zorGetModuleInfo(record, info, requiredSize) ? 1 : 0;
}

KELDA_EXPORT int32_t KELDA_STDCALL ExecutePluginCommand(TPluginCallRec* record) {
  return kelda::zorExecutePluginCommand(record);
}

KELDA_EXPORT int32_t KELDA_STDCALL ProcessData(TPluginCallRec* record) {
  return kelda::zorProcessData(record);
}

KELDA_EXPORT int32_t KELDA_STDCALL GetLogEx(TPluginCallRec* record) {
  return kelda::zorGetLogEx(record);
}

// The answer is in the record's DataOut; the return value repeats DataOut.Value.
KELDA_EXPORT int32_t KELDA_STDCALL GetOptionsDialog(TPluginCallRec* record) {
  return kelda::zorGetOptionsDialog(record);
}

KELDA_EXPORT int32_t KELDA_STDCALL ShowOptionsDialog(TPluginCallRec* record) {
  return kelda::zorShowOptionsDialog(record);
}

// ---------------------------------------------------------------------------------------------
// The library's plug-in class until the module's own class (with the protocol engines) takes
// its place: it describes the module, declares the standard packet fields, and hands back
// every complete line (ended by CR or LF) of the bytes a data call brings as one packet, so
// that hosts and tests can follow the whole data path. The module's unit replaces it through
// SetPluginClass at start-up.
namespace {

using namespace kelda;

class TKeldaLinePlugin : public TzorPlugin {
public:
  TKeldaLinePlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle)
      : TzorPlugin(record, dllHandle) {
    Description = "Korvane GE PLC serial data source (CCM, SNP, SNP-X)";
    LogTitle = "Korvane";
    ModuleType = 0x03;
    OnBeforeGetParserItems = [](TzorPlugin* self) {
      self->ClearParserItems();
      self->AddStandardParserItems(false);
    };
    OnLoad = [](TzorPlugin* self, TPluginCallRecIntft&, int&) {
      self->AddLog(2, "Loaded by " + (self->ApplicationFullName.empty() ? std::string("the host")
                                                                        : self->ApplicationFullName));
    };
    OnChangeState = [](TzorPlugin* self, uint8_t flags) {
      self->AddLog(2, "Data sources configured: " + std::to_string(self->ConfigDataSources.Count()));
    };
    OnProcessData = [](TzorPlugin* self, TPluginCallRecIntft& record, int& result) {
      static_cast<TKeldaLinePlugin*>(self)->DeliverLines(record, result);
    };
  }

private:
  void DeliverLines(TPluginCallRecIntft& record, int& result) {
    TPluginCallRec* rec = record.Rec;
    if (!(rec->Flags & kDataFlagPortBytes) || !rec->DataIn.Value || rec->DataIn.Size <= 0) return;
    const int32_t received = rec->DataIn.Size;   // DataIn turns into the packet buffer below
    const int32_t sourceId = rec->DataSourceId;  // a copy: the record's fields are unaligned
    std::string name, fullName;
    std::vector<std::string> lines;
    {
      platform::WriteGuard guard(InstanceLock);
      if (const TConfigDataSource* source = FindDataSource(sourceId)) {
        name = source->Name;
        fullName = source->FullName;
      }
      // A line may arrive split over several data calls: its start waits for the rest.
      std::string& bytes = FUnfinished[sourceId];
      bytes.append(reinterpret_cast<const char*>(rec->DataIn.Value), static_cast<std::size_t>(received));
      std::size_t start = 0;
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n') continue;
        if (i > start) lines.push_back(bytes.substr(start, i - start));
        start = i + 1;
      }
      bytes.erase(0, start);
    }
    for (const std::string& line : lines) {
      TParsedDataList packet;
      {
        platform::WriteGuard guard(InstanceLock);
        packet.PacketText = line;
        AddStandardFields(&packet, &line, "", fullName, name, 0, sourceId, &line);
        packet.AddNewRow();
      }
      SendParsedData(record, &packet, true);
    }
    AddLog(2, "Received " + std::to_string(received) + " bytes from data source " + std::to_string(sourceId) +
                  ": " + std::to_string(lines.size()) + " packets");
    result = static_cast<int>(lines.size());
  }

  std::map<int32_t, std::string> FUnfinished;  // per data source, the bytes after the last line end
};

TzorPlugin* NewKeldaLinePlugin(TPluginCallRecIntft* record, platform::ModuleHandle dllHandle) {
  return new TKeldaLinePlugin(record, dllHandle);
}

const bool gLinePluginRegistered = (SetPluginClass(&NewKeldaLinePlugin), true);

}  // namespace
