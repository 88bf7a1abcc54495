// The request configuration text comes from the options dialog, from files users load into it
// and from hand-edited settings: any bytes must parse without failing, and every request built
// from them must hold values the scheduler and the frame builders can use as they are.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config/XmlReader.h"
#include "module/PluginDM.h"
#include "platform/Sync.h"
#include "fuzz/FuzzCheck.h"

using namespace kelda;
using namespace kelda::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);

  TXmlDocument doc(text);
  Check(doc.Root()->Name == "root");
  for (const char* name : {"MODBUSRTUQUERY", "Request", "Offset", "Enabled", "missing"}) {
    const TXmlElement* e = FindElement(doc.Root(), name);
    Check(!e || e->Name.size() == std::char_traits<char>::length(name));
    ReadBoolean(doc.Root(), name, true);
    ReadFloat(doc.Root(), name, 1);
  }

  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption = text;
  TThreadObjectList queue(true);
  LoadRequestQueue(nullptr, &settings, queue, nullptr);
  platform::ReadGuard guard(queue);
  for (TObject* o : *static_cast<TObjectList*>(queue.GuardedObject())) {
    const auto* request = static_cast<const TRequestItem*>(o);
    Check(!request->Name.empty());
    Check(!request->Busy && request->Sequence == -1 && request->Timer.IsClear());
    for (const auto& item : request->ResponseItems) {
      Check(item->DataType < DataTypeCount);
      Check(item->ByteSize == DataTypeByteSize(item->DataType));
    }
    TCcmRequestFields ccm = CcmRequestFields(*request, settings.spLocalAddress_Value);
    Check(ccm.Target.size() == 2 && ccm.Source.size() == 2 && ccm.Memory.size() == 2);
    Check(ccm.Address.size() >= 4 && ccm.Length.size() >= 4);
    SnpRequestFields(*request);
  }
  return 0;
}
