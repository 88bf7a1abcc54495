#include "tools/ScanPlan.h"

#include <algorithm>
#include <charconv>
#include <tuple>

namespace kelda::host {

namespace {

// GE's rates, likeliest first; 38400 and above only when asked for (--bauds).
const std::vector<uint32_t> kDefaultBauds = {19200, 9600, 4800, 2400, 1200, 600, 300};
const uint32_t kRateRank[] = {19200, 9600, 38400, 57600, 115200, 4800, 2400, 1200, 600, 300};
constexpr uint32_t kSlowBelow = 9600;

// The characters of the longest exchange of one step of a try (an SNP mailbox and its answer
// with ACKs, an attach and its answer), with room to spare.
constexpr uint32_t kTryCharacters = 100;
constexpr uint32_t kBreakMs = 100;  // the module's break before an SNP or SNP-X attach
constexpr uint32_t kTickMs = 50;    // the module looks at its requests every 50 ms

int64_t Number(const std::string& option, const std::string& text, int64_t low, int64_t high) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value < low || value > high)
    throw EScanUsage(option + " takes a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + text + "\"");
  return value;
}

std::vector<std::string> Split(const std::string& option, const std::string& list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    parts.push_back(list.substr(start, comma - start));
    if (parts.back().empty())
      throw EScanUsage(option + " takes a list separated by commas, not \"" + list + "\"");
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

template <typename T>
void AddOnce(std::vector<T>& values, const T& value) {
  if (std::find(values.begin(), values.end(), value) == values.end()) values.push_back(value);
}

std::size_t RateRank(uint32_t baud) {
  const auto at = std::find(std::begin(kRateRank), std::end(kRateRank), baud);
  return static_cast<std::size_t>(at - std::begin(kRateRank));
}

std::size_t ParityRank(platform::TParity parity) {
  switch (parity) {
    case platform::TParity::Odd:
      return 0;
    case platform::TParity::None:
      return 1;
    case platform::TParity::Even:
      break;
  }
  return 2;
}

void ParseStations(TScanOptions& options, const std::string& text) {
  const std::size_t dash = text.find('-');
  options.FirstStation = static_cast<int>(Number("--stations", text.substr(0, dash), 1, 90));
  options.LastStation = dash == std::string::npos
                            ? options.FirstStation
                            : static_cast<int>(Number("--stations", text.substr(dash + 1), 1, 90));
  if (options.LastStation < options.FirstStation)
    throw EScanUsage("--stations takes FIRST-LAST with FIRST not above LAST, not \"" + text + "\"");
}

void SetOption(TScanOptions& o, const std::string& name, const std::string& value) {
  if (name == "--port") {
    o.Port = value;
  } else if (name == "--bauds") {
    o.Bauds.clear();
    for (const std::string& baud : Split(name, value)) {
      const auto rate = static_cast<uint32_t>(Number(name, baud, 300, 115200));
      if (RateRank(rate) == std::size(kRateRank))
        throw EScanUsage("--bauds: " + baud +
                         " is no serial rate a GE port offers (300, 600, 1200, 2400, 4800, "
                         "9600, 19200, 38400, 57600, 115200)");
      AddOnce(o.Bauds, rate);
    }
  } else if (name == "--parities") {
    o.Parities.clear();
    for (const std::string& parity : Split(name, value)) {
      if (parity == "odd")
        AddOnce(o.Parities, platform::TParity::Odd);
      else if (parity == "none")
        AddOnce(o.Parities, platform::TParity::None);
      else if (parity == "even")
        AddOnce(o.Parities, platform::TParity::Even);
      else
        throw EScanUsage("--parities takes odd, none, even, not \"" + parity + "\"");
    }
  } else if (name == "--stops") {
    o.Stops.clear();
    for (const std::string& stop : Split(name, value))
      AddOnce(o.Stops, static_cast<uint8_t>(Number(name, stop, 1, 2)));
  } else if (name == "--protocols") {
    o.Protocols.clear();
    for (const std::string& word : Split(name, value)) {
      if (word == "snpx")
        AddOnce(o.Protocols, plcsim::Mode::SnpX);
      else if (word == "snp")
        AddOnce(o.Protocols, plcsim::Mode::Snp);
      else if (word == "ccm-peer")
        AddOnce(o.Protocols, plcsim::Mode::CcmPeerToPeer);
      else if (word == "ccm-ms")
        AddOnce(o.Protocols, plcsim::Mode::CcmMasterSlave);
      else
        throw EScanUsage("--protocols takes snpx, snp, ccm-ms, ccm-peer, not \"" + word + "\"");
    }
  } else if (name == "--stations") {
    ParseStations(o, value);
  } else if (name == "--try-timeout") {
    o.TryTimeoutMs = static_cast<uint32_t>(Number(name, value, 20, 10000));
  } else if (name == "--trace") {
    o.TraceFile = value;
  } else if (name == "--write-config") {
    o.ConfigFile = value;
  } else {
    throw EScanUsage("unknown option " + name);
  }
}

}  // namespace

std::string ParityWord(platform::TParity parity) {
  switch (parity) {
    case platform::TParity::Odd:
      return "odd";
    case platform::TParity::None:
      return "none";
    case platform::TParity::Even:
      break;
  }
  return "even";
}

std::string SettingText(const TLineSetting& setting) {
  const char parity = "NOE"[static_cast<int>(setting.Parity)];
  return std::to_string(setting.Baud) + " 8" + parity + std::to_string(setting.StopBits);
}

std::string ProtocolTitle(plcsim::Mode protocol) {
  switch (protocol) {
    case plcsim::Mode::CcmMasterSlave:
      return "CCM master-slave";
    case plcsim::Mode::CcmPeerToPeer:
      return "CCM peer-to-peer";
    case plcsim::Mode::Snp:
      return "SNP";
    case plcsim::Mode::SnpX:
      break;
  }
  return "SNP-X";
}

std::string ProtocolWord(plcsim::Mode protocol) {
  switch (protocol) {
    case plcsim::Mode::CcmMasterSlave:
      return "ccm-ms";
    case plcsim::Mode::CcmPeerToPeer:
      return "ccm-peer";
    case plcsim::Mode::Snp:
      return "snp";
    case plcsim::Mode::SnpX:
      break;
  }
  return "snpx";
}

TScanOptions ParseScanOptions(const std::vector<std::string>& args) {
  TScanOptions options;
  options.Bauds = kDefaultBauds;
  options.Parities = {platform::TParity::Odd, platform::TParity::None, platform::TParity::Even};
  options.Stops = {1, 2};
  options.Protocols = {plcsim::Mode::SnpX, plcsim::Mode::Snp, plcsim::Mode::CcmPeerToPeer,
                       plcsim::Mode::CcmMasterSlave};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
      return options;
    }
    if (arg == "--quiet" || arg == "-q") {
      options.Quiet = true;
      continue;
    }
    if (arg == "--all") {
      options.All = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      if (!options.Library.empty()) throw EScanUsage("unexpected argument \"" + arg + "\"");
      options.Library = arg;
      continue;
    }
    std::string name = arg, value;
    if (const std::size_t equals = arg.find('='); equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    } else {
      if (i + 1 >= args.size()) throw EScanUsage(arg + " needs a value");
      value = args[++i];
    }
    SetOption(options, name, value);
  }
  if (options.Port.empty()) throw EScanUsage("--port is missing: name the serial port (COM3, /dev/ttyUSB0)");
  return options;
}

std::string ScanUsage() {
  return "usage: kelda-host scan [<library>] --port COMn|/dev/ttyX [options]\n"
         "Finds what a GE PLC on the port speaks: each protocol at each line setting, through the module.\n"
         "  <library>             kelda.dll or libkelda.so (default: the one beside this program)\n"
         "  --port P              the serial port\n"
         "  --bauds LIST          rates to try (default 19200,9600,4800,2400,1200,600,300; also "
         "38400,57600,115200)\n"
         "  --parities LIST       odd,none,even (default all three; CCM is tried at odd and none only)\n"
         "  --stops LIST          1,2 (default both)\n"
         "  --protocols LIST      snpx,snp,ccm-peer,ccm-ms (default all)\n"
         "  --stations A-B        CCM master-slave stations to ask (default 1-16)\n"
         "  --try-timeout MS      how long each try waits for an answer (default 300)\n"
         "  --all                 go on after the first PLC that answers\n"
         "  --trace FILE          the wire trace of every try\n"
         "  --write-config FILE   a configuration for the PLC found, to poll it with\n"
         "  --quiet               no progress line\n"
         "Exit status: 0 found, 1 nothing answered or the port failed, 2 usage, 130 Ctrl+C.\n";
}

std::vector<TLineSetting> ScanSettings(const TScanOptions& options) {
  std::vector<TLineSetting> settings;
  for (uint32_t baud : options.Bauds)
    for (platform::TParity parity : options.Parities)
      for (uint8_t stop : options.Stops) settings.push_back({baud, parity, stop});
  auto key = [](const TLineSetting& s) {
    return std::make_tuple(s.Baud < kSlowBelow, s.StopBits, RateRank(s.Baud), ParityRank(s.Parity));
  };
  std::stable_sort(settings.begin(), settings.end(),
                   [&](const TLineSetting& a, const TLineSetting& b) { return key(a) < key(b); });
  return settings;
}

std::vector<TScanStep> ScanPlan(const TScanOptions& options) {
  static const plcsim::Mode kOrder[] = {plcsim::Mode::SnpX, plcsim::Mode::Snp, plcsim::Mode::CcmPeerToPeer,
                                        plcsim::Mode::CcmMasterSlave};
  std::vector<TScanStep> plan;
  for (const TLineSetting& line : ScanSettings(options)) {
    for (plcsim::Mode protocol : kOrder) {
      if (std::find(options.Protocols.begin(), options.Protocols.end(), protocol) == options.Protocols.end())
        continue;
      TScanStep step{line, protocol, {}};
      if (protocol == plcsim::Mode::Snp || protocol == plcsim::Mode::SnpX) {
        step.Addresses = {""};
      } else if (line.Parity == platform::TParity::Even) {
        continue;
      } else if (protocol == plcsim::Mode::CcmPeerToPeer) {
        step.Addresses = {std::to_string(kAnyPeer)};
      } else {
        for (int station = options.FirstStation; station <= options.LastStation; ++station)
          step.Addresses.push_back(std::to_string(station));
      }
      plan.push_back(step);
    }
  }
  return plan;
}

std::size_t TryCount(const std::vector<TScanStep>& plan) {
  std::size_t tries = 0;
  for (const TScanStep& step : plan) tries += step.Addresses.size();
  return tries;
}

uint32_t HandshakeMs(const TScanOptions& options, const TLineSetting& setting) {
  const uint32_t bits = 1 + 8 + (setting.Parity == platform::TParity::None ? 0 : 1) + setting.StopBits;
  const uint32_t wireMs = (kTryCharacters * bits * 1000 + setting.Baud - 1) / setting.Baud;
  return options.TryTimeoutMs + wireMs;
}

uint32_t TryBudgetMs(const TScanOptions& options, const TLineSetting& setting) {
  return HandshakeMs(options, setting) + kBreakMs + kTickMs;
}

}  // namespace kelda::host
