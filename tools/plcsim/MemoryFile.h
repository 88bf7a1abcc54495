// The simulator's memory as a text a person writes and reads:
//
//   # comment
//   %R1 = 1200 1250 -125 0x1F4    words from %R1 on (also %AI, %AQ): decimal, negative or 0x hex
//   %I1 = 1 0 1 1                 bits from %I1 on (also %Q %M %T %G %S %SA %SB %SC)
//   STATUS = 0x0000               the PLC status word
//
// References count from 1 as GE numbers them (%R1 is the first register).
#pragma once

#include <stdexcept>
#include <string>

#include "tools/plcsim/PlcSim.h"

namespace kelda::plcsim {

// What() names the file and, for a fault in its text, the line: "memory.txt:3: unknown table %X".
class MemoryFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Applies the text's values to the simulator; `source` names the text in errors. Nothing is
// changed when the text has a fault.
void LoadMemoryText(const std::string& text, const std::string& source, Simulator& sim);
void LoadMemoryFile(const std::string& path, Simulator& sim);

// The status word and every run of non-zero values, in the format LoadMemoryText reads, so that
// loading it into a fresh simulator gives the same memory.
std::string SaveMemoryText(const Simulator& sim);
// Writes through a temporary file renamed into place, so an interrupted save leaves the old file.
void SaveMemoryFile(const std::string& path, const Simulator& sim);

}  // namespace kelda::plcsim
