#include "tools/PollLine.h"

#include "tools/PollOptions.h"
#include "tools/PollTimedLine.h"
#include "tools/plcsim/MemoryFile.h"

namespace kelda::host {

namespace {

constexpr uint8_t kWordTables[] = {0x08, 0x0A, 0x0C};  // %R, %AI, %AQ
constexpr std::size_t kDefaultChunk = 7;

std::string DefaultSimId(const TPollOptions& options) {
  if (!options.SimId.empty()) return options.SimId;
  return options.Ccm() ? "2" : "PLC1";
}

plcsim::Faults FaultsOf(const TPollOptions& options) {
  plcsim::Faults faults;
  faults.noiseBeforeFrames = options.SimNoise;
  faults.corruptCheck = options.SimCorrupt;
  faults.nak = options.SimNak;
  faults.silent = options.SimSilent;
  faults.lateMs = options.SimDelayMs;
  faults.repeatFrame = options.SimRepeat;
  faults.noiseEveryMs = options.SimNoiseEveryMs;
  faults.endlessChain = options.SimEndlessChain;
  faults.errorNack = options.SimErrorNack;
  faults.errorNackMajor = options.SimErrorNackMajor;
  faults.errorNackMinor = options.SimErrorNackMinor;
  faults.extraByte = options.SimExtraByte ? -1 : 0;
  faults.ccmPad = options.SimCcmPad ? -1 : 0;
  plcsim::ValidateFaults(faults);
  return faults;
}

const char* ParityName(platform::TParity parity) {
  switch (parity) {
    case platform::TParity::None:
      return "N";
    case platform::TParity::Even:
      return "E";
    case platform::TParity::Odd:
      break;
  }
  return "O";
}

}  // namespace

void PresetMemory(plcsim::Simulator& plc) {
  for (uint8_t table : kWordTables) {
    const uint32_t size = plc.tableSize(table);
    for (uint32_t i = 0; i < size; ++i) plc.setWord(table, i, static_cast<uint16_t>(i + 1));
  }
}

TSimulatedPollLine::TSimulatedPollLine(const TPollOptions& options)
    : FLine(options.Protocol, SimulatedPlcSnpId(options), SimulatedPlcCcmId(options),
            options.SimChunk ? options.SimChunk : kDefaultChunk, 1) {
  SetUpSimulatedPlc(FLine.Plc(), options);
  FDescription = SimulatedPlcName(options);
}

void SetUpSimulatedPlc(plcsim::Simulator& plc, const TPollOptions& options) {
  plc.setFaults(FaultsOf(options));
  if (options.SimSnpDataSize != 0) plc.setSnpDataSize(options.SimSnpDataSize);
  plc.setCcmLrcIncludesFraming(!options.SimDataOnlyLrc);
  if (options.SimMemory.empty())
    PresetMemory(plc);
  else
    plcsim::LoadMemoryFile(options.SimMemory, plc);
}

std::string SimulatedPlcName(const TPollOptions& options) {
  return "the built-in simulated PLC (" + std::string(options.Ccm() ? "CCM station " : "SNP ID ") +
         DefaultSimId(options) + ")";
}

std::string SimulatedPlcSnpId(const TPollOptions& options) {
  return options.Ccm() ? "PLC1" : DefaultSimId(options);
}

uint8_t SimulatedPlcCcmId(const TPollOptions& options) {
  return static_cast<uint8_t>(options.Ccm() ? std::stoi(DefaultSimId(options)) : 2);
}

bool TSimulatedPollLine::Break(uint32_t ms, uint64_t now) {
  FLine.Write("<<BREAK=" + std::to_string(ms) + ">>", now);
  return true;
}

TSerialPollLine::TSerialPollLine(const TPollOptions& options)
    : FPort(platform::TSerialPort::Open(options.Port, options.Serial)) {
  FDescription = options.Port + " at " + std::to_string(options.Serial.BaudRate) + " baud, 8" +
                 ParityName(options.Serial.Parity) + std::to_string(options.Serial.StopBits);
}

void TSerialPollLine::Write(const std::string& bytes, uint64_t) {
  FPort->Write(bytes.data(), bytes.size());
}

std::vector<std::string> TSerialPollLine::Read(uint64_t) {
  char buffer[512];
  // No wait here: the loop waits for the host's messages and comes back within a millisecond.
  const std::size_t got = FPort->Read(buffer, sizeof buffer, 0);
  if (got == 0) return {};
  return {std::string(buffer, got)};
}

trace::TProtocol TraceProtocolOf(plcsim::Mode protocol) {
  switch (protocol) {
    case plcsim::Mode::CcmMasterSlave:
      return trace::TProtocol::CcmMasterSlave;
    case plcsim::Mode::CcmPeerToPeer:
      return trace::TProtocol::CcmPeerToPeer;
    case plcsim::Mode::Snp:
      return trace::TProtocol::Snp;
    case plcsim::Mode::SnpX:
      break;
  }
  return trace::TProtocol::SnpX;
}

std::unique_ptr<TPollLine> OpenPollLine(const TPollOptions& options) {
  if (options.Simulated() && options.SimBaud != 0) return std::make_unique<TTimedPollLine>(options);
  if (options.Simulated()) return std::make_unique<TSimulatedPollLine>(options);
  return std::make_unique<TSerialPollLine>(options);
}

}  // namespace kelda::host
