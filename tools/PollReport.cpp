#include "tools/PollReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "Common/Exceptions.h"
#include "tools/PollCsv.h"

namespace kelda::host {

namespace {

constexpr std::size_t kListedFailures = 200;
constexpr std::size_t kMaxFailureSlices = 4096;

constexpr const char* kStyle = R"(
body { font-family: sans-serif; color: #111; background: #fff; margin: 1.5em; max-width: 800px; }
h1 { font-size: 1.5em; } h2 { font-size: 1.25em; border-bottom: 1px solid #999; } h3 { font-size: 1.05em; }
table { border-collapse: collapse; margin: 0.5em 0; }
th, td { border: 1px solid #bbb; padding: 2px 6px; text-align: left; font-size: 0.9em; vertical-align: top; }
td.n { text-align: right; }
figure { margin: 0.5em 0 1em 0; break-inside: avoid; page-break-inside: avoid; }
figcaption { font-size: 0.9em; }
svg.chart { display: block; max-width: 100%; height: auto; }
.failed { color: #b03020; }
.note { font-size: 0.85em; color: #444; }
@media print {
  body { margin: 0; max-width: none; }
  section { break-before: page; page-break-before: always; }
  section.first { break-before: auto; page-break-before: auto; }
}
)";

// The colour of each failure kind on the timeline, in TFailureKind order, with its name.
const std::vector<std::pair<std::string, std::string>>& FailureKinds() {
  static const std::vector<std::pair<std::string, std::string>> kinds = {{"time-out", "#e67e22"},
                                                                         {"failed check", "#8e44ad"},
                                                                         {"NAK", "#c0392b"},
                                                                         {"PLC error answer", "#7f4f24"},
                                                                         {"other", "#7f8c8d"}};
  return kinds;
}

// The number a value's text reads as; nullopt for text that is no number. A reading that is no
// finite number ("nan", "inf", or out of range) comes back as itself: the chart takes it as a
// gap, and the value stays a number.
std::optional<double> NumberOf(const std::string& text) {
  if (text == "true" || text == "True" || text == "TRUE") return 1.0;
  if (text == "false" || text == "False" || text == "FALSE") return 0.0;
  std::string dotted = text;
  std::replace(dotted.begin(), dotted.end(), ',', '.');
  const char* start = dotted.c_str();
  char* end = nullptr;
  const double value = std::strtod(start, &end);
  if (end == start) return std::nullopt;
  while (*end == ' ') ++end;
  if (*end != '\0') return std::nullopt;
  return value;
}

std::string Cell(const std::string& escaped) {
  return "<td>" + escaped + "</td>";
}
std::string NumberCell(uint64_t value) {
  return "<td class=\"n\">" + std::to_string(value) + "</td>";
}
std::string Fact(const std::string& name, const std::string& escaped) {
  return "<tr><th>" + name + "</th><td>" + escaped + "</td></tr>";
}

std::string OneDecimal(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string PollText(const TReportRequest& request) {
  if (!request.Enabled) return "not sent";
  if (request.PollIntervalMs == 0) return "once at start-up";
  return "every " + std::to_string(request.PollIntervalMs) + " ms";
}

// A bin width of 1, 2 or 5 times a power of ten that keeps the histogram to at most `most` bins.
uint64_t BinWidth(uint64_t range, uint64_t most) {
  for (uint64_t scale = 1;; scale *= 10)
    for (uint64_t step : {1, 2, 5})
      if (range / (step * scale) + 1 <= most) return step * scale;
}

}  // namespace

std::string ReportText(const std::string& moduleText) {
  return XmlEscape(CsvText(moduleText));
}

TPollReport::TPollReport(std::string path) : FPath(std::move(path)) {
  std::ofstream out(FPath, std::ios::binary | std::ios::trunc);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head><title>kelda-host poll</title></head>"
         "<body><p>The run is under way: its report is written here when it ends.</p></body></html>\n";
  out.flush();
  if (!out) throw Exception("cannot write the report file " + FPath);
}

void TPollReport::Setup(TReportSetup setup) {
  FSetup = std::move(setup);
  if (FTracks.size() < FSetup.Requests.size()) FTracks.resize(FSetup.Requests.size());
}

TPollReport::TRequestTrack& TPollReport::Track(std::size_t request) {
  if (request >= FTracks.size()) FTracks.resize(request + 1);
  return FTracks[request];
}

void TPollReport::Row(std::optional<std::size_t> request, const TRequestValues& values, uint64_t ms,
                      std::optional<uint64_t> rttMs) {
  ++FRows;
  if (!request) {
    ++FOtherRows;
    return;
  }
  TRequestTrack& track = Track(*request);
  ++track.Answers;
  if (rttMs) {
    ++FRtt[*rttMs];
    track.RttMin = track.RttCount ? std::min(track.RttMin, *rttMs) : *rttMs;
    track.RttMax = track.RttCount ? std::max(track.RttMax, *rttMs) : *rttMs;
    track.RttSum += *rttMs;
    ++track.RttCount;
  }
  std::size_t position = 0;
  for (const auto& [name, value] : values) {
    if (IsFixedRowItem(name)) continue;
    // Rows of a request bring their values in the same order: look where the name was last.
    TValueTrack* found = nullptr;
    if (position < track.Values.size() && track.Values[position].Name == name) {
      found = &track.Values[position];
    } else {
      for (TValueTrack& candidate : track.Values)
        if (candidate.Name == name) found = &candidate;
    }
    if (!found) {
      track.Values.push_back(TValueTrack{name, {}, false, {}});
      found = &track.Values.back();
    }
    position = static_cast<std::size_t>(found - track.Values.data()) + 1;
    const std::optional<double> number = NumberOf(value);
    if (!number) found->Text = true;
    found->LastText = value;
    if (number && !found->Text) found->Series.Add(ms, *number);  // not finite: a gap
  }
}

void TPollReport::Failure(std::size_t request, const std::string& cause, TFailureKind kind, uint64_t ms) {
  TRequestTrack& track = Track(request);
  for (TValueTrack& value : track.Values) value.Series.Gap(ms);
  ++track.Failures[static_cast<std::size_t>(kind)];
  auto [at, added] = FCauseIndex.emplace(cause, static_cast<uint32_t>(FCauses.size()));
  if (added) {
    FCauses.push_back(cause);
    FCauseCounts.push_back(0);
  }
  ++FCauseCounts[at->second];
  ++FFailureCount;
  const auto ms32 = static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX));
  const auto request32 = static_cast<uint32_t>(request);
  if (FFailures.size() < kListedFailures) FFailures.push_back(TFailureEvent{ms32, request32, at->second});
  auto [slice, fresh] =
      FFailureSlices.emplace(std::make_tuple(ms32 / FSliceMs, request32, static_cast<uint8_t>(kind)), ms32);
  if (!fresh) slice->second = std::min(slice->second, ms32);
  // Wider slices once there are too many: a timeline is some 700 pixel columns wide, and slices
  // of twice the width hold the narrower ones whole, so each keeps its earliest failure.
  while (FFailureSlices.size() > kMaxFailureSlices && FSliceMs < (uint32_t{1} << 31)) {
    FSliceMs *= 2;
    std::map<std::tuple<uint32_t, uint32_t, uint8_t>, uint32_t> wider;
    for (const auto& [key, firstMs] : FFailureSlices) {
      auto [merged, first] =
          wider.emplace(std::make_tuple(std::get<0>(key) / 2, std::get<1>(key), std::get<2>(key)), firstMs);
      if (!first) merged->second = std::min(merged->second, firstMs);
    }
    FFailureSlices = std::move(wider);
  }
}

std::string TPollReport::RunSection(const TReportEnd& end) const {
  std::string html = "<section class=\"first\" id=\"run\"><h2>The run</h2><table>";
  html += Fact("Configuration", XmlEscape(FSetup.ConfigFile));
  html += Fact("Started", XmlEscape(FSetup.StartClock));
  html += Fact("Ended", XmlEscape(end.EndClock));
  html += Fact("Duration", SecondsText(end.Ms));
  html += Fact("How it ended", XmlEscape(end.HowEnded));
  std::string rows = std::to_string(FRows);
  if (FOtherRows) rows += " (" + std::to_string(FOtherRows) + " of no configured request)";
  html += Fact("Rows with values", rows);
  html += Fact("Failed transactions", std::to_string(FFailureCount));
  if (end.Module) {
    const TLineStatistics& m = *end.Module;
    auto count = [](const std::optional<uint64_t>& value) { return value ? std::to_string(*value) : "-"; };
    html += Fact("Transactions started (module)", count(m.Requests));
    html += Fact("Answers (module)", count(m.Answers));
    html += Fact("Time-outs (module)", count(m.Timeouts));
    html += Fact("Failed checks (module)", count(m.Checks));
    html += Fact("NAKs and error answers (module)", count(m.Naks));
    html += Fact("Bytes out / in", count(m.BytesOut) + " / " + count(m.BytesIn));
    html += Fact("Round trip, average (module)", count(m.RttAvgMs) + " ms");
  }
  return html + "</table></section>\n";
}

std::string TPollReport::ConfigurationSection() const {
  std::string html = "<section id=\"configuration\"><h2>Configuration</h2><table>";
  html += Fact("Protocol", XmlEscape(FSetup.Protocol));
  html += Fact("Line", XmlEscape(FSetup.Line));
  html +=
      "</table><table><tr><th>Request</th><th>GE reference</th><th>Poll</th><th>As the module reads "
      "it</th></tr>";
  for (const TReportRequest& request : FSetup.Requests)
    html += "<tr>" + Cell(ReportText(request.Caption)) + Cell(XmlEscape(request.Reference)) +
            Cell(PollText(request)) + Cell(ReportText(request.Description)) + "</tr>";
  return html + "</table></section>\n";
}

std::string TPollReport::StatisticsSection() const {
  std::string html =
      "<section id=\"statistics\"><h2>Statistics per request</h2><table><tr><th>Request</th><th>GE "
      "reference</th><th>Answers</th><th>Failed</th><th>Time-outs</th><th>Failed "
      "checks</th><th>NAKs</th><th>PLC "
      "errors</th><th>Other</th><th>RTT min</th><th>RTT avg</th><th>RTT max</th></tr>";
  for (std::size_t r = 0; r < FSetup.Requests.size() && r < FTracks.size(); ++r) {
    const TReportRequest& request = FSetup.Requests[r];
    const TRequestTrack& track = FTracks[r];
    uint64_t failed = 0;
    for (uint64_t count : track.Failures) failed += count;
    if (!request.Enabled && track.Answers == 0 && failed == 0) continue;
    html += "<tr>" + Cell(ReportText(request.Caption)) + Cell(XmlEscape(request.Reference)) +
            NumberCell(track.Answers) + NumberCell(failed);
    for (uint64_t count : track.Failures) html += NumberCell(count);
    if (track.RttCount)
      html += "<td class=\"n\">" + std::to_string(track.RttMin) + " ms</td><td class=\"n\">" +
              OneDecimal(static_cast<double>(track.RttSum) / static_cast<double>(track.RttCount)) +
              " ms</td><td class=\"n\">" + std::to_string(track.RttMax) + " ms</td>";
    else
      html += "<td>-</td><td>-</td><td>-</td>";
    html += "</tr>";
  }
  return html +
         "</table><p class=\"note\">Round-trip time: from the start of a transaction (its first frame; for "
         "SNP "
         "and SNP-X the break before it) to its row, as the module measures it.</p></section>\n";
}

std::string TPollReport::ValuesSection(uint64_t endMs) const {
  std::string html = "<section id=\"values\"><h2>Values over the run</h2>";
  html +=
      "<p class=\"note\">Time since the start on the horizontal axis. The line breaks where the request "
      "failed; red marks under the axis show the failures.</p>";
  for (std::size_t r = 0; r < FSetup.Requests.size() && r < FTracks.size(); ++r) {
    const TReportRequest& request = FSetup.Requests[r];
    const TRequestTrack& track = FTracks[r];
    if (!request.Enabled && track.Values.empty()) continue;
    html += "<h3>" + ReportText(request.Caption) + " (" + XmlEscape(request.Reference) + ")</h3>";
    if (track.Values.empty()) html += "<p>No value was decoded.</p>";
    for (const TValueTrack& value : track.Values) {
      const std::string name = ReportText(value.Name);
      if (value.Text) {
        html += "<p>" + name + ": text, last \"" + ReportText(value.LastText) + "\"</p>";
        continue;
      }
      html += "<figure><figcaption>" + name + " (" + XmlEscape(NumberText(value.Series.Min())) + " to " +
              XmlEscape(NumberText(value.Series.Max())) + ")</figcaption>" +
              LineChartSvg(value.Series, endMs, CsvText(value.Name)) + "</figure>";
    }
  }
  return html + "</section>\n";
}

std::string TPollReport::RttSection() const {
  std::string html = "<section id=\"rtt\"><h2>Round-trip times</h2>";
  if (FRtt.empty()) return html + "<p>No round trip was measured.</p></section>\n";
  const uint64_t low = FRtt.begin()->first, high = FRtt.rbegin()->first;
  const uint64_t width = BinWidth(high - low, 24);
  const uint64_t first = low / width * width;
  std::vector<std::pair<std::string, uint64_t>> bins;
  for (uint64_t start = first; start <= high; start += width)
    bins.emplace_back(width == 1 ? std::to_string(start)
                                 : std::to_string(start) + "\xE2\x80\x93" + std::to_string(start + width - 1),
                      0);
  for (const auto& [ms, count] : FRtt) bins[(ms - first) / width].second += count;
  return html + HistogramSvg(bins, "round-trip time, ms (rows per bin)") + "</section>\n";
}

std::string TPollReport::FailuresSection(uint64_t endMs) const {
  std::string html = "<section id=\"failures\"><h2>Failures</h2>";
  if (FFailureCount == 0) return html + "<p>No transaction failed.</p></section>\n";
  std::vector<std::string> rows;
  for (const TReportRequest& request : FSetup.Requests) rows.push_back(CsvText(request.Caption));
  std::vector<TTimelineMark> marks;
  marks.reserve(FFailureSlices.size());
  for (const auto& [key, firstMs] : FFailureSlices) {
    const uint32_t request = std::get<1>(key);
    if (request >= rows.size()) rows.resize(request + 1, "(request " + std::to_string(request) + ")");
    marks.push_back({firstMs, request, std::get<2>(key)});
  }
  html += TimelineSvg(rows, marks, FailureKinds(), endMs);
  // How often each cause came, then the first failures one by one.
  html += "<table><tr><th>Cause</th><th>Failures</th></tr>";
  for (std::size_t c = 0; c < FCauses.size(); ++c)
    html += "<tr>" + Cell(ReportText(FCauses[c])) + NumberCell(FCauseCounts[c]) + "</tr>";
  html += "</table><table><tr><th>Time</th><th>Request</th><th>Cause</th></tr>";
  for (const TFailureEvent& event : FFailures) {
    const std::string caption =
        event.Request < FSetup.Requests.size() ? FSetup.Requests[event.Request].Caption : "";
    html += "<tr>" + Cell(SecondsText(event.Ms)) + Cell(ReportText(caption)) + "<td class=\"failed\">" +
            ReportText(FCauses[event.Cause]) + "</td></tr>";
  }
  html += "</table>";
  if (FFailureCount > FFailures.size())
    html += "<p>And " + std::to_string(FFailureCount - FFailures.size()) + " more, not listed.</p>";
  return html + "</section>\n";
}

std::string TPollReport::Document(const TReportEnd& end) const {
  std::string html = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n";
  html +=
      "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\" xml:lang=\"en\"><head><meta "
      "charset=\"UTF-8\"/>";
  html += "<title>Poll report: " + XmlEscape(FSetup.ConfigFile) + "</title><style>" + kStyle +
          "</style></head>\n";
  html += "<body><h1>Poll report: " + XmlEscape(FSetup.ConfigFile) + "</h1>\n";
  html += "<p>" + XmlEscape(FSetup.Protocol) + ", " + XmlEscape(FSetup.Line) + "; " +
          XmlEscape(FSetup.StartClock) + " to " + XmlEscape(end.EndClock) + ".</p>\n";
  // The long part, a chart per value, comes last.
  html += RunSection(end) + ConfigurationSection() + StatisticsSection() + RttSection() +
          FailuresSection(end.Ms) + ValuesSection(end.Ms);
  return html + "</body></html>\n";
}

void TPollReport::Write(const TReportEnd& end) const {
  const std::string document = Document(end);
  // The finished report replaces the placeholder in one step: a failure half-way leaves no
  // half a report behind.
  const std::string written = FPath + ".tmp";
  {
    std::ofstream out(written, std::ios::binary | std::ios::trunc);
    out << document;
    out.flush();
    if (!out) throw Exception("cannot write the report file " + written);
  }
  std::error_code failure;
  std::filesystem::rename(written, FPath, failure);
  if (failure) throw Exception("cannot replace the report file " + FPath + ": " + failure.message());
}

}  // namespace kelda::host
