// Time of SET-STATE with one, four and sixteen data sources on a plant's configuration of 2000
// requests of four items each, as a host drives it: create, LOAD of an INI file, then SET-STATE
// again and again; each one reads the settings and refills every engine's request queue. A plain
// program (no Google Benchmark), so it builds wherever the module does; wall time, best and
// median of the repetitions.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "config/TWregistry.h"
#include "module/PluginDM_Plugin.h"
#include "platform/File.h"
#include "tests/Plugins/PluginTestKit.h"

using namespace kelda;
using namespace kelda::test;

namespace {

constexpr int kRequests = 2000;
constexpr int kItems = 4;
constexpr int kRepetitions = 7;

std::string Configuration() {
  static const char* types[] = {"D16", "D32", "F32", "BIT"};
  std::string text = "<?xml version=\"1.0\"?>\n<MODBUSRTUQUERY>\n";
  for (int r = 0; r < kRequests; ++r) {
    text += "<Request caption=\"Block " + std::to_string(r) +
            "\"><Enabled check=\"2\"/><Address>PLC1</Address><Memory>8</Memory><Offset>" +
            std::to_string(r * 16) +
            "</Offset><Size>16</Size><RequestMethod><MethodOnce check=\"0\"/><MethodPoll check=\"2\">"
            "<PollInterval>1</PollInterval><PollUnits>S</PollUnits></MethodPoll></RequestMethod><Response>";
    for (int i = 0; i < kItems; ++i)
      text += "<Item><Name>TAG_" + std::to_string(r) + "_" + std::to_string(i) + "</Name><Offset>" +
              std::to_string(i * 4) + "</Offset><Count>1</Count><DataType>" + types[i % 4] +
              "</DataType><Scale>1</Scale></Item>";
    text += "</Response></Request>\n";
  }
  return text + "</MODBUSRTUQUERY>\n";
}

std::string Sources(int count) {
  std::string text;
  for (int s = 1; s <= count; ++s) {
    if (s > 1) text += "\r\n";
    text += std::to_string(s) + ";COM" + std::to_string(s) + ";Line " + std::to_string(s);
  }
  return text;
}

// Milliseconds of each SET-STATE after the first (which makes the engines).
std::vector<double> TimeSetState(uintptr_t handle, int sources, int& queued) {
  std::vector<double> ms;
  for (int n = 0; n <= kRepetitions; ++n) {
    THostList state;
    state.Add("COMMAND", "SET-STATE").Add("DATA-SOURCES-IN-CFG", Sources(sources)).Add("RESULT", 1);
    const auto start = std::chrono::steady_clock::now();
    RunCommand(handle, state, 0x03);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (n > 0) ms.push_back(took.count());
  }
  queued = 0;
  for (const auto& engine : static_cast<TaPlugin*>(Instance(handle))->Engines())
    queued += engine->RequestList->Count();
  std::sort(ms.begin(), ms.end());
  return ms;
}

}  // namespace

int main() {
  TPluginClassScope scope(&NewTaPlugin);
  const std::string ini = (std::filesystem::temp_directory_path() / "kelda_setstate_bench.ini").string();
  platform::DeleteFileAt(ini);
  {
    TDataSourceCfg settings(nullptr);
    settings.lblParams_Caption = Configuration();
    settings.comboProto_ItemIndex = protoSnpX;
    TWreg store(nullptr);
    store.INIFile = ini;
    for (const auto& line : PropertyMapLines()) store.Components.Add(line.Text);
    store.Save(settings);
  }
  bool ok = true;
  std::printf("SET-STATE, %d requests of %d items (wall time, %d repetitions):\n", kRequests, kItems,
              kRepetitions);
  for (int sources : {1, 4, 16}) {
    const uintptr_t handle = CreateInstance();
    THostList load;
    load.Add("COMMAND", "LOAD").Add("INI-FILE", ini).AddEmpty("RESULT");
    ok = handle && RunCommand(handle, load).Code == 0 && ok;
    int queued = 0;
    const std::vector<double> ms = TimeSetState(handle, sources, queued);
    std::printf("  %2d data sources: best %7.1f ms, median %7.1f ms (%d requests queued)\n", sources,
                ms.front(), ms[ms.size() / 2], queued);
    ok = queued == sources * kRequests && ok;
    FreeInstance(handle);
  }
  platform::DeleteFileAt(ini);
  if (!ok) std::printf("the instances did not come up as configured\n");
  return ok ? 0 : 1;
}
