// The command line of "kelda-host poll": the library, the request configuration, the module's
// settings, the line (the built-in simulated PLC or a serial port) and what to record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
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
  std::string ReportFile;
  bool Quiet = false;
  bool LogFailed = false;  // print the module's line for every failed transaction
  bool Help = false;
  bool Fast = false;
  // --setting KEY=VALUE: more of the module's settings for the run, stored as given.
  std::vector<std::pair<std::string, std::string>>
      Settings;  // --fast: the module keeps its session and sends when the line is ready
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
  // The timed line only: PLCs on it (IDs counting up from the first), how many of the last of them
  // never answer, and how long every PLC is off the line at the start.
  int SimPlcs = 1;
  int SimDead = 0;
  uint32_t SimDownMs = 0;
  uint32_t SimBaud = 0;  // a line timed at this rate (with Serial's parity and stop bits); 0: untimed

  bool Simulated() const { return Port == "sim"; }
  bool Ccm() const {
    return Protocol == plcsim::Mode::CcmMasterSlave || Protocol == plcsim::Mode::CcmPeerToPeer;
  }
};

// Parses the arguments after "poll". Throws EPollUsage.
TPollOptions ParsePollOptions(const std::vector<std::string>& args);

// The SNP ID or CCM station of the k-th (from 0) simulated PLC on the line: the first one's, counted
// up (PLC1, PLC2, ...; 2, 3, ...).
std::string SimPlcId(const TPollOptions& options, int k);

// The --help text.
std::string PollUsage();

}  // namespace kelda::host
