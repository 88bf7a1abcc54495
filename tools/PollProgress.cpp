#include "tools/PollProgress.h"

#include <sstream>

#include "tools/PollStatistics.h"

namespace kelda::host {

void TPollCounts::Wrote(std::size_t bytes, uint64_t nowMs) {
  FBytesOut += bytes;
  FLastWriteMs = nowMs;
  FWaiting = true;
}

void TPollCounts::Row(uint64_t nowMs) {
  ++FRows;
  if (!FWaiting) return;  // a second row of the same answer
  FWaiting = false;
  FLastRtt = nowMs - FLastWriteMs;
  FRttSum += FLastRtt;
  ++FRttCount;
}

namespace {

std::string Seconds(uint64_t ms) {
  std::ostringstream text;
  text << ms / 1000 << "." << (ms % 1000) / 100 << " s";
  return text.str();
}

std::string Known(const std::optional<uint64_t>& value) {
  return value ? std::to_string(*value) : "?";
}

}  // namespace

std::string ProgressLine(const TPollCounts& counts, const std::string& statistics, int32_t dataSource,
                         uint64_t ms) {
  std::ostringstream line;
  line << "rows " << counts.Rows();
  if (auto module = StatisticsOf(statistics, dataSource)) {
    line << " | requests " << Known(module->Requests) << " | time-outs " << Known(module->Timeouts)
         << " | failed checks " << Known(module->Checks) << " | NAKs " << Known(module->Naks) << " | rtt "
         << Known(module->RttMs) << " ms (avg " << Known(module->RttAvgMs) << ") | out "
         << Known(module->BytesOut) << " B | in " << Known(module->BytesIn) << " B";
  } else {
    // The module reports no statistics: what the poller saw on the line.
    line << " | rtt " << counts.LastRttMs() << " ms (avg " << counts.AverageRttMs() << ") | out "
         << counts.BytesOut() << " B | in " << counts.BytesIn() << " B";
  }
  line << " | " << Seconds(ms);
  return line.str();
}

std::string Summary(const TPollOptions& options, const TPollCounts& counts, const std::string& statistics,
                    int32_t dataSource, uint64_t ms) {
  std::ostringstream text;
  text << "summary: " << options.ProtocolName << " on "
       << (options.Simulated() ? "the simulated PLC" : options.Port) << ": "
       << ProgressLine(counts, statistics, dataSource, ms) << "\n";
  if (!options.CsvFile.empty()) text << "  CSV:   " << options.CsvFile << " (" << counts.Rows() << " rows)\n";
  if (!options.TraceFile.empty()) text << "  trace: " << options.TraceFile << "\n";
  return text.str();
}

std::string NoAnswerHint(const TPollOptions& options, uint64_t ms) {
  std::ostringstream text;
  const char* id = options.Ccm() ? "CCM station number" : "SNP ID";
  if (options.Simulated()) {
    text << "no answer from the simulated PLC in " << Seconds(ms)
         << ": check that the configuration's <Address> "
         << "names its " << id << " ("
         << (options.SimId.empty() ? (options.Ccm() ? "2" : "PLC1") : options.SimId)
         << ", see --sim-id) and its --sim-silent and --sim-delay faults";
    return text.str();
  }
  const char* parity[] = {"none", "odd", "even"};
  text << "no answer from the PLC in " << Seconds(ms) << ": check the cable, the baud rate ("
       << options.Serial.BaudRate << "), the parity (" << parity[static_cast<int>(options.Serial.Parity)]
       << "), the stop bits (" << int{options.Serial.StopBits} << ") and the PLC's " << id
       << " in the configuration's <Address>";
  if (options.Ccm()) text << ", and that the PLC's port speaks " << options.ProtocolName;
  return text.str();
}

}  // namespace kelda::host
