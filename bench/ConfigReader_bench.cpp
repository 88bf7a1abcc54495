// Reading the request configuration: a 1 MB text of 2000 requests, as the options dialog writes
// it, parsed alone and turned into a request queue. The queue is rebuilt at every load, change
// of state and options round trip, so this bounds how long those take.
#include <benchmark/benchmark.h>

#include <string>

#include "config/XmlReader.h"
#include "module/PluginDM.h"

using namespace kelda;

namespace {

std::string Item(int request, int item) {
  static const char* types[] = {"D8", "D16", "D32", "D64", "F32", "F64", "S", "BIT"};
  std::string n = std::to_string(request) + "_" + std::to_string(item);
  return "<Item>\n"
         "<Name>VALUE_" +
         n +
         "</Name>\n"
         "<Offset>" +
         std::to_string(item * 4) +
         "</Offset>\n"
         "<Count>2</Count>\n"
         "<AppendCnt check=\"2\">\n"
         "<ZeroBaseCnt check=\"0\"/>\n"
         "</AppendCnt>\n"
         "<DataType>" +
         types[(request + item) % 8] +
         "</DataType>\n"
         "<LE check=\"0\"/>\n"
         "<Unsigned check=\"2\"/>\n"
         "<Swapped check=\"2\"/>\n"
         "<Default>0</Default>\n"
         "<Scale>0,5</Scale>\n"
         "</Item>\n";
}

std::string Request(int request, int items) {
  std::string text = "<Request caption=\"Block #" + std::to_string(request) +
                     " &amp; more\">\n"
                     "<Enabled check=\"2\"/>\n"
                     "<Address>" +
                     std::to_string(request % 90 + 1) +
                     "</Address>\n"
                     "<Memory>8</Memory>\n"
                     "<Offset>" +
                     std::to_string(request * 16) +
                     "</Offset>\n"
                     "<Size>16</Size>\n"
                     "<Timeout>10000</Timeout>\n"
                     "<RequestMethod>\n"
                     "<MethodOnce check=\"0\"/>\n"
                     "<MethodPoll check=\"2\">\n"
                     "<PollInterval>5</PollInterval>\n"
                     "<PollUnits>S</PollUnits>\n"
                     "</MethodPoll>\n"
                     "</RequestMethod>\n"
                     "<Response>\n";
  for (int i = 0; i < items; ++i) text += Item(request, i);
  return text + "</Response>\n</Request>\n";
}

std::string MakeConfiguration(int itemsPerRequest) {
  std::string t = "<?xml version=\"1.0\"?>\n<MODBUSRTUQUERY>\n";
  for (int r = 0; r < 2000; ++r) t += Request(r, itemsPerRequest);
  t += "</MODBUSRTUQUERY>\n";
  return t;
}

// 2000 requests with one response item each, about 1.2 MB in all.
const std::string& Configuration() {
  static const std::string text = MakeConfiguration(1);
  return text;
}

// 2000 requests of four response items each, a configuration of a large plant.
const std::string& FourItemConfiguration() {
  static const std::string text = MakeConfiguration(4);
  return text;
}

void BM_ParseConfiguration(benchmark::State& state) {
  const std::string& text = Configuration();
  for (auto _ : state) {
    TXmlDocument doc(text);
    benchmark::DoNotOptimize(doc.ElementCount());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  state.counters["bytes"] = static_cast<double>(text.size());
}

void LoadQueue(benchmark::State& state, const std::string& text) {
  TDataSourceCfg settings(nullptr);
  settings.lblParams_Caption = text;
  TThreadObjectList queue(true);
  for (auto _ : state) {
    LoadRequestQueue(nullptr, &settings, queue, nullptr);
    if (queue.Count() != 2000) state.SkipWithError("wrong number of requests");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(settings.lblParams_Caption.size()));
  state.counters["requests"] = queue.Count();
  state.counters["bytes"] = static_cast<double>(text.size());
}

void BM_LoadRequestQueue(benchmark::State& state) {
  LoadQueue(state, Configuration());
}

void BM_LoadRequestQueue_FourItems(benchmark::State& state) {
  LoadQueue(state, FourItemConfiguration());
}

}  // namespace

BENCHMARK(BM_ParseConfiguration)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadRequestQueue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadRequestQueue_FourItems)->Unit(benchmark::kMillisecond);
