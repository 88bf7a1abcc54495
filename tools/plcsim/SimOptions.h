// The command line of kelda-plcsim.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/plcsim/PlcSim.h"

namespace kelda::plcsim {

enum class Transport { Stdio, Tcp, Serial };
enum class LineParity { None, Odd, Even };

struct SimOptions {
  Mode mode = Mode::SnpX;
  std::string snpId = "PLC1";
  uint8_t ccmId = 2;
  std::string memoryFile;  // empty: all memory zero
  std::string saveFile;    // empty: nothing saved at exit
  Transport transport = Transport::Stdio;
  uint16_t tcpPort = 0;
  std::string device;
  uint32_t baud = 19200;
  LineParity parity = LineParity::Odd;  // GE's serial ports default to odd parity
  uint8_t stopBits = 1;
  bool timedLine = false;  // --baud on --tcp or --stdio: bytes paced at that rate, GE's gaps kept
  bool breakRequired = false;
  size_t snpDataSize = 1000;          // SNP text buffer data size
  bool ccmLrcIncludesFraming = true;  // false: --data-only-lrc
  Faults faults;
  bool verbose = false;
  bool help = false;  // --help: print the usage and stop
};

// A command line the program refuses; what() is one line naming the option and the fix.
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The value of an error-nack option, "N" or "N:MAJOR:MINOR" (two hex digits each): `count` gets
// N as written; `major` and `minor` keep their values when no codes follow. False when the codes
// are malformed or the major is 00 (success, no refusal).
bool SplitErrorNack(const std::string& value, std::string& count, uint8_t& major, uint8_t& minor);

// Parses the arguments after the program name. Throws UsageError.
SimOptions ParseSimOptions(const std::vector<std::string>& args);

// The usage text printed by --help and after a usage error.
std::string SimUsage();

}  // namespace kelda::plcsim
