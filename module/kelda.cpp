// The library's entry unit: the exported functions, undecorated stdcall names, each a thin
// door into the plug-in framework. Nothing leaves them as an exception.
#include "Plugins/zorPluginModule.h"
#include "Plugins/zorPluginTranslator.h"
#include "module/PluginDM_Plugin.h"
#include "platform/Boundary.h"

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
// The library's plug-in class is the module's own, and its translator the run-time one.
namespace {

const bool gPluginClassRegistered = (kelda::SetPluginClass(&kelda::NewTaPlugin), true);
const bool gTranslatorRegistered = (kelda::SetTranslatorFactory(&kelda::NewPluginTranslator), true);

}  // namespace
