#include "tools/plcsim/SimOptions.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace kelda::plcsim {

namespace {

constexpr uint32_t kMaxDelayMs = 60000;
constexpr uint32_t kMaxChunk = 65536;
constexpr uint32_t kMaxNoiseEveryMs = 60000;
constexpr uint32_t kMaxSnpDataSize = 8192;

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() <= 9 && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

// A whole number in [low, high].
uint32_t Number(const std::string& option, const std::string& value, uint32_t low, uint32_t high) {
  if (!IsNumber(value) || std::stoul(value) < low || std::stoul(value) > high)
    throw UsageError(option + " " + value + ": expected a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high));
  return static_cast<uint32_t>(std::stoul(value));
}

// How many answers a fault touches: a count, or "always".
int FaultCount(const std::string& option, const std::string& value) {
  if (value == "always") return -1;
  if (!IsNumber(value) || std::stoul(value) == 0)
    throw UsageError(option + " " + value + ": expected how many answers to spoil (1 or more) or \"always\"");
  return static_cast<int>(std::stoul(value));
}

Mode ParseMode(const std::string& value) {
  static const std::map<std::string, Mode> kModes = {{"ccm-ms", Mode::CcmMasterSlave},
                                                     {"ccm-peer", Mode::CcmPeerToPeer},
                                                     {"snp", Mode::Snp},
                                                     {"snpx", Mode::SnpX}};
  const auto it = kModes.find(value);
  if (it == kModes.end())
    throw UsageError("--mode " + value + ": unknown protocol; use ccm-ms, ccm-peer, snp or snpx");
  return it->second;
}

LineParity ParseParity(const std::string& value) {
  if (value == "odd") return LineParity::Odd;
  if (value == "even") return LineParity::Even;
  if (value == "none") return LineParity::None;
  throw UsageError("--parity " + value + ": use odd, even or none");
}

bool IsCcm(Mode mode) {
  return mode == Mode::CcmMasterSlave || mode == Mode::CcmPeerToPeer;
}

bool HexByte(const std::string& text, uint8_t& value) {
  if (text.size() != 2 || !std::isxdigit(static_cast<unsigned char>(text[0])) ||
      !std::isxdigit(static_cast<unsigned char>(text[1])))
    return false;
  value = static_cast<uint8_t>(std::stoul(text, nullptr, 16));
  return true;
}

void ApplyErrorNack(SimOptions& o, const std::string& value) {
  std::string count;
  if (!SplitErrorNack(value, count, o.faults.errorNackMajor, o.faults.errorNackMinor))
    throw UsageError(
        "--error-nack " + value +
        ": expected N or N:MAJOR:MINOR, the codes two hex digits each and MAJOR not 00 (e.g. 3:05:F4)");
  o.faults.errorNack = FaultCount("--error-nack", count);
}

void ApplyId(SimOptions& o, const std::string& id) {
  if (IsCcm(o.mode)) {
    const uint32_t high = o.mode == Mode::CcmMasterSlave ? 90 : 254;
    o.ccmId = static_cast<uint8_t>(Number("--id", id, 1, high));
    return;
  }
  if (id.empty() || id.size() > 7)
    throw UsageError("--id " + id + ": an SNP ID has 1 to 7 characters (as set in the PLC's configuration)");
  for (char c : id)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
      throw UsageError("--id: an SNP ID has printable characters only");
  o.snpId = id;
}

// Options that need a value; the rest are switches.
bool TakesValue(const std::string& option) {
  static const char* const kValued[] = {
      "--mode",          "--id",         "--memory",       "--save",  "--tcp",     "--serial",
      "--baud",          "--parity",     "--stop",         "--noise", "--corrupt", "--nak",
      "--silent",        "--delay",      "--repeat",       "--chunk", "--seed",    "--noise-every",
      "--endless-chain", "--error-nack", "--snp-data-size"};
  return std::find_if(std::begin(kValued), std::end(kValued), [&](const char* o) { return option == o; }) !=
         std::end(kValued);
}

// Refuses options that would be silently ignored: line settings without a serial line, a
// second transport, noise kinds without noise.
void CheckCombination(const SimOptions& o, const std::map<std::string, std::string>& given) {
  int transports = 0;
  for (const char* t : {"--stdio", "--tcp", "--serial"}) transports += given.count(t) ? 1 : 0;
  if (transports > 1) throw UsageError("choose one of --stdio, --tcp PORT and --serial DEVICE");
  if (o.transport != Transport::Serial) {
    // On --tcp and --stdio, --baud makes a timed line and --parity and --stop shape its characters.
    for (const char* s : {"--parity", "--stop"})
      if (given.count(s) && !given.count("--baud"))
        throw UsageError(std::string(s) +
                         " applies to a serial line or a timed line; add --serial DEVICE or --baud N, or "
                         "leave it out");
    if (given.count("--break-required"))
      throw UsageError("--break-required applies to a serial line only; add --serial DEVICE or leave it out");
  }
  if (given.count("--noise-any") && !given.count("--noise") && !given.count("--noise-every"))
    throw UsageError(
        "--noise-any changes the noise of --noise N and --noise-every MS; add one or leave it out");
  // A fault of another protocol would change nothing.
  const struct {
    const char* option;
    bool fits;
    const char* modes;
  } kProtocolFaults[] = {
      {"--endless-chain", o.mode == Mode::Snp, "--mode snp"},
      {"--error-nack", o.mode == Mode::Snp, "--mode snp"},
      {"--snp-data-size", o.mode == Mode::Snp, "--mode snp"},
      {"--extra-byte", o.mode == Mode::SnpX, "--mode snpx"},
      {"--ccm-pad", IsCcm(o.mode), "--mode ccm-ms or ccm-peer"},
      {"--data-only-lrc", IsCcm(o.mode), "--mode ccm-ms or ccm-peer"},
  };
  for (const auto& f : kProtocolFaults)
    if (given.count(f.option) && !f.fits)
      throw UsageError(std::string(f.option) + " applies to " + f.modes +
                       " only; leave it out for this mode");
}

}  // namespace

bool SplitErrorNack(const std::string& value, std::string& count, uint8_t& major, uint8_t& minor) {
  const size_t colon = value.find(':');
  count = value.substr(0, colon);
  if (colon == std::string::npos) return true;
  const std::string codes = value.substr(colon + 1);
  const size_t second = codes.find(':');
  uint8_t newMajor = 0, newMinor = 0;
  if (second == std::string::npos || !HexByte(codes.substr(0, second), newMajor) ||
      !HexByte(codes.substr(second + 1), newMinor) || newMajor == 0)
    return false;
  major = newMajor;
  minor = newMinor;
  return true;
}

SimOptions ParseSimOptions(const std::vector<std::string>& args) {
  std::map<std::string, std::string> given;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help" || option == "-h") {
      SimOptions o;
      o.help = true;
      return o;
    }
    if (given.count(option)) throw UsageError(option + " is given twice; give it once");
    if (TakesValue(option)) {
      if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0)
        throw UsageError(option + " needs a value; see --help");
      given[option] = args[++i];
    } else if (option == "--stdio" || option == "--noise-any" || option == "--break-required" ||
               option == "--verbose" || option == "--extra-byte" || option == "--ccm-pad" ||
               option == "--data-only-lrc") {
      given[option] = "";
    } else {
      throw UsageError("unknown option \"" + option + "\"; see --help");
    }
  }

  if (!given.count("--mode")) throw UsageError("--mode is missing; use --mode ccm-ms, ccm-peer, snp or snpx");
  SimOptions o;
  const auto value = [&](const char* option) -> const std::string* {
    const auto it = given.find(option);
    return it == given.end() ? nullptr : &it->second;
  };
  if (const auto* v = value("--mode")) o.mode = ParseMode(*v);
  if (const auto* v = value("--id")) ApplyId(o, *v);
  if (const auto* v = value("--memory")) o.memoryFile = *v;
  if (const auto* v = value("--save")) o.saveFile = *v;
  if (const auto* v = value("--tcp")) {
    o.transport = Transport::Tcp;
    o.tcpPort = static_cast<uint16_t>(Number("--tcp", *v, 1, 65535));
  }
  if (const auto* v = value("--serial")) {
    o.transport = Transport::Serial;
    o.device = *v;
  }
  if (const auto* v = value("--baud")) o.baud = Number("--baud", *v, 300, 921600);
  if (const auto* v = value("--parity")) o.parity = ParseParity(*v);
  if (const auto* v = value("--stop")) o.stopBits = static_cast<uint8_t>(Number("--stop", *v, 1, 2));
  if (const auto* v = value("--noise")) o.faults.noiseBeforeFrames = FaultCount("--noise", *v);
  if (const auto* v = value("--corrupt")) o.faults.corruptCheck = FaultCount("--corrupt", *v);
  if (const auto* v = value("--nak")) o.faults.nak = FaultCount("--nak", *v);
  if (const auto* v = value("--silent")) o.faults.silent = FaultCount("--silent", *v);
  if (const auto* v = value("--repeat")) o.faults.repeatFrame = FaultCount("--repeat", *v);
  if (const auto* v = value("--delay"))
    o.faults.lateMs = static_cast<int>(Number("--delay", *v, 0, kMaxDelayMs));
  if (const auto* v = value("--chunk")) o.faults.chunkSize = Number("--chunk", *v, 1, kMaxChunk);
  if (const auto* v = value("--seed")) o.faults.seed = Number("--seed", *v, 0, 999999999);
  if (const auto* v = value("--noise-every"))
    o.faults.noiseEveryMs = static_cast<int>(Number("--noise-every", *v, 1, kMaxNoiseEveryMs));
  if (const auto* v = value("--endless-chain")) o.faults.endlessChain = FaultCount("--endless-chain", *v);
  if (const auto* v = value("--error-nack")) ApplyErrorNack(o, *v);
  if (const auto* v = value("--snp-data-size"))
    o.snpDataSize = Number("--snp-data-size", *v, 1, kMaxSnpDataSize);
  // A slave that behaves so does it every time.
  if (given.count("--extra-byte")) o.faults.extraByte = -1;
  if (given.count("--ccm-pad")) o.faults.ccmPad = -1;
  o.ccmLrcIncludesFraming = !given.count("--data-only-lrc");
  o.faults.noiseSafe = !given.count("--noise-any");
  o.breakRequired = given.count("--break-required") > 0;
  o.verbose = given.count("--verbose") > 0;
  o.timedLine = o.transport != Transport::Serial && given.count("--baud") > 0;
  CheckCombination(o, given);
  return o;
}

std::string SimUsage() {
  return "usage: kelda-plcsim --mode ccm-ms|ccm-peer|snp|snpx [--id ID] [--memory FILE] [--save FILE]\n"
         "                    [--stdio | --tcp PORT | --serial DEVICE] [--baud N] [--parity odd|even|none]\n"
         "                    [--stop 1|2] [--noise N] [--noise-any] [--noise-every MS] [--corrupt N]\n"
         "                    [--nak N] [--silent N] [--delay MS] [--repeat N] [--chunk BYTES] [--seed N]\n"
         "                    [--endless-chain N] [--error-nack N[:MAJOR:MINOR]] [--snp-data-size BYTES]\n"
         "                    [--extra-byte] [--ccm-pad] [--data-only-lrc] [--break-required] [--verbose]\n"
         "\n"
         "A GE PLC on a line: answers a master in the chosen protocol from its memory.\n"
         "  --mode        ccm-ms (CCM master-slave), ccm-peer (CCM peer-to-peer), snp, snpx\n"
         "  --id          SNP ID (default PLC1) or CCM CPU ID (default 2)\n"
         "  --memory      load the memory from a text file (%R1 = 1200 1250 ...; STATUS = 0x0000)\n"
         "  --save        write the memory to a text file when the program ends\n"
         "  --stdio       the line is standard input/output (default); messages go to standard error\n"
         "  --tcp         listen on this TCP port of 127.0.0.1, one master at a time\n"
         "  --serial      a serial device: COM3 on Windows, /dev/ttyUSB0 or /dev/pts/N on Linux\n"
         "  --baud --parity --stop   line settings of --serial (default 19200, odd, 1); with --tcp or\n"
         "                --stdio, --baud N times the line: every byte takes its time at N baud both\n"
         "                ways and the PLC keeps GE's gaps (SNP T1, the CCM enquiry delay)\n"
         "  --break-required  on --serial: refuse an attach that no line break preceded\n"
         "  --snp-data-size BYTES  snp: data bytes per text buffer, 1 to 8192 (default 1000)\n"
         "Faults, N = how many answers, or \"always\":\n"
         "  --noise N     random bytes before an answer (--noise-any: any byte value)\n"
         "  --noise-every MS  one noise byte every MS ms, whatever the traffic\n"
         "  --corrupt N   a wrong check byte      --nak N     refuse the request\n"
         "  --silent N    no answer at all        --repeat N  data frames sent twice\n"
         "  --delay MS    every answer that much later\n"
         "  --chunk BYTES answers handed out in pieces   --seed N  noise generator seed\n"
         "  --endless-chain N  snp: N reads whose text buffers never end\n"
         "  --error-nack N[:MAJOR:MINOR]  snp: N reads refused with an error nack (default 05:F4)\n"
         "  --extra-byte  snpx: every X-Read answered with one data byte more than asked\n"
         "  --ccm-pad     ccm: an odd byte count's last block padded with 00 to whole registers\n"
         "  --data-only-lrc  ccm: the data blocks' LRC over the data bytes only\n"
         "  --verbose     log each event of the PLC to standard error\n";
}

}  // namespace kelda::plcsim
