// "kelda-host scan": the command line and the order of the tries. A try is one protocol at one
// line setting addressed one way (SNP and SNP-X: the null ID, which any PLC on a point-to-point
// line answers with its own; CCM master-slave: one station; CCM peer-to-peer: the any-peer
// target). The likeliest tries come first, so that a PLC with common settings is found in
// seconds: GE's factory default 19200 8O1, then the other parities at 19200 and 9600, then the
// same with two stop bits, then the slow rates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "tools/plcsim/PlcSim.h"

namespace kelda::host {

// A command line the scan cannot run; what() says which argument and why.
class EScanUsage : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct TLineSetting {
  uint32_t Baud = 19200;
  platform::TParity Parity = platform::TParity::Odd;
  uint8_t StopBits = 1;

  bool operator==(const TLineSetting& other) const {
    return Baud == other.Baud && Parity == other.Parity && StopBits == other.StopBits;
  }
};

std::string SettingText(const TLineSetting& setting);  // "19200 8O1"
std::string ParityWord(platform::TParity parity);      // "odd", "none", "even"

// Any peer takes a CCM peer-to-peer header sent to this target.
constexpr int kAnyPeer = 255;

struct TScanOptions {
  std::string Library;  // empty: the library beside the program
  std::string Port;
  std::vector<uint32_t> Bauds;  // in the order they are tried
  std::vector<platform::TParity> Parities;
  std::vector<uint8_t> Stops;
  std::vector<plcsim::Mode> Protocols;
  int FirstStation = 1, LastStation = 16;  // CCM master-slave
  uint32_t TryTimeoutMs = 300;
  bool All = false;  // every try, instead of stopping at the first PLC that answers
  std::string TraceFile;
  std::string ConfigFile;  // --write-config
  bool Quiet = false;
  bool Help = false;
};

// Parses the arguments after "scan". Throws EScanUsage.
TScanOptions ParseScanOptions(const std::vector<std::string>& args);
std::string ScanUsage();

// One run of the module: a protocol at a line setting, with the addresses it tries in turn
// (one request each).
struct TScanStep {
  TLineSetting Line;
  plcsim::Mode Protocol = plcsim::Mode::SnpX;
  std::vector<std::string> Addresses;  // "" for the SNP null ID, station numbers for CCM
};

// The line settings in the order they are tried.
std::vector<TLineSetting> ScanSettings(const TScanOptions& options);
// Every step: each setting in turn, and at each the protocols (CCM only at odd or no parity,
// the only ones GE's CCM ports offer).
std::vector<TScanStep> ScanPlan(const TScanOptions& options);
std::size_t TryCount(const std::vector<TScanStep>& plan);

// The time the module may wait for each answer of a try: the time-out asked for plus the time
// the longest exchange of a try takes on the wire at the setting's rate, so that a slow line
// is not given up while its answer is still arriving.
uint32_t HandshakeMs(const TScanOptions& options, const TLineSetting& setting);
// The longest a try can last when nothing answers: its waits, the line break before an SNP
// attach and the module's turn of 50 ms.
uint32_t TryBudgetMs(const TScanOptions& options, const TLineSetting& setting);

// "SNP-X", "CCM master-slave", ...; and the poller's --protocol word.
std::string ProtocolTitle(plcsim::Mode protocol);
std::string ProtocolWord(plcsim::Mode protocol);

}  // namespace kelda::host
