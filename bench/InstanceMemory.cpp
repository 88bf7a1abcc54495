// Heap taken by one instance of the module's plug-in class, as a host would drive it: create
// through the framework's entry function, LOAD of an INI file holding a plant's configuration,
// SET-STATE with four data sources (one engine each), then the free. Every allocation of this
// program goes through the counting operator new below, so the figures are live bytes and live
// blocks as the program asked for them (bench/CountingHeap.h).
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/CountingHeap.h"
#include "config/TWregistry.h"
#include "module/PluginDM_Plugin.h"
#include "platform/File.h"
#include "tests/Plugins/PluginTestKit.h"

using namespace kelda;
using namespace kelda::test;

namespace {

std::string Item(int request, int item) {
  static const char* types[] = {"D16", "D32", "F32", "BIT"};
  return "<Item><Name>TAG_" + std::to_string(request) + "_" + std::to_string(item) + "</Name><Offset>" +
         std::to_string(item * 4) + "</Offset><Count>1</Count><DataType>" + types[item % 4] +
         "</DataType><Scale>1</Scale></Item>";
}

std::string Configuration(int requests, int items) {
  std::string text = "<?xml version=\"1.0\"?>\n<MODBUSRTUQUERY>\n";
  for (int r = 0; r < requests; ++r) {
    text += "<Request caption=\"Block " + std::to_string(r) +
            "\"><Enabled check=\"2\"/><Address>PLC1</Address><Memory>8</Memory><Offset>" +
            std::to_string(r * 16) +
            "</Offset><Size>16</Size><RequestMethod><MethodOnce check=\"0\"/><MethodPoll check=\"2\">"
            "<PollInterval>1</PollInterval><PollUnits>S</PollUnits></MethodPoll></RequestMethod><Response>";
    for (int i = 0; i < items; ++i) text += Item(r, i);
    text += "</Response></Request>\n";
  }
  return text + "</MODBUSRTUQUERY>\n";
}

struct TSnapshot {
  long long Bytes;
  long long Blocks;
};

TSnapshot Now() {
  return {bench::LiveHeapBytes(), bench::LiveHeapBlocks()};
}

void Print(const char* step, TSnapshot base, TSnapshot now) {
  std::printf("  %-34s %10lld bytes %7lld blocks\n", step, now.Bytes - base.Bytes, now.Blocks - base.Blocks);
}

bool Measure(int requests, int items, const std::string& ini) {
  platform::DeleteFileAt(ini);
  {
    TDataSourceCfg settings(nullptr);
    settings.lblParams_Caption = Configuration(requests, items);
    settings.comboProto_ItemIndex = protoSnpX;
    TWreg store(nullptr);
    store.INIFile = ini;
    for (const auto& line : PropertyMapLines()) store.Components.Add(line.Text);
    store.Save(settings);
  }
  std::printf("%d requests of %d items, 4 data sources (live heap above the start):\n", requests, items);
  const TSnapshot base = Now();
  const uintptr_t handle = CreateInstance();
  if (!handle) return false;
  Print("created", base, Now());
  int32_t loaded = 0;
  int32_t stated = 0;
  {  // the host's lists go before the figures are taken
    THostList load;
    load.Add("COMMAND", "LOAD").Add("INI-FILE", ini).AddEmpty("RESULT");
    loaded = RunCommand(handle, load).Code;
  }
  Print("settings loaded", base, Now());
  {
    THostList state;
    state.Add("COMMAND", "SET-STATE")
        .Add("DATA-SOURCES-IN-CFG", "1;COM1;Line 1\r\n2;COM2;Line 2\r\n3;COM3;Line 3\r\n4;COM4;Line 4")
        .Add("RESULT", 1);
    stated = RunCommand(handle, state, 0x03).Code;
  }
  auto& plugin = *static_cast<TaPlugin*>(Instance(handle));
  std::size_t engineCount = 0;
  int queued = 0;
  {
    const auto engines = plugin.Engines();
    engineCount = engines.size();
    for (const auto& engine : engines) queued += engine->RequestList->Count();
  }
  Print("4 engines running", base, Now());
  std::printf("  (LOAD %d, SET-STATE %d, %zu engines, %d requests queued)\n", loaded, stated, engineCount,
              queued);
  FreeInstance(handle);
  Print("freed", base, Now());
  platform::DeleteFileAt(ini);
  return engineCount == 4 && queued == 4 * requests;
}

}  // namespace

int main() {
  TPluginClassScope scope(&NewTaPlugin);
  const std::string ini = (std::filesystem::temp_directory_path() / "kelda_instance_memory.ini").string();
  // The first instance also fills the module's one-time tables; the second shows an instance alone.
  bool ok = Measure(50, 4, ini);
  ok = Measure(50, 4, ini) && ok;
  ok = Measure(2000, 4, ini) && ok;
  if (!ok) std::printf("the instance did not come up as configured\n");
  return ok ? 0 : 1;
}
