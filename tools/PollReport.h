// The report of a poller run: one self-contained XHTML file (inline CSS and SVG, no script, no
// network) for the customer's record of a commissioning: the configuration in GE's terms, each
// value as a line over the run with gaps where its request failed, the statistics per request,
// the round-trip times and a timeline of the failures in the live view's words.
//
// The run is collected as it goes, compactly: per value its times and numbers (TSeries, which
// thins itself in a long run), per request its counts, the first failures one by one and the
// rest as counts per cause and per slice of time. The file
// is written once, at the end of the run, whatever ended it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tools/PollRequests.h"
#include "tools/PollStatistics.h"
#include "tools/SvgChart.h"

namespace kelda::host {

// Module text (the system's 8-bit code page) as the report holds it: UTF-8, control characters
// as in the CSV, XML special characters escaped.
std::string ReportText(const std::string& moduleText);

struct TReportRequest {
  std::string Caption;      // module text
  std::string Reference;    // "%R1-%R10"
  std::string Description;  // module text: the request as the configuration check reads it
  uint32_t PollIntervalMs = 0;
  bool Enabled = false;
};

struct TReportSetup {
  std::string ConfigFile;
  std::string Protocol;  // in words: "SNP-X", "CCM master to slave"
  std::string Line;      // the port and its settings, or the simulated PLC
  std::string StartClock;
  std::vector<TReportRequest> Requests;
};

struct TReportEnd {
  uint64_t Ms = 0;
  std::string EndClock;
  std::string HowEnded;
  std::optional<TLineStatistics> Module;  // the module's own counters at the end
};

class TPollReport {
public:
  // Creates (truncates) the file with a page saying the run is under way, so that a path that
  // cannot be written stops the run before it starts. Throws Exception naming the file.
  explicit TPollReport(std::string path);

  void Setup(TReportSetup setup);
  // A row with values of a request (nullopt: none of the configuration's), with the round trip
  // of its transaction when known.
  void Row(std::optional<std::size_t> request, const TRequestValues& values, uint64_t ms,
           std::optional<uint64_t> rttMs);
  // A failed transaction of a request, with its cause in words.
  void Failure(std::size_t request, const std::string& cause, TFailureKind kind, uint64_t ms);

  // The whole document.
  std::string Document(const TReportEnd& end) const;
  // Writes the document beside the file and puts it in its place in one step. Throws Exception.
  void Write(const TReportEnd& end) const;

  uint64_t Rows() const { return FRows; }
  // The records the failures take: the first listed ones in detail and the timeline's slices.
  // Bounded, whatever the length of the run.
  std::size_t FailureRecords() const { return FFailures.size() + FFailureSlices.size(); }

private:
  struct TValueTrack {
    std::string Name;  // module text
    TSeries Series;
    bool Text = false;  // a value that is not a number is listed, not drawn
    std::string LastText;
  };
  struct TRequestTrack {
    uint64_t Answers = 0;
    std::array<uint64_t, 5> Failures{};  // by TFailureKind
    uint64_t RttCount = 0, RttSum = 0, RttMin = 0, RttMax = 0;
    std::vector<TValueTrack> Values;
  };
  struct TFailureEvent {
    uint32_t Ms;
    uint32_t Request;
    uint32_t Cause;  // index into FCauses
  };

  TRequestTrack& Track(std::size_t request);
  std::string RunSection(const TReportEnd& end) const;
  std::string ConfigurationSection() const;
  std::string StatisticsSection() const;
  std::string ValuesSection(uint64_t endMs) const;
  std::string RttSection() const;
  std::string FailuresSection(uint64_t endMs) const;

  std::string FPath;
  TReportSetup FSetup;
  std::vector<TRequestTrack> FTracks;  // by request index
  uint64_t FRows = 0, FOtherRows = 0;
  std::map<uint64_t, uint64_t> FRtt;  // round trip in ms: how many
  std::vector<std::string> FCauses;
  std::map<std::string, uint32_t> FCauseIndex;
  std::vector<uint64_t> FCauseCounts;
  uint64_t FFailureCount = 0;
  std::vector<TFailureEvent> FFailures;  // the first ones, listed one by one
  // The timeline: per slice of time, request and kind, the first failure's time. The slices
  // widen (and merge) when there are too many.
  std::map<std::tuple<uint32_t, uint32_t, uint8_t>, uint32_t> FFailureSlices;
  uint32_t FSliceMs = 16;
};

}  // namespace kelda::host
