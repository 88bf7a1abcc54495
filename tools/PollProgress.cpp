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

std::string NoAnswerHint(const TPollOptions& options, uint64_t ms, const TTrouble& trouble) {
  std::ostringstream text;
  const char* id = options.Ccm() ? "CCM station number" : "SNP ID";
  const std::string simId = options.SimId.empty() ? (options.Ccm() ? "2" : "PLC1") : options.SimId;
  const char* parity[] = {"none", "odd", "even"};
  const std::string plc = options.Simulated() ? "the simulated PLC" : "the PLC";
  const std::string undecoded = "no value decoded from " + plc + " in " + Seconds(ms) + ": ";
  if (trouble.Checks > 0) {
    text << undecoded;
    text << trouble.Checks << " answers failed their check: ";
    if (options.Simulated())
      text << "see the --sim-corrupt and --sim-noise faults";
    else
      text << "check the baud rate (" << options.Serial.BaudRate << "), the parity ("
           << parity[static_cast<int>(options.Serial.Parity)] << ") and that the PLC's port speaks "
           << options.ProtocolName;
    return text.str();
  }
  if (trouble.Refusals > 0) {
    text << undecoded << "the PLC refused " << trouble.Refusals
         << " requests (NAK or an error answer): check the "
         << "configuration's <Address> (the PLC's " << id
         << (options.Simulated() ? " " + simId + ", see --sim-id" : std::string()) << "), its <Memory> "
         << "and that <Offset> and <Size> lie inside the PLC's memory";
    if (options.Simulated()) text << ", and the --sim-nak and --sim-error-nack faults";
    return text.str();
  }
  if (trouble.DefaultRows > 0) {
    text << undecoded << trouble.DefaultRows
         << " answers came but every value in them was its item's <Default>: the items lie past the "
            "data each request reads; make <Size> cover them or move their <Offset>; kelda-host check "
         << options.ConfigFile << " --protocol " << options.ProtocolName << " marks them";
    return text.str();
  }
  if (trouble.EmptyRows > 0) {
    text << undecoded << trouble.EmptyRows
         << " answers came but carried no configured value: check the requests' <Response> items "
            "(each needs a <Name>, and its <Offset> and <Count> must lie inside the read); "
            "kelda-host check "
         << options.ConfigFile << " --protocol " << options.ProtocolName << " names what is wrong";
    return text.str();
  }
  if (options.Simulated()) {
    text << "no answer from " << plc << " in " << Seconds(ms)
         << ": check that the configuration's <Address> names its " << id << " (" << simId
         << ", see --sim-id) and its --sim-silent and --sim-delay faults";
    return text.str();
  }
  text << "no answer from " << plc << " in " << Seconds(ms) << ": check the cable, the PLC's " << id
       << " in the configuration's <Address>, "
       << "and that the PLC's port speaks " << options.ProtocolName << " (baud rate "
       << options.Serial.BaudRate << ", parity " << parity[static_cast<int>(options.Serial.Parity)]
       << ", stop bits " << int{options.Serial.StopBits} << ")";
  return text.str();
}

}  // namespace kelda::host
