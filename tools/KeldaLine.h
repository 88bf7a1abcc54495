// A serial line between the host and a simulated GE PLC, as the host's port would carry it: what
// the module asks the host to write reaches the PLC, and what the PLC answers is read back in
// pieces of random size, the way a serial port hands over whatever has arrived so far.
//
// The port control text "<<BREAK=n>>" is never written as bytes: it holds the line in the break
// state (n ms), which the PLC sees as a long break.
//
// Not thread-safe: the host serialises calls (see TKeldaHost).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tools/plcsim/PlcSim.h"

namespace kelda::host {

class TSimulatedLine {
public:
  // maxChunk: the largest piece a read hands over (at least 1); seed: the pieces' sizes.
  TSimulatedLine(plcsim::Mode mode, std::string snpId, uint8_t ccmId, std::size_t maxChunk, uint32_t seed);

  plcsim::Simulator& Plc() { return FPlc; }
  const plcsim::Simulator& Plc() const { return FPlc; }

  // Bytes the host was asked to write to the port at time now (ms).
  void Write(const std::string& bytes, uint64_t now);
  // The PLC's answers due by now, cut into pieces of 1..maxChunk bytes.
  std::vector<std::string> Read(uint64_t now);

  int Writes() const { return FWrites; }  // write requests, breaks included
  int Breaks() const { return FBreaks; }
  std::size_t BytesWritten() const { return FBytesWritten; }
  std::size_t BytesRead() const { return FBytesRead; }

private:
  plcsim::Simulator FPlc;
  std::size_t FMaxChunk;
  std::mt19937 FRandom;
  int FWrites = 0;
  int FBreaks = 0;
  std::size_t FBytesWritten = 0;
  std::size_t FBytesRead = 0;
};

// Whether bytes are a port control text for a line break ("<<BREAK=" digits ">>").
bool IsBreakCommand(const std::string& bytes);

}  // namespace kelda::host
