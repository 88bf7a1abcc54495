#include "tools/KeldaScan.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/Console.h"
#include "platform/MessageWindow.h"
#include "platform/Module.h"
#include "platform/Tick.h"
#include "tools/KeldaHost.h"
#include "tools/KeldaSettings.h"
#include "tools/PollOptions.h"
#include "tools/PollRequests.h"
#include "tools/ScanAnswers.h"
#include "tools/trace/SnpNames.h"
#include "tools/trace/WireTrace.h"

namespace kelda::host {

namespace {

std::atomic<bool> gStopRequested{false};

TInterruptibleLine gActiveLine;  // the line of the run under way, for Ctrl+C

constexpr int32_t kDataSource = 1;
constexpr int32_t kHostIndex = 1;
constexpr const char* kSectionPrefix = "Scan";
constexpr std::size_t kScratchPadBytes = 24;  // run state, CPU type, SNP ID, firmware, CCM CPU ID
constexpr uint64_t kProgressEveryMs = 250;

struct TScanStop {
  int Status;
  std::string Message;
};

std::string Caption(std::size_t index) {
  return "try " + std::to_string(index + 1);
}

bool IsCcm(plcsim::Mode protocol) {
  return protocol == plcsim::Mode::CcmMasterSlave || protocol == plcsim::Mode::CcmPeerToPeer;
}

std::string Request(std::size_t index, const std::string& address, plcsim::Mode protocol,
                    uint32_t timeoutMs) {
  // SNP and SNP-X read %R1; CCM reads its scratch pad, which every Series 90 CCM port serves and
  // which names the CPU.
  const bool ccm = IsCcm(protocol);
  const std::string item =
      ccm ? "<Item><Name>SP</Name><Offset>0</Offset><Count>" + std::to_string(kScratchPadBytes) +
                "</Count><AppendCnt check=\"2\"><ZeroBaseCnt "
                "check=\"2\"/></AppendCnt><DataType>D8</DataType></Item>"
          : "<Item><Name>R1</Name><Offset>0</Offset><Count>1</Count><AppendCnt check=\"0\"/><DataType>D16</"
            "DataType><LE check=\"2\"/><Unsigned check=\"2\"/></Item>";
  return "<Request caption=\"" + Caption(index) + "\"><Enabled check=\"2\"/><Address>" + address +
         "</Address><Memory>" + (ccm ? "128" : "8") + "</Memory><Offset>0</Offset><Size>" +
         (ccm ? std::to_string(kScratchPadBytes) : "1") + "</Size><Timeout>" + std::to_string(timeoutMs) +
         "</Timeout><RequestMethod><MethodOnce check=\"2\"/><MethodPoll "
         "check=\"0\"/></RequestMethod><Response>" +
         item + "</Response></Request>";
}

std::string StepConfiguration(const TScanStep& step, uint32_t timeoutMs) {
  std::string text = "<?xml version=\"1.0\"?><MODBUSRTUQUERY>";
  for (std::size_t i = 0; i < step.Addresses.size(); ++i)
    text += Request(i, step.Addresses[i], step.Protocol, timeoutMs);
  return text + "</MODBUSRTUQUERY>";
}

// "try 3" and the cause, from the module's line for a failed transaction.
bool ParseFailure(const std::string& line, std::string& caption, std::string& cause) {
  static const std::string kStart = "request \"", kEnd = "\" failed: ";
  const std::size_t start = line.find(kStart);
  if (start == std::string::npos) return false;
  const std::size_t end = line.find(kEnd, start + kStart.size());
  if (end == std::string::npos) return false;
  caption = line.substr(start + kStart.size(), end - start - kStart.size());
  cause = line.substr(end + kEnd.size());
  return true;
}

// A refusal or an error answer is the PLC's own word: it is there, at this setting.
bool IsPlcAnswer(const std::string& cause) {
  return cause.find("(NAK)") != std::string::npos ||
         cause.find("answered with an error") != std::string::npos;
}

std::optional<long> RowNumber(const TRow& row, const std::string& name) {
  for (const auto& [key, value] : row) {
    if (key != name) continue;
    try {
      std::size_t used = 0;
      const long number = std::stol(value, &used);
      if (used == value.size()) return number;
    } catch (const std::exception&) {
    }
  }
  return std::nullopt;
}

std::string RunStateText(long state) {
  static const char* const kStates[] = {"run, enabled",        "run, disabled", "stopped",
                                        "stopped, faulted",    "halted",        "suspended",
                                        "stopped, I/O enabled"};
  if (state < 0 || state >= static_cast<long>(std::size(kStates))) return "state " + std::to_string(state);
  return kStates[state];
}

std::string DurationText(uint64_t ms) {
  const uint64_t seconds = (ms + 999) / 1000;
  if (seconds < 60) return std::to_string(seconds) + " s";
  return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
}

std::string DefaultLibrary() {
  const std::filesystem::path program(platform::HostProgramFileName());
  const bool windows = program.extension() == ".exe" || program.extension() == ".EXE";
  const std::string name = windows ? "kelda.dll" : "libkelda.so";
  for (const auto& folder : {program.parent_path(), program.parent_path().parent_path() / "module"})
    if (std::error_code ignored; std::filesystem::exists(folder / name, ignored))
      return (folder / name).string();
  return name;
}

class TScanner {
public:
  TScanner(const TScanOptions& options, std::ostream& out, std::ostream& err, const TScanHooks& hooks)
      : FOptions(options), FOut(out), FErr(err), FHooks(hooks), FPlan(ScanPlan(options)) {
    FTotalTries = TryCount(FPlan);
    FTerminal = !options.Quiet && platform::StdoutIsTerminal();
  }
  ~TScanner() { gActiveLine.Set(nullptr); }
  TScanner(const TScanner&) = delete;
  TScanner& operator=(const TScanner&) = delete;

  int Run();
  const std::vector<TScanFinding>& Findings() const { return FFindings; }

private:
  void Open();
  void RunStep(const TScanStep& step);
  void StartModule(const TScanStep& step);
  void StopModule();
  void OpenLine(const TLineSetting& setting);
  int32_t WriteToLine(const std::string& bytes);
  void ServeLine();
  void TakeRow(const TRow& row);
  void TakeLog();
  bool EnquiryAnswered(std::size_t index) const;
  void Resolve(std::size_t index, const std::string& answer, const TRow* row);
  void CheckStop();
  void Progress(bool force);
  void Tell(const std::string& line);
  int Finish(int status, const std::string& message);
  uint64_t Ms() const { return platform::Now() - FStart; }

  const TScanOptions& FOptions;
  std::ostream& FOut;
  std::ostream& FErr;
  const TScanHooks& FHooks;
  std::vector<TScanStep> FPlan;
  std::size_t FTotalTries = 0, FTriesDone = 0;
  uint64_t FStart = 0, FProgressAt = 0;
  bool FTerminal = false, FProgressShown = false;
  std::string FSettingsPath;
  std::unique_ptr<trace::TWireTrace> FTrace;
  std::unique_ptr<TKeldaHost> FHost;
  std::unique_ptr<TPollLine> FLine;
  std::unique_ptr<TScanWire> FWire;
  uintptr_t FInstance = 0;
  const TScanStep* FStep = nullptr;
  std::vector<bool> FResolved;
  std::optional<std::string> FPortFailure;
  bool FBreakNoted = false, FLineNoted = false;
  std::vector<TScanFinding> FFindings;
  std::vector<std::string> FPartial;  // answers that opened a session but brought no read
};

int TScanner::Run() {
  FStart = platform::Now();
  try {
    Open();
    for (const TScanStep& step : FPlan) {
      RunStep(step);
      if (!FFindings.empty() && !FOptions.All) break;
    }
  } catch (const TScanStop& stop) {
    return Finish(stop.Status, stop.Message);
  } catch (const std::exception& failure) {
    return Finish(kScanNothing, failure.what());
  }
  return Finish(FFindings.empty() ? kScanNothing : kScanFound, "");
}

void TScanner::Open() {
  try {
    if (!FOptions.TraceFile.empty())
      FTrace = std::make_unique<trace::TWireTrace>(
          FOptions.TraceFile, TraceProtocolOf(FPlan.empty() ? plcsim::Mode::SnpX : FPlan.front().Protocol));
  } catch (const std::exception& failure) {
    throw TScanStop{kScanNothing, failure.what()};
  }
  if (FPlan.empty())
    throw TScanStop{kScanUsage, "nothing to try: the protocols asked for need another parity"};
  // Found out now rather than after a scan of many minutes.
  if (!FOptions.ConfigFile.empty()) {
    const std::filesystem::path folder = std::filesystem::path(FOptions.ConfigFile).parent_path();
    if (std::error_code ignored; !folder.empty() && !std::filesystem::is_directory(folder, ignored))
      throw TScanStop{kScanNothing, "cannot write the configuration " + FOptions.ConfigFile +
                                        ": there is no folder " + folder.string()};
  }
  std::random_device random;
  std::ostringstream name;
  name << "kelda-scan-" << std::hex << random() << platform::Now() << ".ini";
  FSettingsPath = (std::filesystem::temp_directory_path() / name.str()).string();
  try {
    FHost = std::make_unique<TKeldaHost>(FOptions.Library);
  } catch (const std::exception& failure) {
    throw TScanStop{kScanNothing,
                    std::string(failure.what()) +
                        "\n  name the plug-in library (kelda.dll under Wine or Windows, libkelda.so "
                        "on Linux) before --port"};
  }
  if (FTrace)
    FTrace->Note("scanning " + FOptions.Port + ": " + std::to_string(FTotalTries) + " tries, " +
                     std::to_string(FOptions.TryTimeoutMs) + " ms each",
                 Ms());
}

void TScanner::OpenLine(const TLineSetting& setting) {
  try {
    if (FHooks.OpenLine) {
      FLine = FHooks.OpenLine(FOptions.Port, setting);
    } else {
      TPollOptions port;
      port.Port = FOptions.Port;
      port.Serial.BaudRate = setting.Baud;
      port.Serial.Parity = setting.Parity;
      port.Serial.StopBits = setting.StopBits;
      FLine = std::make_unique<TSerialPollLine>(port);
    }
  } catch (const platform::ESerialPortError& failure) {
    std::string fix = "check the port's name and that this user may open it";
    if (failure.NotFound)
      fix = "check the port's name (COM3 on Windows, /dev/ttyUSB0 on Linux) and the adapter";
    if (failure.InUse)
      fix =
          "the port is in use by another program (a host, a terminal, another scan): close it, then scan "
          "again";
    throw TScanStop{kScanNothing, std::string(failure.what()) + "\n  " + fix};
  }
  gActiveLine.Set(FLine.get());
  if (const std::string note = FLine->Note(); !note.empty() && !FLineNoted) {
    FLineNoted = true;
    Tell("note: " + note);
  }
}

void TScanner::RunStep(const TScanStep& step) {
  FStep = &step;
  FResolved.assign(step.Addresses.size(), false);
  FWire = std::make_unique<TScanWire>(step.Protocol);
  OpenLine(step.Line);
  const std::string what = ProtocolTitle(step.Protocol) + " at " + SettingText(step.Line);
  if (FTrace) {
    FTrace->Protocol(TraceProtocolOf(step.Protocol), Ms());
    FTrace->Note("trying " + what +
                     (step.Protocol == plcsim::Mode::CcmMasterSlave
                          ? ", stations " + step.Addresses.front() + "-" + step.Addresses.back()
                          : ""),
                 Ms());
  }
  if (!FOptions.Quiet && !FTerminal) FOut << "trying " << what << "\n" << std::flush;
  const std::size_t triesBefore = FTriesDone, foundBefore = FFindings.size();
  // The module gives up each address after its time-outs; this bound only guards against a
  // module that would never give up.
  const uint64_t deadline =
      Ms() + step.Addresses.size() * (2ull * TryBudgetMs(FOptions, step.Line) + 200) + 3000;
  try {
    StartModule(step);
    for (;;) {
      const int work = FHost->PumpMessages();
      ServeLine();
      TakeLog();
      FHost->Sent();
      CheckStop();
      Progress(false);
      if (std::all_of(FResolved.begin(), FResolved.end(), [](bool done) { return done; })) break;
      if (!FFindings.empty() && !FOptions.All) break;
      if (Ms() > deadline) {
        Tell("note: the module did not finish " + what + " in time; going on");
        break;
      }
      if (work == 0) platform::PumpMessages([] { return gStopRequested.load(); }, 1);
    }
  } catch (...) {
    StopModule();
    throw;
  }
  StopModule();
  FTriesDone = triesBefore + step.Addresses.size();
  const TWireAnswers& wire = FWire->Answers();
  if (wire.Opened && FFindings.size() == foundBefore)
    FPartial.push_back(what + ": the PLC answered the " + (IsCcm(step.Protocol) ? "enquiry" : "attach") +
                       (wire.PlcId.empty() ? std::string() : " as \"" + wire.PlcId + "\"") +
                       (wire.Station ? " as station " + std::to_string(*wire.Station) : std::string()) +
                       ", but not the read");
}

void TScanner::StartModule(const TScanStep& step) {
  const uint32_t waitMs = HandshakeMs(FOptions, step.Line);
  const std::string section = std::string(kSectionPrefix) + ".Common";
  WriteIniValue(FSettingsPath, section, "Parser config", EncodeStoredText(StepConfiguration(step, waitMs)));
  WriteIniValue(FSettingsPath, section, "Proto", std::to_string(static_cast<int>(step.Protocol)));
  WriteIniValue(FSettingsPath, section, "Local address", "1");
  WriteIniValue(FSettingsPath, section, "Min interval", "0");
  WriteIniValue(FSettingsPath, section, "Handshake timeout", std::to_string(waitMs));
  WriteIniValue(FSettingsPath, section, "Retries", "0");
  FInstance = FHost->Create(kHostIndex);
  if (!FInstance) throw TScanStop{kScanNothing, "the library refused to create an instance"};
  FHost->RouteWrites(FInstance, kDataSource, [this](const std::string& bytes) { return WriteToLine(bytes); });
  FHost->Command(FInstance, "SET-MODULE-PARAMETER",
                 {Param("PARAM", "LogFailedTransactions"), Param("VALUE", "1")});
  const TParams load =
      FHost->LoadParams({Param("INI-FILE", FSettingsPath), Param("INI-SECTION-PREFIX", kSectionPrefix),
                         Param("LANGUAGE", "EN")});
  const int32_t loaded = FHost->Command(FInstance, "LOAD", load).Code;
  FHost->Received();
  if (loaded != 0) throw TScanStop{kScanNothing, "the module refused LOAD (" + std::to_string(loaded) + ")"};
  const std::string sources = std::to_string(kDataSource) + ";" + FOptions.Port + ";Scan";
  const int32_t started =
      FHost
          ->Command(FInstance, "SET-STATE", {Param("DATA-SOURCES-IN-CFG", sources), Param("RESULT", 1)}, true,
                    0x03)
          .Code;
  if (started != 0)
    throw TScanStop{kScanNothing, "the module refused to start (" + std::to_string(started) + ")"};
  // As a host does once its port is open at the setting.
  FHost->Command(FInstance, "EVENT", {Param("EVENT-TYPE", "PORT-OPEN")});
}

void TScanner::StopModule() {
  if (FInstance) {
    try {
      FHost->Command(FInstance, "UNLOAD", {Param("INI-FILE", FSettingsPath)});
      FHost->Free(FInstance);
      FHost->Received();
    } catch (const std::exception& failure) {
      Tell(std::string("note: stopping the module: ") + failure.what());
    }
    FInstance = 0;
  }
  gActiveLine.Set(nullptr);  // no Ctrl+C can reach the line from here on
  FLine.reset();             // closes the port before the next setting opens it
}

// Called by the module from inside its calls: nothing may escape back into it.
int32_t TScanner::WriteToLine(const std::string& bytes) {
  if (FPortFailure || !FLine) return -1;
  const uint64_t now = platform::Now();
  try {
    if (IsBreakCommand(bytes)) {
      uint32_t ms = 0;
      for (char c : bytes)
        if (c >= '0' && c <= '9') ms = std::min<uint32_t>(1000, ms * 10 + static_cast<uint32_t>(c - '0'));
      if (FLine->Break(ms, now)) {
        if (FTrace) FTrace->LineBreak(ms, now - FStart);
      } else if (!FBreakNoted) {
        FBreakNoted = true;
        if (FTrace) FTrace->Note("the line cannot carry a break: breaks are left out", now - FStart);
      }
      return static_cast<int32_t>(bytes.size());
    }
    FLine->Write(bytes, now);
    if (FTrace) FTrace->Sent(bytes, now - FStart);
    FWire->Sent(bytes, now - FStart);
    return static_cast<int32_t>(bytes.size());
  } catch (const std::exception& failure) {
    FPortFailure = failure.what();
  } catch (...) {
    FPortFailure = "writing to the line failed";
  }
  return -1;
}

void TScanner::ServeLine() {
  std::vector<std::string> pieces;
  try {
    pieces = FLine->Read(platform::Now());
  } catch (const platform::ESerialPortError& failure) {
    FPortFailure = failure.what();
    return;
  }
  for (const std::string& piece : pieces) {
    if (FTrace) FTrace->Received(piece, Ms());
    FWire->Received(piece, Ms());
    for (const TRow& row : FHost->Data(FInstance, kDataSource, kDataFlagPortBytes, piece).Rows) TakeRow(row);
  }
}

void TScanner::TakeRow(const TRow& row) {
  // One request is out at a time, in order; its row names its address.
  std::size_t index = 0;
  for (const auto& [name, value] : row)
    if (name == "TARGET_ADDRESS") {
      const auto at = std::find(FStep->Addresses.begin(), FStep->Addresses.end(), value);
      if (at != FStep->Addresses.end()) index = static_cast<std::size_t>(at - FStep->Addresses.begin());
    }
  const std::optional<long> statusCode = RowNumber(row, "STATUS_CODE");
  if (statusCode && *statusCode != 0)
    Resolve(index, "an error answer: " + StatusCodeText(static_cast<uint16_t>(*statusCode)), &row);
  else
    Resolve(index, IsCcm(FStep->Protocol) ? "its scratch pad was read" : "%R1 was read", &row);
}

void TScanner::TakeLog() {
  for (const TLogLine& line : FHost->Received()) {
    std::string caption, cause;
    if (!ParseFailure(line.Text, caption, cause)) continue;
    for (std::size_t i = 0; i < FStep->Addresses.size(); ++i) {
      if (Caption(i) != caption || FResolved[i]) continue;
      if (IsPlcAnswer(cause) && EnquiryAnswered(i)) {
        Resolve(i, cause, nullptr);
      } else {
        FResolved[i] = true;
        ++FTriesDone;
      }
    }
  }
}

// A CCM NAK is a single byte, which noise at a wrong setting makes too, and which a station
// answering late puts on the next station's try: it shows a PLC only after the station asked
// gave a well-formed answer to its enquiry (peer-to-peer: after a peer acknowledged the ENQ).
bool TScanner::EnquiryAnswered(std::size_t index) const {
  const TWireAnswers& wire = FWire->Answers();
  if (FStep->Protocol == plcsim::Mode::CcmPeerToPeer) return wire.Opened;
  if (FStep->Protocol != plcsim::Mode::CcmMasterSlave) return true;
  int station = 0;
  try {
    station = std::stoi(FStep->Addresses[index]);
  } catch (const std::exception&) {
    return false;
  }
  return std::find(wire.Stations.begin(), wire.Stations.end(), station) != wire.Stations.end();
}

void TScanner::Resolve(std::size_t index, const std::string& answer, const TRow* row) {
  if (index >= FResolved.size() || FResolved[index]) return;
  FResolved[index] = true;
  ++FTriesDone;
  const TWireAnswers& wire = FWire->Answers();
  TScanFinding finding;
  finding.Protocol = FStep->Protocol;
  finding.Line = FStep->Line;
  finding.Answer = answer;
  finding.Address = FStep->Addresses[index];
  if (!IsCcm(FStep->Protocol)) {
    finding.Address = wire.PlcId;
    finding.Facts.push_back(wire.PlcId.empty() ? "no SNP ID: the PLC answers the null ID only"
                                               : "SNP ID \"" + wire.PlcId + "\"");
    std::optional<uint16_t> status = wire.Status;
    if (row)
      if (auto fromRow = RowNumber(*row, "PLC_STATUS"); fromRow && (!status || *fromRow != 0))
        status = static_cast<uint16_t>(*fromRow);
    if (status) finding.Facts.push_back(trace::StatusText(*status));
  } else if (row) {
    const auto station = RowNumber(*row, "SP22");
    if (FStep->Protocol == plcsim::Mode::CcmPeerToPeer && station && *station > 0)
      finding.Address = std::to_string(*station);
    finding.Facts.push_back("station " + finding.Address);
    if (auto state = RowNumber(*row, "SP0")) finding.Facts.push_back("CPU " + RunStateText(*state));
    if (auto type = RowNumber(*row, "SP2"))
      finding.Facts.push_back(*type == 0x0C   ? "Series 90-70"
                              : *type == 0x10 ? "Series 90-30"
                                              : "CPU type " + std::to_string(*type));
    std::string id;
    for (int k = 4; k < 12; ++k) {
      const auto c = RowNumber(*row, "SP" + std::to_string(k));
      if (!c || *c == 0) break;
      id += static_cast<char>(*c);
    }
    if (!id.empty()) finding.Facts.push_back("SNP ID \"" + id + "\"");
  } else {
    finding.Facts.push_back("station " + finding.Address);
  }
  FFindings.push_back(finding);
  if (FTrace)
    FTrace->Note("found " + ProtocolTitle(finding.Protocol) + " at " + SettingText(finding.Line), Ms());
}

void TScanner::CheckStop() {
  if (FPortFailure)
    throw TScanStop{kScanNothing, "the port failed: " + *FPortFailure +
                                      "\n  check that the adapter is still plugged in, then scan again"};
  if (gStopRequested) throw TScanStop{kScanInterrupted, "stopped by Ctrl+C"};
}

void TScanner::Progress(bool force) {
  if (!FTerminal || !FStep) return;
  const uint64_t now = Ms();
  if (!force && now - FProgressAt < kProgressEveryMs) return;
  FProgressAt = now;
  // Time left: every try still to come waits its whole time-out, as on a silent line.
  uint64_t leftMs = 0;
  std::size_t counted = 0;
  for (const TScanStep& step : FPlan)
    for (std::size_t i = 0; i < step.Addresses.size(); ++i)
      if (++counted > FTriesDone) leftMs += TryBudgetMs(FOptions, step.Line);
  std::string address = FStep->Protocol == plcsim::Mode::CcmPeerToPeer ? "any peer" : "null ID";
  if (FStep->Protocol == plcsim::Mode::CcmMasterSlave) {
    const auto next = std::find(FResolved.begin(), FResolved.end(), false);
    const std::size_t at =
        next == FResolved.end() ? FResolved.size() - 1 : static_cast<std::size_t>(next - FResolved.begin());
    address = "station " + FStep->Addresses[at] + " (" + FStep->Addresses.front() + "-" +
              FStep->Addresses.back() + ")";
  }
  FOut << "\r" << SettingText(FStep->Line) << " " << ProtocolTitle(FStep->Protocol) << " " << address
       << " | try " << std::min(FTriesDone + 1, FTotalTries) << " of " << FTotalTries << " | at most "
       << DurationText(leftMs) << " left\x1b[K" << std::flush;
  FProgressShown = true;
}

void TScanner::Tell(const std::string& line) {
  if (FProgressShown) FOut << "\r\x1b[K" << std::flush;
  FErr << line << "\n" << std::flush;
}

int TScanner::Finish(int status, const std::string& message) {
  if (FProgressShown) FOut << "\r\x1b[K" << std::flush;
  if (FTrace) {
    FTrace->Note(message.empty() ? "end of the scan" : message, Ms());
    FTrace->Flush();
  }
  if (FHost) {
    try {
      FHost->Shutdown();
    } catch (const std::exception&) {
      // The scan's result stands whatever the library does on its way out.
    }
  }
  std::error_code ignored;
  if (!FSettingsPath.empty()) std::filesystem::remove(FSettingsPath, ignored);
  if (!message.empty()) FErr << "kelda-host scan: " << message << "\n";
  for (const TScanFinding& finding : FFindings) {
    FOut << "found: " << ProtocolTitle(finding.Protocol) << " at " << SettingText(finding.Line) << ": ";
    for (std::size_t i = 0; i < finding.Facts.size(); ++i) FOut << (i ? ", " : "") << finding.Facts[i];
    FOut << " (" << finding.Answer << ")\n";
  }
  if (!FFindings.empty()) {
    const TScanFinding& first = FFindings.front();
    bool written = false;
    if (!FOptions.ConfigFile.empty()) {
      if (const std::string refusal = ScanConfigurationRefusal(first); !refusal.empty()) {
        FErr << "kelda-host scan: " << FOptions.ConfigFile << " is not written: " << refusal << "\n";
      } else {
        std::ofstream file(FOptions.ConfigFile, std::ios::binary | std::ios::trunc);
        file << ScanConfiguration(first, FOptions.Port);
        file.close();
        written = static_cast<bool>(file);
        if (!written) FErr << "kelda-host scan: cannot write " << FOptions.ConfigFile << "\n";
      }
      if (written)
        FOut << "configuration written to " << FOptions.ConfigFile << "\n";
      else if (status == kScanFound)
        status = kScanNothing;
    }
    FOut << "poll it with: " << PollCommand(first, FOptions, written ? FOptions.ConfigFile : "") << "\n";
  } else if (status == kScanNothing && message.empty()) {
    for (const std::string& partial : FPartial) FErr << "  " << partial << "\n";
    FErr << "kelda-host scan: no PLC answered on " << FOptions.Port << " in " << FTotalTries
         << " tries\n  check the cable (a null-modem cable or adapter for RS-232, the pairs for RS-485), "
            "that the "
            "PLC's port is set up for SNP or CCM, and try --all or other --bauds\n";
  }
  FOut << std::flush;
  return status;
}

}  // namespace

int RunScan(const TScanOptions& options, std::ostream& out, std::ostream& err, const TScanHooks& hooks,
            std::vector<TScanFinding>* found) {
  gStopRequested = false;
  TScanner scanner(options, out, err, hooks);
  const int status = scanner.Run();
  if (found) *found = scanner.Findings();
  return status;
}

void RequestScanStop() {
  gStopRequested = true;
  gActiveLine.Cancel();
}

int ScanMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TScanOptions options;
  try {
    options = ParseScanOptions(args);
  } catch (const EScanUsage& usage) {
    err << "kelda-host scan: " << usage.what() << "\n(kelda-host scan --help shows every option)\n";
    return kScanUsage;
  }
  if (options.Help) {
    out << ScanUsage();
    return kScanFound;
  }
  if (options.Library.empty()) options.Library = DefaultLibrary();
  platform::OnInterrupt(RequestScanStop);
  const int status = RunScan(options, out, err);
  platform::OnInterrupt(nullptr);
  return status;
}

std::string PollCommand(const TScanFinding& finding, const TScanOptions& options,
                        const std::string& configFile) {
  const std::string config = configFile.empty() ? "FILE" : configFile;
  return "kelda-host poll " + options.Library + " --config " + config + " --protocol " +
         ProtocolWord(finding.Protocol) + " --port " + options.Port + " --baud " +
         std::to_string(finding.Line.Baud) + " --parity " + ParityWord(finding.Line.Parity) + " --stop " +
         std::to_string(finding.Line.StopBits);
}

}  // namespace kelda::host
