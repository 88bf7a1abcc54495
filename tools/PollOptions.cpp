#include "tools/PollOptions.h"

#include <charconv>
#include <functional>
#include <map>

#include "tools/PollSettings.h"
#include "tools/plcsim/SimOptions.h"

namespace kelda::host {

namespace {

int64_t Number(const std::string& option, const std::string& text, int64_t low, int64_t high) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || at != end || value < low || value > high)
    throw EPollUsage(option + " takes a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not \"" + text + "\"");
  return value;
}

// A fault count: how many answers the fault spoils, or "always".
int FaultCount(const std::string& option, const std::string& text) {
  if (text == "always") return -1;
  return static_cast<int>(Number(option, text, -1, 1000000));
}

plcsim::Mode ProtocolOf(const std::string& text) {
  static const std::map<std::string, plcsim::Mode> modes = {{"ccm-ms", plcsim::Mode::CcmMasterSlave},
                                                            {"ccm-peer", plcsim::Mode::CcmPeerToPeer},
                                                            {"snp", plcsim::Mode::Snp},
                                                            {"snpx", plcsim::Mode::SnpX}};
  auto found = modes.find(text);
  if (found == modes.end())
    throw EPollUsage("--protocol is one of ccm-ms, ccm-peer, snp, snpx, not \"" + text + "\"");
  return found->second;
}

platform::TParity ParityOf(const std::string& text) {
  if (text == "odd") return platform::TParity::Odd;
  if (text == "even") return platform::TParity::Even;
  if (text == "none") return platform::TParity::None;
  throw EPollUsage("--parity is odd, even or none, not \"" + text + "\"");
}

// The simulated PLC's identity must be one the module can address on that protocol.
void CheckSimId(const TPollOptions& options) {
  if (options.SimId.empty()) return;
  if (options.Ccm()) {
    Number("--sim-id", options.SimId, 1, 90);
  } else if (options.SimId.size() > 7) {
    throw EPollUsage("--sim-id: an SNP ID has at most 7 characters, not \"" + options.SimId + "\"");
  }
}

// Several PLCs, dead ones and a late start exist on the timed line only, and every PLC's ID must be
// one the module can address.
void CheckLineOfPlcs(const TPollOptions& o) {
  const bool given = o.SimPlcs != 1 || o.SimDead != 0 || o.SimDownMs != 0;
  if (given && o.SimBaud == 0)
    throw EPollUsage("--sim-plcs, --sim-dead and --sim-down need the timed line: add --sim-baud N");
  if (o.SimDead > o.SimPlcs)
    throw EPollUsage("--sim-dead " + std::to_string(o.SimDead) + ": the line has only " +
                     std::to_string(o.SimPlcs) + " PLC(s) (--sim-plcs)");
  const std::string last = SimPlcId(o, o.SimPlcs - 1);
  if (o.Ccm() ? std::stoi(last) > 90 : last.size() > 7)
    throw EPollUsage("--sim-plcs " + std::to_string(o.SimPlcs) + ": the last PLC's ID " + last +
                     " cannot be addressed; choose a smaller --sim-id or fewer PLCs");
}

// A fault of another protocol's PLC would be silently ignored.
void CheckSimFaultsFitProtocol(const TPollOptions& o) {
  const bool snp = o.Protocol == plcsim::Mode::Snp, snpx = o.Protocol == plcsim::Mode::SnpX;
  const struct {
    const char* Option;
    bool Given;
    bool Fits;
    const char* Protocols;
  } faults[] = {
      {"--sim-endless-chain", o.SimEndlessChain != 0, snp, "snp"},
      {"--sim-error-nack", o.SimErrorNack != 0, snp, "snp"},
      {"--sim-snp-data-size", o.SimSnpDataSize != 0, snp, "snp"},
      {"--sim-extra-byte", o.SimExtraByte, snpx, "snpx"},
      {"--sim-ccm-pad", o.SimCcmPad, o.Ccm(), "ccm-ms and ccm-peer"},
      {"--sim-data-only-lrc", o.SimDataOnlyLrc, o.Ccm(), "ccm-ms and ccm-peer"},
  };
  for (const auto& f : faults)
    if (f.Given && !f.Fits)
      throw EPollUsage(std::string(f.Option) + " applies to --protocol " + f.Protocols + " only, not " +
                       o.ProtocolName);
}

void SetErrorNack(TPollOptions& o, const std::string& value) {
  std::string count;
  if (!plcsim::SplitErrorNack(value, count, o.SimErrorNackMajor, o.SimErrorNackMinor))
    throw EPollUsage(
        "--sim-error-nack takes N or N:MAJOR:MINOR, the codes two hex digits each and MAJOR "
        "not 00 (e.g. 3:05:F4), not \"" +
        value + "\"");
  o.SimErrorNack = FaultCount("--sim-error-nack", count);
}

using TSetter = std::function<void(TPollOptions&, const std::string&)>;
using TSwitch = std::function<void(TPollOptions&)>;

// The simulated PLC's kinds of misbehaviour that take no value.
const std::map<std::string, TSwitch>& Switches() {
  static const std::map<std::string, TSwitch> switches = {
      {"--sim-extra-byte", [](TPollOptions& o) { o.SimExtraByte = true; }},
      {"--sim-ccm-pad", [](TPollOptions& o) { o.SimCcmPad = true; }},
      {"--sim-data-only-lrc", [](TPollOptions& o) { o.SimDataOnlyLrc = true; }},
  };
  return switches;
}

const std::map<std::string, TSetter>& Setters() {
  static const std::map<std::string, TSetter> setters = {
      {"--config", [](TPollOptions& o, const std::string& v) { o.ConfigFile = v; }},
      {"--protocol",
       [](TPollOptions& o, const std::string& v) {
         o.Protocol = ProtocolOf(v);
         o.ProtocolName = v;
       }},
      {"--port", [](TPollOptions& o, const std::string& v) { o.Port = v; }},
      {"--baud",
       [](TPollOptions& o, const std::string& v) {
         o.Serial.BaudRate = static_cast<uint32_t>(Number("--baud", v, 300, 115200));
       }},
      {"--parity", [](TPollOptions& o, const std::string& v) { o.Serial.Parity = ParityOf(v); }},
      {"--stop",
       [](TPollOptions& o, const std::string& v) {
         o.Serial.StopBits = static_cast<uint8_t>(Number("--stop", v, 1, 2));
       }},
      {"--local-id",
       [](TPollOptions& o, const std::string& v) {
         o.LocalId = static_cast<int>(Number("--local-id", v, 0, 255));
       }},
      {"--min-interval",
       [](TPollOptions& o, const std::string& v) {
         o.MinIntervalMs = static_cast<int>(Number("--min-interval", v, 0, 3600000));
       }},
      {"--seconds",
       [](TPollOptions& o, const std::string& v) {
         o.Seconds = static_cast<uint32_t>(Number("--seconds", v, 1, 31 * 24 * 3600));
       }},
      {"--transactions",
       [](TPollOptions& o, const std::string& v) {
         o.Transactions = static_cast<uint64_t>(Number("--transactions", v, 1, INT64_MAX));
       }},
      {"--csv", [](TPollOptions& o, const std::string& v) { o.CsvFile = v; }},
      {"--trace", [](TPollOptions& o, const std::string& v) { o.TraceFile = v; }},
      {"--report", [](TPollOptions& o, const std::string& v) { o.ReportFile = v; }},
      {"--sim-id", [](TPollOptions& o, const std::string& v) { o.SimId = v; }},
      {"--sim-memory", [](TPollOptions& o, const std::string& v) { o.SimMemory = v; }},
      {"--sim-noise",
       [](TPollOptions& o, const std::string& v) { o.SimNoise = FaultCount("--sim-noise", v); }},
      {"--sim-corrupt",
       [](TPollOptions& o, const std::string& v) { o.SimCorrupt = FaultCount("--sim-corrupt", v); }},
      {"--sim-nak", [](TPollOptions& o, const std::string& v) { o.SimNak = FaultCount("--sim-nak", v); }},
      {"--sim-silent",
       [](TPollOptions& o, const std::string& v) { o.SimSilent = FaultCount("--sim-silent", v); }},
      {"--sim-delay",
       [](TPollOptions& o, const std::string& v) {
         o.SimDelayMs = static_cast<int>(Number("--sim-delay", v, 0, 60000));
       }},
      {"--sim-chunk",
       [](TPollOptions& o, const std::string& v) {
         o.SimChunk = static_cast<std::size_t>(Number("--sim-chunk", v, 1, 4096));
       }},
      {"--sim-repeat",
       [](TPollOptions& o, const std::string& v) { o.SimRepeat = FaultCount("--sim-repeat", v); }},
      {"--sim-noise-every",
       [](TPollOptions& o, const std::string& v) {
         o.SimNoiseEveryMs = static_cast<int>(Number("--sim-noise-every", v, 1, 60000));
       }},
      {"--sim-endless-chain",
       [](TPollOptions& o, const std::string& v) {
         o.SimEndlessChain = FaultCount("--sim-endless-chain", v);
       }},
      {"--sim-error-nack", SetErrorNack},
      {"--sim-plcs",
       [](TPollOptions& o, const std::string& v) {
         o.SimPlcs = static_cast<int>(Number("--sim-plcs", v, 1, 8));
       }},
      {"--sim-dead",
       [](TPollOptions& o, const std::string& v) {
         o.SimDead = static_cast<int>(Number("--sim-dead", v, 1, 8));
       }},
      {"--sim-down",
       [](TPollOptions& o, const std::string& v) {
         o.SimDownMs = static_cast<uint32_t>(Number("--sim-down", v, 1, 3600000));
       }},
      {"--setting",
       [](TPollOptions& o, const std::string& v) {
         const std::size_t equals = v.find('=');
         if (equals == 0 || equals == std::string::npos)
           throw EPollUsage("--setting takes KEY=VALUE, a module setting (\"Retries=2\"), not \"" + v + "\"");
         o.Settings.emplace_back(v.substr(0, equals), v.substr(equals + 1));
       }},
      {"--sim-baud",
       [](TPollOptions& o, const std::string& v) {
         o.SimBaud = static_cast<uint32_t>(Number("--sim-baud", v, 300, 115200));
       }},
      {"--sim-snp-data-size",
       [](TPollOptions& o,
          const std::string&
              v) { o.SimSnpDataSize = static_cast<std::size_t>(Number("--sim-snp-data-size", v, 1, 8192)); }},
  };
  return setters;
}

bool IsSimOption(const std::string& name) {
  return name.rfind("--sim-", 0) == 0;
}

}  // namespace

TPollOptions ParsePollOptions(const std::vector<std::string>& args) {
  TPollOptions options;
  bool simOptionGiven = false;
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
    if (arg == "--log-failed") {
      options.LogFailed = true;
      continue;
    }
    if (arg == "--fast") {
      options.Fast = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      if (!options.Library.empty()) throw EPollUsage("one library only: \"" + arg + "\" is one too many");
      options.Library = arg;
      continue;
    }
    std::string name = arg, value;
    const std::size_t equals = arg.find('=');
    const bool inlineValue = equals != std::string::npos;
    if (inlineValue) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    auto onOff = Switches().find(name);
    if (onOff != Switches().end()) {
      if (inlineValue) throw EPollUsage(name + " takes no value");
      onOff->second(options);
      simOptionGiven = true;
      continue;
    }
    auto setter = Setters().find(name);
    if (setter == Setters().end()) throw EPollUsage("unknown option " + name);
    if (!inlineValue) {
      if (i + 1 >= args.size()) throw EPollUsage(name + " needs a value");
      value = args[++i];
    }
    if (value.empty()) throw EPollUsage(name + " needs a value");
    setter->second(options, value);
    simOptionGiven = simOptionGiven || IsSimOption(name);
  }
  if (options.Library.empty()) throw EPollUsage("name the plug-in library (kelda.dll or libkelda.so)");
  if (options.ConfigFile.empty()) throw EPollUsage("--config FILE is required: the request configuration");
  if (options.ProtocolName.empty()) throw EPollUsage("--protocol is required: ccm-ms, ccm-peer, snp or snpx");
  if (!options.Simulated() && simOptionGiven)
    throw EPollUsage("the --sim-* options set the built-in simulated PLC; they do nothing with --port " +
                     options.Port);
  TSettingCheck settings = CheckModuleSettings(options.Settings);
  if (!settings.Problems.empty()) {
    std::string text;
    for (const std::string& problem : settings.Problems) text += (text.empty() ? "" : "\n") + problem;
    throw EPollUsage(text);
  }
  options.Settings = std::move(settings.Settings);
  CheckSimId(options);
  CheckSimFaultsFitProtocol(options);
  CheckLineOfPlcs(options);
  return options;
}

std::string SimPlcId(const TPollOptions& options, int k) {
  if (options.Ccm()) return std::to_string((options.SimId.empty() ? 2 : std::stoi(options.SimId)) + k);
  std::string id = options.SimId.empty() ? "PLC1" : options.SimId;
  if (k == 0) return id;
  std::size_t digits = id.size();
  while (digits > 0 && id[digits - 1] >= '0' && id[digits - 1] <= '9') --digits;
  const int first = digits < id.size() ? std::stoi(id.substr(digits)) : 1;
  return id.substr(0, digits) + std::to_string(first + k);
}

std::string PollUsage() {
  return R"(usage: kelda-host poll <library> --config FILE --protocol ccm-ms|ccm-peer|snp|snpx [options]

Polls a GE PLC through the plug-in library as the data-logging host would, showing the
decoded values live.

  <library>            kelda.dll (under Wine on Linux) or libkelda.so
  --config FILE        the request configuration (the options dialog's XML text; see samples/)
  --protocol P         ccm-ms (CCM master-slave), ccm-peer (CCM peer-to-peer), snp, snpx
  --port sim|COMn|/dev/ttyX   the line: the built-in simulated PLC (default) or a serial port
  --baud N             serial port speed (default 19200)
  --parity odd|even|none      (default odd)
  --stop 1|2           stop bits (default 1)
  --local-id N         the module's own CCM station number (default 1)
  --min-interval MS    the module's least time between two requests (default 0)
  --seconds N          stop after N seconds
  --transactions N     stop after N decoded packets (rows)
  --csv FILE           one row per decoded packet (UTF-8), one column per value, after
                       time_ms_since_start, local_time (ISO 8601) and request (its caption)
  --trace FILE         every frame in both directions with its time, bytes and meaning
  --report FILE        a report of the run in one XHTML file (charts, statistics, failures),
                       written when the run ends, also on Ctrl+C
  --quiet              no live view; only the summary and problems
  --log-failed         print the module's line for every failed transaction (its
                       "LogFailedTransactions" switch); the live view shows the last one anyway
  --setting KEY=VALUE  one more of the module's settings for the run, by its key
                       ("Retries=2"); may be given more than once
  --fast               the module keeps the PLC's session open and sends each request as
                       soon as the line is free ("Keep session" and "Send when ready"); for
                       a PLC polled faster than its link-idle time, on a line with no other
                       master

The built-in simulated PLC (--port sim) answers as SNP ID PLC1 or CCM station 2; its
registers hold their own numbers (%R1=1, %R2=2, ...; %AI and %AQ alike). Its faults take a
count of answers to spoil, or "always":
  --sim-id ID          its SNP ID, or its CCM station number (1..90)
  --sim-plcs N         timed line: N PLCs on the line (1..8), IDs counting up from the
                       first (PLC1, PLC2, ...; CCM 2, 3, ...)
  --sim-dead N         timed line: the last N of them never answer
  --sim-down MS        timed line: every PLC is off the line for the first MS ms
  --sim-baud N         a timed line: every byte takes its time at N baud (with --parity and
                       --stop) both ways, breaks hold the line, and the PLC keeps GE's gaps
                       (SNP T1, the CCM enquiry delay); the summary then shows the line use
  --sim-noise N        noise bytes before N answers
  --sim-corrupt N      a wrong check byte in N answers
  --sim-nak N          N requests refused (NAK)
  --sim-silent N       N requests not answered at all
  --sim-delay MS       every answer this late
  --sim-chunk BYTES    the port hands over at most BYTES bytes at a time (default 7)
  --sim-repeat N       N data frames sent twice
  --sim-noise-every MS one noise byte on the line every MS ms, whatever the traffic
  --sim-endless-chain N      snp: N reads whose text buffers never end
  --sim-error-nack N[:MAJOR:MINOR]  snp: N reads refused with an error nack
                       carrying these codes, two hex digits each (default 05:F4)
  --sim-snp-data-size BYTES  snp: data bytes per text buffer, 1..8192 (default 1000)
  --sim-extra-byte     snpx: every X-Read answered with one data byte more than asked
  --sim-ccm-pad        ccm: an odd byte count's last block padded with 00
  --sim-data-only-lrc  ccm: the data blocks' LRC over the data bytes only
  --sim-memory FILE    the PLC's memory from a kelda-plcsim memory file (default:
                       %R1=1, %R2=2, ... and %AI, %AQ alike)

Ctrl+C stops the run; the CSV and the trace are complete up to that moment.

Exit status: 0 the run ended as asked (time or transactions) with values read;
1 the run failed (library, configuration, port); 2 a usage error; 3 no configured
value was decoded during the whole run (silence, failed checks, refusals and error
answers alike); 130 stopped by Ctrl+C.
)";
}

}  // namespace kelda::host
