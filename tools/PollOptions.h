// The command line of "kelda-host poll": the library, the request configuration, the module's
// settings, the line (the built-in simulated PLC or a serial port) and what to record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "tools/plcsim/PlcSim.h"

namespace kelda::host {

// A command line the poller cannot run; what() says which argument and why.
class EPollUsage : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct TPollOptions {
  std::string Library;
  std::string ConfigFile;
  plcsim::Mode Protocol = plcsim::Mode::Snp;
  std::string ProtocolName;  // as given: ccm-ms, ccm-peer, snp, snpx
  std::string Port = "sim";
  platform::TSerialSettings Serial;
  int LocalId = 1;
  int MinIntervalMs = 0;
  uint32_t Seconds = 0;       // 0: no time limit
  uint64_t Transactions = 0;  // 0: no row limit
  std::string CsvFile;
  std::string TraceFile;
  bool Quiet = false;
  bool LogFailed = false;  // print the module's line for every failed transaction
  bool Help = false;
  // The built-in simulated PLC.
  std::string SimId;  // empty: PLC1 for SNP and SNP-X, station 2 for CCM
  std::string SimMemory;
  int SimNoise = 0;  // answers affected: 0 none, -1 every one
  int SimCorrupt = 0;
  int SimNak = 0;
  int SimSilent = 0;
  int SimDelayMs = 0;
  std::size_t SimChunk = 0;  // 0: the port hands over 1..7 bytes at a time
  int SimRepeat = 0;
  int SimNoiseEveryMs = 0;  // 0: no steady noise
  int SimEndlessChain = 0;  // SNP
  int SimErrorNack = 0;     // SNP, with the codes below
  uint8_t SimErrorNackMajor = 0x05;
  uint8_t SimErrorNackMinor = 0xF4;
  bool SimExtraByte = false;       // SNP-X
  bool SimCcmPad = false;          // CCM
  bool SimDataOnlyLrc = false;     // CCM
  std::size_t SimSnpDataSize = 0;  // SNP; 0: the simulator's default (1000)

  bool Simulated() const { return Port == "sim"; }
  bool Ccm() const {
    return Protocol == plcsim::Mode::CcmMasterSlave || Protocol == plcsim::Mode::CcmPeerToPeer;
  }
};

// Parses the arguments after "poll". Throws EPollUsage.
TPollOptions ParsePollOptions(const std::vector<std::string>& args);

// The --help text.
std::string PollUsage();

}  // namespace kelda::host
