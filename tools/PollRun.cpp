#include "tools/PollRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <thread>

#include "Common/Exceptions.h"
#include "platform/Console.h"
#include "platform/MessageWindow.h"
#include "platform/Tick.h"
#include "tools/ConsoleText.h"
#include "tools/KeldaHost.h"
#include "tools/KeldaSettings.h"
#include "tools/PollCsv.h"
#include "tools/PollLine.h"
#include "tools/PollLineUse.h"
#include "tools/PollProgress.h"
#include "tools/PollReport.h"
#include "tools/PollRequests.h"
#include "tools/PollStatistics.h"
#include "tools/PollTable.h"
#include "tools/plcsim/MemoryFile.h"
#include "tools/trace/WireTrace.h"

namespace kelda::host {

namespace {

std::atomic<bool> gStopRequested{false};
TInterruptibleLine gActiveLine;  // the line of the run under way, for Ctrl+C

constexpr int32_t kDataSource = 1;
constexpr int32_t kHostIndex = 1;
constexpr const char* kSectionPrefix = "Poll";
constexpr uint64_t kNoAnswerHintMs = 5000;
constexpr uint64_t kStatisticsEveryMs = 1000;
constexpr uint64_t kFlushEveryMs = 1000;  // the CSV and the trace, so that a crash loses a second at most

// Thrown inside the run with the exit status and the message that explains it.
struct TPollStop {
  int Status;
  std::string Message;
};

std::string ReadConfiguration(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in)
    throw TPollStop{kPollFailed, "cannot read the configuration file " + file +
                                     ": check its name, or write one (see samples/<protocol>.xml)"};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.find("<MODBUSRTUQUERY") == std::string::npos)
    throw TPollStop{kPollFailed, file +
                                     " is not a request configuration: it has no <MODBUSRTUQUERY> element "
                                     "(see samples/<protocol>.xml)"};
  return text;
}

// The module's settings for this run, in an INI file of the poller's own that is removed at
// the end; the user's settings are never read or changed.
class TSettingsFile {
public:
  explicit TSettingsFile(const TPollOptions& options, const std::string& configuration) {
    std::random_device random;
    std::ostringstream name;
    name << "kelda-poll-" << std::hex << random() << platform::Now() << ".ini";
    FPath = (std::filesystem::temp_directory_path() / name.str()).string();
    const std::string section = std::string(kSectionPrefix) + ".Common";
    for (const auto& [key, value] : ModuleSettings(options, configuration))
      WriteIniValue(FPath, section, key, value);
  }
  ~TSettingsFile() {
    std::error_code ignored;
    std::filesystem::remove(FPath, ignored);
  }
  TSettingsFile(const TSettingsFile&) = delete;
  TSettingsFile& operator=(const TSettingsFile&) = delete;
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
};

std::unique_ptr<TPollLine> OpenLine(const TPollOptions& options, const TPollHooks& hooks) {
  try {
    return hooks.OpenLine ? hooks.OpenLine(options) : OpenPollLine(options);
  } catch (const platform::ESerialPortError& failure) {
    std::string fix = "check the port's name and that it can be opened";
    if (failure.NotFound)
      fix = "check the port's name (COM3 on Windows, /dev/ttyUSB0 on Linux) and the cable";
    if (failure.InUse) fix = "close the program that holds the port, then try again";
    throw TPollStop{kPollFailed, std::string(failure.what()) + "\n  " + fix};
  } catch (const plcsim::MemoryFileError& failure) {
    throw TPollStop{kPollFailed,
                    std::string("the simulated PLC's memory file: ") + failure.what() +
                        "\n  fix the file (lines like \"%R1 = 1200 0x1F4\") or leave out --sim-memory"};
  } catch (const std::invalid_argument& failure) {
    throw TPollStop{kPollUsage, std::string("the simulated PLC refused an option: ") + failure.what()};
  }
}

const char* ProtocolWords(plcsim::Mode mode) {
  switch (mode) {
    case plcsim::Mode::CcmMasterSlave:
      return "CCM master to slave";
    case plcsim::Mode::CcmPeerToPeer:
      return "CCM peer to peer";
    case plcsim::Mode::Snp:
      return "SNP";
    case plcsim::Mode::SnpX:
      break;
  }
  return "SNP-X";
}

TRow DecodedValues(const TRow& row) {
  TRow values;
  for (const auto& item : row)
    if (!IsStandardField(item.first)) values.push_back(item);
  return values;
}

class TPoller {
public:
  TPoller(const TPollOptions& options, std::ostream& out, std::ostream& err, const TPollHooks& hooks)
      : FOptions(options),
        FHooks(hooks),
        FOut(out),
        FErr(err),
        FView(out, !options.Quiet && platform::StdoutIsTerminal()) {}
  ~TPoller() { gActiveLine.Set(nullptr); }  // before the line is freed
  TPoller(const TPoller&) = delete;
  TPoller& operator=(const TPoller&) = delete;

  int Run();

private:
  void Open();
  void Start();
  void Loop();
  int Finish(int status, std::string message);
  int32_t WriteToLine(const std::string& bytes);
  void BreakLine(uint32_t ms, uint64_t now);
  int ServeLine();
  void WaitForWork();
  void TakeRows(const std::vector<TRow>& rows);
  void ShowModuleLog();
  void ShowLogLines(const std::vector<TLogLine>& lines);
  TTrouble Trouble() const;
  std::string NothingSentText() const;
  std::vector<std::string> ViewLines() const;
  void Tell(const std::string& line);
  void RefreshStatistics(bool force);
  void CheckFailures();
  void SetUpReport();
  std::optional<uint64_t> ModuleRoundTrip();
  void WriteReport(int& status, const std::string& message, uint64_t ms);
  uint64_t Ms() const { return platform::Now() - FStart; }

  const TPollOptions& FOptions;
  const TPollHooks& FHooks;
  std::ostream& FOut;
  std::ostream& FErr;
  std::string FConfiguration;
  std::unique_ptr<TSettingsFile> FSettings;
  std::unique_ptr<TPollLine> FLine;
  std::unique_ptr<TCsvWriter> FCsv;
  std::unique_ptr<trace::TWireTrace> FTrace;
  std::unique_ptr<TPollReport> FReport;
  std::string FStartClock;
  uint64_t FModuleAnswers = 0;  // the module's answers when its round trip was last read
  std::unique_ptr<TKeldaHost> FHost;
  std::unique_ptr<TLineUse> FLineUse;
  uintptr_t FInstance = 0;
  uint64_t FStart = 0;
  TPollCounts FCounts;
  uint64_t FValueRows = 0;     // rows that carried a configured value
  uint64_t FPlcValueRows = 0;  // of them, rows with a value from the PLC, not only Defaults
  uint64_t FModuleLogLines = 0;
  std::string FStatisticsText;
  uint64_t FStatisticsAt = 0;
  std::unique_ptr<TRequestBoard> FBoard;
  TLiveView FView;
  std::optional<std::string> FPortFailure;
  bool FBreakNoted = false;
  bool FHintShown = false;
};

int TPoller::Run() {
  FStart = platform::Now();
  FStartClock = LocalClockTime(std::chrono::system_clock::now());
  try {
    Open();
    Start();
    Loop();
  } catch (const TPollStop& stop) {
    return Finish(stop.Status, stop.Message);
  } catch (const std::exception& failure) {
    return Finish(kPollFailed, failure.what());
  }
  return Finish(kPollOk, "");
}

void TPoller::Open() {
  FConfiguration = ReadConfiguration(FOptions.ConfigFile);
  FBoard = std::make_unique<TRequestBoard>(FConfiguration, FOptions.Protocol);
  FLineUse = std::make_unique<TLineUse>(FOptions, FConfiguration);
  FLine = OpenLine(FOptions, FHooks);
  gActiveLine.Set(FLine.get());
  if (const std::string note = FLine->Note(); !note.empty()) Tell("note: " + note);
  try {
    if (!FOptions.CsvFile.empty()) FCsv = std::make_unique<TCsvWriter>(FOptions.CsvFile);
    if (!FOptions.TraceFile.empty())
      FTrace = std::make_unique<trace::TWireTrace>(FOptions.TraceFile, TraceProtocolOf(FOptions.Protocol));
    if (!FOptions.ReportFile.empty()) SetUpReport();
    FSettings = std::make_unique<TSettingsFile>(FOptions, FConfiguration);
  } catch (const std::exception& failure) {
    throw TPollStop{kPollFailed, failure.what()};
  }
  try {
    FHost = std::make_unique<TKeldaHost>(FOptions.Library);
  } catch (const std::exception& failure) {
    throw TPollStop{kPollFailed, std::string(failure.what()) +
                                     "\n  name the plug-in library of this system (kelda.dll under Wine or "
                                     "Windows, libkelda.so on Linux)"};
  }
}

void TPoller::SetUpReport() {
  FReport = std::make_unique<TPollReport>(FOptions.ReportFile);
  TReportSetup setup;
  setup.ConfigFile = FOptions.ConfigFile;
  setup.Protocol = ProtocolWords(FOptions.Protocol);
  setup.Line = FOptions.Simulated() ? "simulated: " + FLine->Describe() : FLine->Describe();
  setup.StartClock = FStartClock;
  for (const TRequestState& request : FBoard->Requests())
    setup.Requests.push_back(
        {request.Caption, request.Reference, request.Description, request.PollIntervalMs, request.Enabled});
  FReport->Setup(std::move(setup));
}

// The round trip of the row just delivered, as the module measured it: its "rtt" belongs to
// this row only when exactly one answer came since it was last read.
std::optional<uint64_t> TPoller::ModuleRoundTrip() {
  RefreshStatistics(true);
  const auto module = StatisticsOf(FStatisticsText, kDataSource);
  if (!module || !module->Answers || !module->RttMs) return std::nullopt;
  const bool one = *module->Answers == FModuleAnswers + 1;
  FModuleAnswers = *module->Answers;
  if (!one) return std::nullopt;
  return module->RttMs;
}

void TPoller::Start() {
  FInstance = FHost->Create(kHostIndex);
  if (!FInstance) throw TPollStop{kPollFailed, "the library refused to create an instance"};
  FHost->RouteWrites(FInstance, kDataSource, [this](const std::string& bytes) { return WriteToLine(bytes); });
  if (FTrace) FTrace->Note("polling " + FLine->Describe() + " with " + FOptions.ProtocolName, Ms());
  // The view names the last failure of each request from the module's failure lines; they are
  // printed only when asked for (--log-failed).
  FHost->Command(FInstance, "SET-MODULE-PARAMETER",
                 {Param("PARAM", "LogFailedTransactions"), Param("VALUE", "1")});
  TParams load = FHost->LoadParams({Param("INI-FILE", FSettings->Path()),
                                    Param("INI-SECTION-PREFIX", kSectionPrefix), Param("LANGUAGE", "EN")});
  const int32_t loaded = FHost->Command(FInstance, "LOAD", load).Code;
  ShowModuleLog();
  if (loaded != 0) {
    // What the module logged while it refused may not have been announced yet.
    ShowLogLines(FHost->FetchLog(FInstance));
    throw TPollStop{kPollFailed, "the module refused LOAD (" + std::to_string(loaded) + ")" +
                                     (FModuleLogLines ? ": its log above says why" : "")};
  }
  // State bit 0 lets the module poll, bit 1 lets it take what the port reads.
  const std::string sources = std::to_string(kDataSource) + ";" + FOptions.Port + ";Bench poller";
  const int32_t started =
      FHost
          ->Command(FInstance, "SET-STATE", {Param("DATA-SOURCES-IN-CFG", sources), Param("RESULT", 1)}, true,
                    0x03)
          .Code;
  ShowModuleLog();
  if (started != 0) ShowLogLines(FHost->FetchLog(FInstance));
  if (started != 0)
    throw TPollStop{kPollFailed, "the module refused to start (" + std::to_string(started) + ")"};
  if (!FOptions.Quiet) FOut << "polling " << FLine->Describe() << " (" << FOptions.ProtocolName << ")\n";
}

// The length of a break the module asks for ("<<BREAK=100>>"), held to a minute: the digits
// come from the module, and no line needs a longer break.
uint32_t BreakMs(const std::string& command) {
  constexpr uint32_t kLongest = 60000;
  uint32_t ms = 0;
  for (char c : command)
    if (c >= '0' && c <= '9') ms = std::min<uint32_t>(kLongest, ms * 10 + static_cast<uint32_t>(c - '0'));
  return ms;
}

// Called by the module from inside its calls: nothing may escape back into it.
int32_t TPoller::WriteToLine(const std::string& bytes) {
  if (FPortFailure) return -1;
  const uint64_t now = platform::Now();
  try {
    if (IsBreakCommand(bytes)) {
      BreakLine(BreakMs(bytes), now);
      return static_cast<int32_t>(bytes.size());
    }
    FLine->Write(bytes, now);
    if (FTrace) FTrace->Sent(bytes, now - FStart);
    FCounts.Wrote(bytes.size(), now);
    return static_cast<int32_t>(bytes.size());
  } catch (const platform::ESerialPortError& failure) {
    FPortFailure = failure.what();
  } catch (const std::exception& failure) {
    FPortFailure = std::string("writing to the line: ") + failure.what();
  } catch (...) {
    FPortFailure = "writing to the line failed";
  }
  return -1;
}

// A break on the line, never bytes; a line that cannot carry one (a pseudo-terminal) is said
// once, and polling goes on: PLCs on such lines take an attach without a break.
void TPoller::BreakLine(uint32_t ms, uint64_t now) {
  if (FLine->Break(ms, now)) {
    if (FTrace) FTrace->LineBreak(ms, now - FStart);
    return;
  }
  if (FTrace)
    FTrace->Note("a break of " + std::to_string(ms) + " ms left out: the line cannot carry one",
                 now - FStart);
  FLineUse->NoBreaks();
  if (!FBreakNoted) {
    FBreakNoted = true;
    Tell("note: " + FLine->Describe() + " cannot carry a break (a pseudo-terminal?): breaks are left out");
  }
}

int TPoller::ServeLine() {
  std::vector<std::string> pieces;
  try {
    pieces = FLine->Read(platform::Now());
  } catch (const platform::ESerialPortError& failure) {
    FPortFailure = failure.what();
    return 0;
  }
  for (const std::string& piece : pieces) {
    const uint64_t now = platform::Now();
    if (FTrace) FTrace->Received(piece, now - FStart);
    FCounts.Read(piece.size());
    TakeRows(FHost->Data(FInstance, kDataSource, kDataFlagPortBytes, piece).Rows);
  }
  return static_cast<int>(pieces.size());
}

void TPoller::TakeRows(const std::vector<TRow>& rows) {
  const uint64_t now = platform::Now();
  for (const TRow& row : rows) {
    const TRow values = DecodedValues(row);
    FCounts.Row(now);
    if (FBoard->TakeRow(values, now - FStart)) {
      ++FValueRows;
      if (FBoard->CarriesPlcValue(values)) ++FPlcValueRows;
      if (FReport) FReport->Row(FBoard->IndexOf(values), values, now - FStart, ModuleRoundTrip());
    }
    FLineUse->Row(values, now - FStart);
    if (FCsv)
      FCsv->Add(now - FStart, LocalClockTime(std::chrono::system_clock::now()), FBoard->CaptionOf(values),
                values);
  }
  if (!rows.empty() && FHooks.OnRows) FHooks.OnRows(FCounts.Rows());
}

// A line on the error stream while the live view runs: the view is drawn again below it
// instead of over it.
void TPoller::Tell(const std::string& line) {
  FOut.flush();
  FErr << line << "\n";
  FErr.flush();
  FView.StartBelow();
}

void TPoller::ShowModuleLog() {
  ShowLogLines(FHost->Received());
}

void TPoller::ShowLogLines(const std::vector<TLogLine>& lines) {
  for (const TLogLine& line : lines) {
    const uint64_t ms = Ms();
    const std::optional<std::size_t> failed = FBoard->TakeFailure(line.Text, ms);
    const bool failure = failed.has_value();
    if (failed && FReport) {
      const std::string& cause = FBoard->Requests()[*failed].LastFailure;
      FReport->Failure(*failed, cause, FailureKindOf(cause), ms);
    }
    if (failure && !FOptions.LogFailed) continue;
    ++FModuleLogLines;
    Tell("kelda: " + ConsoleText(line.Text));
  }
}

// What went wrong so far, from the failures the module logged and its own counters.
TTrouble TPoller::Trouble() const {
  const TFailureTotals& totals = FBoard->Totals();
  TTrouble trouble;
  trouble.Timeouts = totals.Timeouts;
  trouble.Checks = totals.Checks;
  trouble.Refusals = totals.Naks + totals.PlcErrors;
  if (auto module = StatisticsOf(FStatisticsText, kDataSource)) {
    trouble.Checks = std::max(trouble.Checks, module->Checks.value_or(0));
    trouble.Refusals = std::max(trouble.Refusals, module->Naks.value_or(0));
    trouble.Timeouts = std::max(trouble.Timeouts, module->Timeouts.value_or(0));
  }
  uint64_t errorRows = 0;
  for (const TRequestState& request : FBoard->Requests()) {
    trouble.Refusals = std::max(trouble.Refusals, request.ErrorRows);
    errorRows += request.ErrorRows;
  }
  const uint64_t rows = FCounts.Rows();
  trouble.EmptyRows = rows > FValueRows + errorRows ? rows - FValueRows - errorRows : 0;
  trouble.DefaultRows = FValueRows - FPlcValueRows;
  return trouble;
}

// Why the module sent nothing, as far as the configuration shows it.
std::string TPoller::NothingSentText() const {
  const std::string start = "kelda-host poll: the module sent no request: ";
  if (FBoard->Requests().empty())
    return start + "the configuration " + FOptions.ConfigFile + " holds no <Request>";
  if (FBoard->EnabledCount() == 0)
    return start + "none of the configuration's " + std::to_string(FBoard->Requests().size()) +
           " requests is enabled: a request is polled only with <Enabled check=\"2\"/> (a missing "
           "<Enabled> leaves it off)";
  return start + "the configuration's enabled requests cannot be sent" +
         (FModuleLogLines ? " (the module's log above says why)" : "; check their memory types and sizes");
}

std::vector<std::string> TPoller::ViewLines() const {
  return FBoard->Lines(Ms());
}

void TPoller::RefreshStatistics(bool force) {
  const uint64_t now = Ms();
  if (!force && now - FStatisticsAt < kStatisticsEveryMs) return;
  FStatisticsAt = now;
  TCommandResult result = FHost->Command(FInstance, "GET-MODULE-PARAMETER", {Param("PARAM", "Statistics")});
  FStatisticsText.clear();
  if (result.Code == 0 && !result.Result.IsEmptyOrNull()) {
    try {
      FStatisticsText = result.Result.ToText();
    } catch (const std::exception&) {
      // Not a text: the module has no statistics to show.
    }
  }
}

void TPoller::CheckFailures() {
  if (FPortFailure)
    throw TPollStop{kPollFailed, "the port failed while polling: " + *FPortFailure +
                                     "\n  check that the adapter is still plugged in, then run again"};
  if (gStopRequested) throw TPollStop{kPollInterrupted, "stopped by Ctrl+C"};
  if (FOptions.Transactions && FCounts.Rows() >= FOptions.Transactions)
    throw TPollStop{kPollOk, "the transactions asked for were decoded"};
  const uint64_t ms = Ms();
  if (FOptions.Seconds && ms >= uint64_t{FOptions.Seconds} * 1000) throw TPollStop{kPollOk, ""};
  if (!FHintShown && FPlcValueRows == 0 && ms >= kNoAnswerHintMs) {
    FHintShown = true;
    RefreshStatistics(true);
    Tell(NoAnswerHint(FOptions, ms, Trouble()));
  }
}

void TPoller::Loop() {
  for (;;) {
    const int work = FHost->PumpMessages() + ServeLine();
    ShowModuleLog();
    FHost->Sent();  // the poller writes as it goes; the host need not keep them
    CheckFailures();
    RefreshStatistics(false);
    if (!FOptions.Quiet)
      FView.Show(Ms(), ViewLines(), ProgressLine(FCounts, FStatisticsText, kDataSource, Ms()));
    if (FCsv) FCsv->FlushIfDue(Ms(), kFlushEveryMs);
    // The trace writes itself out once a second of its own time; flushing it from here would
    // close a frame that is still arriving and show it as two broken ones.
    if (work == 0) WaitForWork();
  }
}

// A real port is looked at every millisecond; the timed line says when its next character
// arrives, and a wake-up a millisecond late would cost each read its share of the wire (a CCM
// read needs four of the master's reactions). The figures are taken on the native build.
void TPoller::WaitForWork() {
#ifndef _WIN32
  // Windows sleeps a whole timer grain (up to 15.6 ms) for any wait under a millisecond, and a
  // sleep does not wake for the module's messages as the message wait does.
  const uint64_t untilUs = FLine->UsUntilNextEvent();
  if (untilUs < 1000) {
    std::this_thread::sleep_for(std::chrono::microseconds(untilUs));
    return;
  }
#endif
  platform::PumpMessages([] { return gStopRequested.load(); }, 1);
}

// Every way out: the files complete up to now, the module stopped and freed, a summary, and
// the reason a run failed.
int TPoller::Finish(int status, std::string message) {
  const uint64_t ms = Ms();
  std::string howEnded = message;
  // The files first: they are complete up to now whatever the module does while it stops.
  if (FTrace) {
    FTrace->Note(message.empty() ? "end of the run" : message, ms);
    FTrace->Flush();
  }
  try {
    if (FCsv) FCsv->Flush();
  } catch (const std::exception& failure) {
    FErr << "kelda-host poll: " << failure.what() << "\n";
    if (status == kPollOk) status = kPollFailed;
  }
  if (FHost && FInstance) {
    try {
      RefreshStatistics(true);
      FHost->Command(FInstance, "UNLOAD", {Param("INI-FILE", FSettings->Path())});
      ShowModuleLog();
      FHost->Free(FInstance);
      FHost->Shutdown();
    } catch (const std::exception& failure) {
      FErr << "kelda-host poll: stopping the module: " << failure.what() << "\n";
      if (status == kPollOk) status = kPollFailed;
    }
    if (!FOptions.Quiet)
      FView.Show(ms, ViewLines(), ProgressLine(FCounts, FStatisticsText, kDataSource, ms), true);
  }
  if (FHost && FInstance) {
    FOut << Summary(FOptions, FCounts, FStatisticsText, kDataSource, ms) << FLineUse->Report() << std::flush;
    // Error answers carry no value, and a Default is no value of the PLC's: a run of nothing
    // but them read nothing.
    if (status == kPollOk && FPlcValueRows == 0) {
      const bool sentNothing = FHost->SendCount() == 0;
      status = sentNothing ? kPollFailed : kPollNoAnswer;
      message.clear();  // the run's end as asked is no news beside the hint
      // The report is read without the console: it says why the run failed, not that it ran out.
      howEnded = sentNothing ? "the module sent no request (exit status 1)"
                             : "no value was read from the PLC in the whole run (exit status 3)";
      if (sentNothing)
        FErr << NothingSentText() << "\n";
      else if (!FHintShown)
        FErr << NoAnswerHint(FOptions, ms, Trouble()) << "\n";
    }
  }
  WriteReport(status, howEnded, ms);
  if (!message.empty() && status != kPollOk) FErr << "kelda-host poll: " << message << "\n";
  return status;
}

void TPoller::WriteReport(int& status, const std::string& message, uint64_t ms) {
  if (!FReport) return;
  TReportEnd end;
  end.Ms = ms;
  end.EndClock = LocalClockTime(std::chrono::system_clock::now());
  end.HowEnded = message.empty() ? "the end of the run asked for" : message;
  end.Module = StatisticsOf(FStatisticsText, kDataSource);
  try {
    FReport->Write(end);
    FOut << "report: " << FOptions.ReportFile << "\n" << std::flush;
  } catch (const std::exception& failure) {
    FErr << "kelda-host poll: " << failure.what() << "\n";
    if (status == kPollOk) status = kPollFailed;
  }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ModuleSettings(const TPollOptions& options,
                                                                const std::string& configuration) {
  std::vector<std::pair<std::string, std::string>> settings = {
      {"Parser config", EncodeStoredText(configuration)},
      {"Proto", std::to_string(static_cast<int>(options.Protocol))},
      {"Local address", std::to_string(options.LocalId)},
      {"Min interval", std::to_string(options.MinIntervalMs)}};
  if (options.Fast) {
    settings.emplace_back("Keep session", "1");
    settings.emplace_back("Send when ready", "1");
  }
  settings.insert(settings.end(), options.Settings.begin(), options.Settings.end());
  return settings;
}

void RequestPollStop() {
  gStopRequested = true;
  gActiveLine.Cancel();
}

int RunPoll(const TPollOptions& options, std::ostream& out, std::ostream& err, const TPollHooks& hooks) {
  gStopRequested = false;
  TPoller poller(options, out, err, hooks);
  return poller.Run();
}

int PollMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  TPollOptions options;
  try {
    options = ParsePollOptions(args);
  } catch (const EPollUsage& usage) {
    err << "kelda-host poll: " << usage.what() << "\n(kelda-host poll --help shows every option)\n";
    return kPollUsage;
  }
  if (options.Help) {
    out << PollUsage();
    return kPollOk;
  }
  platform::OnInterrupt(RequestPollStop);
  const int status = RunPoll(options, out, err);
  platform::OnInterrupt(nullptr);
  return status;
}

}  // namespace kelda::host
