// The poller's report through whole runs of the real library against the built-in simulated
// PLC: a well-formed XHTML document with its namespaces, whose numbers agree with the CSV and
// with the module's own failure lines, written on every way a run ends.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/PollLine.h"
#include "tools/PollReport.h"
#include "tools/ConsoleText.h"
#include "tools/PollRun.h"

using namespace kelda;
using namespace kelda::host;

namespace {

// A caption with every XML special character and an umlaut, as the configuration file holds it
// (windows-1252), and as the report must show it (escaped, UTF-8).
constexpr const char* kCaptionInFile = "Tank &lt;&amp;&gt;&quot; Z\xFCrich";
constexpr const char* kCaptionInModule = "Tank <&>\" Z\xFCrich";
constexpr const char* kCaptionInReport = "Tank &lt;&amp;&gt;&quot; Z\xC3\xBCrich";
constexpr const char* kSecondCaption = "Analog inputs AI1-AI4";

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The SNP-X sample with the first request's caption made hard to escape.
std::string HardCaptionConfig() {
  std::string text = FileText(std::string(KELDA_SAMPLES_DIR) + "/snpx.xml");
  const std::string plain = "caption=\"Registers R1-R10\"";
  const std::size_t at = text.find(plain);
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos)
    text.replace(at, plain.size(), std::string("caption=\"") + kCaptionInFile + "\"");
  const std::string path = "report_snpx.xml";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// The module's failure lines (--log-failed) of one request, and their causes.
std::vector<std::string> FailureCauses(const std::string& err, const std::string& caption) {
  std::vector<std::string> causes;
  std::istringstream lines(err);
  const std::string marker = "request \"" + caption + "\" failed: ";
  for (std::string line; std::getline(lines, line);)
    if (const std::size_t at = line.find(marker); at != std::string::npos)
      causes.push_back(line.substr(at + marker.size()));
  return causes;
}

// The statistics row of a request: its answers and failed transactions.
std::pair<std::string, std::string> StatisticsOf(const std::string& report, const std::string& caption,
                                                 const std::string& reference) {
  const std::size_t section = report.find("<section id=\"statistics\">");
  const std::string row = "<tr><td>" + caption + "</td><td>" + reference + "</td><td class=\"n\">";
  const std::size_t at = report.find(row, section);
  if (section == std::string::npos || at == std::string::npos) return {"missing", "missing"};
  const std::size_t answersEnd = report.find('<', at + row.size());
  const std::string answers = report.substr(at + row.size(), answersEnd - at - row.size());
  const std::string cell = "<td class=\"n\">";
  const std::size_t failedAt = report.find(cell, answersEnd) + cell.size();
  return {answers, report.substr(failedAt, report.find('<', failedAt) - failedAt)};
}

// xmllint's answer to an XPath expression over the file; empty where xmllint cannot run.
std::string XPath(const std::string& file, const std::string& expression) {
#ifdef _WIN32
  (void)file, (void)expression;
  return "";
#else
  const std::string out = file + ".xpath";
  const std::string command = "xmllint --xpath \"" + expression + "\" " + file + " > " + out + " 2>&1";
  if (std::system(command.c_str()) != 0) return "xmllint failed: " + FileText(out);
  std::string answer = FileText(out);
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.pop_back();
  return answer;
#endif
}

bool XmllintAvailable() {
#ifdef _WIN32
  return false;
#else
  return std::system("xmllint --version > /dev/null 2>&1") == 0;
#endif
}

// Checks with a real XML parser: well-formed, the root in the XHTML namespace, every chart in
// the SVG namespace. Returns the number of charts.
int ExpectWellFormedXhtml(const std::string& file) {
  if (!XmllintAvailable()) {
    std::printf("note: xmllint cannot run here (win32 or not installed); %s is not parsed\n", file.c_str());
    return -1;
  }
  EXPECT_EQ(XPath(file, "count(/*[local-name()='html' and namespace-uri()='http://www.w3.org/1999/xhtml'])"),
            "1");
  EXPECT_EQ(XPath(file, "count(//*[local-name()='svg' and namespace-uri()!='http://www.w3.org/2000/svg'])"),
            "0");
  EXPECT_EQ(XPath(file, "count(//*[namespace-uri()=''])"), "0") << "no element outside a namespace";
  const std::string charts =
      XPath(file, "count(//*[local-name()='svg' and namespace-uri()='http://www.w3.org/2000/svg'])");
  try {
    return std::stoi(charts);
  } catch (const std::exception&) {
    ADD_FAILURE() << charts;
    return 0;
  }
}

// Lines freed while Ctrl+C was still cancelling them (from a thread of its own, as on Windows).
std::atomic<int> gCancelling{0}, gFreedWhileCancelled{0};

// The simulated PLC behind a line whose cancel takes a while, as a port's may.
class TSlowCancelLine : public TPollLine {
public:
  explicit TSlowCancelLine(const TPollOptions& options) : FLine(options) {}
  ~TSlowCancelLine() override {
    if (gCancelling > 0) ++gFreedWhileCancelled;
  }
  void Write(const std::string& bytes, uint64_t now) override { FLine.Write(bytes, now); }
  std::vector<std::string> Read(uint64_t now) override { return FLine.Read(now); }
  bool Break(uint32_t ms, uint64_t now) override { return FLine.Break(ms, now); }
  void Cancel() override {
    ++gCancelling;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    --gCancelling;
  }
  std::string Describe() const override { return FLine.Describe(); }

private:
  TSimulatedPollLine FLine;
};

}  // namespace

TEST(PollReport, ARunWithFailuresIsReportedAsTheCsvAndTheModuleSawIt) {
  const std::string config = HardCaptionConfig();
  std::remove("report.html");
  TSimulatedPollLine* line = nullptr;
  TPollHooks hooks;
  hooks.OpenLine = [&line](const TPollOptions& options) {
    auto opened = std::make_unique<TSimulatedPollLine>(options);
    line = opened.get();
    return opened;
  };
  // The PLC falls silent once values have come: the charts must break there.
  hooks.OnRows = [&line](uint64_t rows) {
    if (rows == 6 && line) line->Plc().faults().silent = 3;
  };
  std::ostringstream out, err;
  const int status = RunPoll(ParsePollOptions({KELDA_LIBRARY_PATH, "--config", config, "--protocol", "snpx",
                                               "--quiet", "--log-failed", "--transactions", "16", "--seconds",
                                               "60", "--csv", "report.csv", "--report", "report.html"}),
                             out, err, hooks);
  ASSERT_EQ(status, kPollOk) << err.str();
  EXPECT_NE(out.str().find("report: report.html"), std::string::npos) << out.str();
  const std::string report = FileText("report.html");
  ASSERT_EQ(report.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << report.substr(0, 200);

  // The configuration in GE's terms, the caption escaped and in UTF-8.
  EXPECT_NE(report.find(kCaptionInReport), std::string::npos);
  EXPECT_EQ(report.find("<&>"), std::string::npos);
  EXPECT_EQ(report.find("Z\xFCrich"), std::string::npos) << "no byte of the 8-bit code page";
  EXPECT_NE(report.find("<td>%R1-%R10</td><td>every 250 ms</td>"), std::string::npos);
  EXPECT_NE(report.find("<td>%AI1-%AI4</td><td>every 1000 ms</td>"), std::string::npos);
  EXPECT_NE(report.find("<th>Protocol</th><td>SNP-X</td>"), std::string::npos);
  EXPECT_NE(report.find("simulated: "), std::string::npos);

  // The answers of each request are the CSV's rows of it; the failures are the module's lines.
  const std::string csv = FileText("report.csv");
  const std::size_t csvRows = Count(csv, "\r\n") - 1;
  const std::size_t secondRows = Count(csv, std::string(",") + kSecondCaption + ",");
  // The console shows the module's lines in UTF-8.
  const auto tankFailures = FailureCauses(err.str(), ConsoleText(kCaptionInModule));
  const auto secondFailures = FailureCauses(err.str(), kSecondCaption);
  ASSERT_GE(tankFailures.size() + secondFailures.size(), 3u) << err.str();
  EXPECT_EQ(StatisticsOf(report, kCaptionInReport, "%R1-%R10"),
            std::make_pair(std::to_string(csvRows - secondRows), std::to_string(tankFailures.size())));
  EXPECT_EQ(StatisticsOf(report, kSecondCaption, "%AI1-%AI4"),
            std::make_pair(std::to_string(secondRows), std::to_string(secondFailures.size())));
  EXPECT_NE(report.find("<tr><th>Rows with values</th><td>" + std::to_string(csvRows) + "</td></tr>"),
            std::string::npos);

  // The timeline lists each failure with the live view's words.
  const std::string cause = tankFailures.empty() ? secondFailures.front() : tankFailures.front();
  EXPECT_NE(report.find("<td class=\"failed\">" + cause + "</td>"), std::string::npos) << cause;
  EXPECT_EQ(Count(report, "<td class=\"failed\">"), tankFailures.size() + secondFailures.size());
  // A chart whose request failed between answers breaks its line there.
  std::size_t broken = 0;
  for (std::size_t at = report.find("class=\"value\" d=\""); at != std::string::npos;
       at = report.find("class=\"value\" d=\"", at + 1)) {
    const std::string d = report.substr(at, report.find("\"", at + 17) - at);
    if (Count(d, "M") >= 2) ++broken;
  }
  EXPECT_GE(broken, 1u) << "no chart shows the failure as a gap";

  const int charts = ExpectWellFormedXhtml("report.html");
  // Nine values of the first request (R1-R6, R7_R8, R9_TENTHS, R10), four of the second, the
  // histogram and the timeline.
  if (charts >= 0) {
    EXPECT_EQ(charts, 9 + 4 + 2);
  }
}

TEST(PollReport, EveryWayOutWritesTheReportOrSaysWhyNot) {
  // Ctrl+C (from a thread of its own, as on Windows): the report is complete up to the stop and
  // says how the run ended, and the line is not freed while it is being cancelled.
  std::remove("stopped.html");
  TPollHooks hooks;
  std::thread interrupt;
  hooks.OpenLine = [](const TPollOptions& options) { return std::make_unique<TSlowCancelLine>(options); };
  hooks.OnRows = [&interrupt](uint64_t rows) {
    if (rows >= 3 && !interrupt.joinable()) interrupt = std::thread(RequestPollStop);
  };
  std::ostringstream out, err;
  const TPollOptions stopped = ParsePollOptions(
      {KELDA_LIBRARY_PATH, "--config", std::string(KELDA_SAMPLES_DIR) + "/ccm-ms.xml", "--protocol", "ccm-ms",
       "--quiet", "--seconds", "60", "--report", "stopped.html", "--csv", "stopped.csv"});
  EXPECT_EQ(RunPoll(stopped, out, err, hooks), kPollInterrupted) << err.str();
  if (interrupt.joinable()) interrupt.join();
  EXPECT_EQ(gFreedWhileCancelled.load(), 0) << "the line was freed while Ctrl+C cancelled it";
  const std::string report = FileText("stopped.html");
  EXPECT_NE(report.find("<th>How it ended</th><td>stopped by Ctrl+C</td>"), std::string::npos) << report;
  EXPECT_NE(report.find("<th>Protocol</th><td>CCM master to slave</td>"), std::string::npos);
  EXPECT_NE(report.find("class=\"value\""), std::string::npos) << "the values so far are drawn";
  if (ExpectWellFormedXhtml("stopped.html") >= 0) {
    EXPECT_EQ(
        XPath("stopped.html", "string(//*[local-name()='section'][@id='run']//*[local-name()='tr'][6]/*[2])"),
        std::to_string(Count(FileText("stopped.csv"), "\r\n") - 1))
        << "rows with values";
  }

  // A report that cannot be written stops the run before it polls, and says which file.
  std::ostringstream out2, err2;
  const TPollOptions nowhere = ParsePollOptions(
      {KELDA_LIBRARY_PATH, "--config", std::string(KELDA_SAMPLES_DIR) + "/snpx.xml", "--protocol", "snpx",
       "--quiet", "--seconds", "1", "--report", "no-such-folder/run.html"});
  EXPECT_EQ(RunPoll(nowhere, out2, err2), kPollFailed);
  EXPECT_NE(err2.str().find("no-such-folder/run.html"), std::string::npos) << err2.str();

  // A run that decoded nothing says so, as its exit status does, not that it ran its course.
  std::remove("silent.html");
  std::ostringstream out3, err3;
  const TPollOptions silent = ParsePollOptions(
      {KELDA_LIBRARY_PATH, "--config", std::string(KELDA_SAMPLES_DIR) + "/snpx.xml", "--protocol", "snpx",
       "--quiet", "--seconds", "1", "--sim-silent", "always", "--report", "silent.html"});
  EXPECT_EQ(RunPoll(silent, out3, err3), kPollNoAnswer) << err3.str();
  const std::string silentReport = FileText("silent.html");
  EXPECT_NE(silentReport.find("<th>How it ended</th><td>no value was read from the PLC"), std::string::npos)
      << silentReport.substr(0, 2000);
}

// A long run straight through the report: readings that are no finite number leave their value
// a chart with gaps, and the failures of any number of hours take bounded memory while the
// counts and the timeline still show all of them.
TEST(PollReport, ALongRunKeepsItsChartsAndBoundsItsFailures) {
  TPollReport report("long.html");
  TReportSetup setup;
  setup.ConfigFile = "long.xml";
  setup.Protocol = "SNP-X";
  setup.Line = "simulated";
  setup.Requests.push_back({"Tank", "%R1-%R2", "Tank", 100, true});
  setup.Requests.push_back({"Pumps", "%AI1", "Pumps", 100, true});
  report.Setup(setup);
  constexpr uint64_t kRows = 200000;
  const char* const odd[] = {"inf", "nan", "-INF", "1e999"};
  uint64_t timeouts = 0;
  for (uint64_t i = 0; i < kRows; ++i) {
    const std::string level = i % 50 < 4 ? odd[i % 50] : std::to_string(i % 100);
    report.Row(0, {{"LEVEL", level}, {"NAME", "pump A"}}, i * 10, 20);
    if (i % 2 == 0) {
      report.Failure(1, "no data in time", TFailureKind::Timeout, i * 10 + 5);
      ++timeouts;
    }
  }
  report.Failure(1, "NAK from the PLC", TFailureKind::Nak, kRows * 10);
  EXPECT_LE(report.FailureRecords(), 200u + 4096u) << "failures of a long run take bounded memory";

  TReportEnd end;
  end.Ms = kRows * 10 + 10;
  end.EndClock = "later";
  end.HowEnded = "the end of the run asked for";
  const std::string html = report.Document(end);
  EXPECT_NE(html.find("<figcaption>LEVEL (4 to 99)</figcaption>"), std::string::npos)
      << "a value with some readings of infinity is still drawn";
  EXPECT_EQ(html.find("LEVEL: text"), std::string::npos);
  EXPECT_NE(html.find("NAME: text, last \"pump A\""), std::string::npos) << "text stays text";
  EXPECT_NE(html.find("<th>Failed transactions</th><td>" + std::to_string(timeouts + 1) + "</td>"),
            std::string::npos);
  EXPECT_NE(html.find("<td>no data in time</td><td class=\"n\">" + std::to_string(timeouts) + "</td>"),
            std::string::npos);
  EXPECT_NE(html.find("<td>NAK from the PLC</td><td class=\"n\">1</td>"), std::string::npos);
  EXPECT_NE(html.find("And " + std::to_string(timeouts + 1 - 200) + " more, not listed."), std::string::npos);
  EXPECT_EQ(Count(html, "<td class=\"failed\">"), 200u) << "the first 200 are listed";
  // The timeline still shows the one NAK at the very end beside the time-outs of the whole run:
  // the legend's swatch and one mark each.
  const std::size_t timeline = html.find("<section id=\"failures\">");
  const std::string failures = html.substr(timeline, html.find("</svg>", timeline) - timeline);
  EXPECT_EQ(Count(failures, "fill=\"#c0392b\""), 2u);
  EXPECT_GT(Count(failures, "fill=\"#e67e22\""), 300u) << "time-outs marked over the whole run";
}
