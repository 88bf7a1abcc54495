// The report's charts: thinning for drawing and the series' own compaction keep the smallest
// and largest value of every pixel column, failures break the line, and text is escaped so the
// document stays well-formed XML whatever the module hands over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tools/SvgChart.h"

using namespace kelda::host;

namespace {

constexpr int kColumns = 684;

int ColumnOf(uint64_t ms, uint64_t endMs) {
  return static_cast<int>(std::min<uint64_t>(ms * kColumns / endMs, kColumns - 1));
}

struct TExtremes {
  double Min = INFINITY, Max = -INFINITY;
};

// Per column, the extremes of the raw values, worked out independently of the chart code.
std::vector<TExtremes> RawExtremes(const std::vector<std::pair<uint64_t, double>>& points, uint64_t endMs) {
  std::vector<TExtremes> columns(kColumns);
  for (const auto& [ms, value] : points) {
    TExtremes& column = columns[static_cast<std::size_t>(ColumnOf(ms, endMs))];
    column.Min = std::min(column.Min, value);
    column.Max = std::max(column.Max, value);
  }
  return columns;
}

std::vector<TExtremes> DrawnExtremes(const TSeries& series, uint64_t endMs) {
  std::vector<TExtremes> columns(kColumns);
  for (const auto& run : ThinForDrawing(series, 0, endMs, kColumns))
    for (const TChartPoint& point : run) {
      TExtremes& column = columns[static_cast<std::size_t>(ColumnOf(point.Ms, endMs))];
      column.Min = std::min(column.Min, point.Value);
      column.Max = std::max(column.Max, point.Value);
    }
  return columns;
}

std::size_t DrawnPoints(const TSeries& series, uint64_t endMs) {
  std::size_t points = 0;
  for (const auto& run : ThinForDrawing(series, 0, endMs, kColumns)) points += run.size();
  return points;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

}  // namespace

TEST(SvgChart, ThinningKeepsTheExtremesOfEveryColumnAndBoundsTheDrawing) {
  // A flat line of 100,000 values with one spike and one dip: both are drawn, and the drawing
  // holds at most two points a column however long the run.
  constexpr uint64_t kRows = 100000;
  TSeries flat;
  std::vector<std::pair<uint64_t, double>> raw;
  for (uint64_t i = 0; i < kRows; ++i) {
    const double value = i == 54321 ? 1000.0 : i == 777 ? -7.0 : 5.0;
    flat.Add(i * 10, value);
    raw.emplace_back(i * 10, value);
  }
  const uint64_t endMs = kRows * 10;
  EXPECT_LE(DrawnPoints(flat, endMs), 2u * kColumns);
  const auto drawn = DrawnExtremes(flat, endMs);
  EXPECT_EQ(drawn[static_cast<std::size_t>(ColumnOf(543210, endMs))].Max, 1000.0) << "the spike is drawn";
  EXPECT_EQ(drawn[static_cast<std::size_t>(ColumnOf(7770, endMs))].Min, -7.0) << "the dip is drawn";
  const std::string svg = LineChartSvg(flat, endMs, "flat");
  EXPECT_LT(svg.size(), 40000u) << "the chart's size follows its width, not the rows";

  // Noise: every column's smallest and largest value, compared with a count of its own (a
  // series short of compacting itself, whose groups may straddle two columns).
  std::mt19937 random(7);
  std::uniform_real_distribution<double> noise(-100, 100);
  TSeries noisy;
  raw.clear();
  constexpr uint64_t kNoisy = TSeries::kMaxPoints - 1;
  for (uint64_t i = 0; i < kNoisy; ++i) {
    const double value = noise(random);
    noisy.Add(i * 7, value);
    raw.emplace_back(i * 7, value);
  }
  const auto expected = RawExtremes(raw, kNoisy * 7);
  const auto got = DrawnExtremes(noisy, kNoisy * 7);
  for (std::size_t c = 0; c < expected.size(); ++c) {
    EXPECT_EQ(got[c].Min, expected[c].Min) << "column " << c;
    EXPECT_EQ(got[c].Max, expected[c].Max) << "column " << c;
  }
}

TEST(SvgChart, FailuresBreakTheLine) {
  TSeries series;
  for (uint64_t ms = 0; ms < 5000; ms += 250) series.Add(ms, 1.0);
  series.Gap(5100);
  series.Gap(5150);  // a second failure in a row changes nothing
  for (uint64_t ms = 6000; ms < 10000; ms += 250) series.Add(ms, 2.0);
  auto runs = ThinForDrawing(series, 0, 10000, kColumns);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_LE(runs[0].back().Ms, 5100u);
  EXPECT_GE(runs[1].front().Ms, 6000u);
  const std::string svg = LineChartSvg(series, 10000, "broken");
  const std::size_t path = svg.find("class=\"value\" d=\"");
  ASSERT_NE(path, std::string::npos);
  const std::string d = svg.substr(path, svg.find('"', path + 17) - path);
  EXPECT_EQ(Count(d, "M"), 2u) << "one stroke before the failure, one after: " << d;
  EXPECT_NE(svg.find("class=\"failures\""), std::string::npos) << "the failure is marked";

  // A failure and values within one pixel column still break the line there, and a lone
  // answer between two failures is drawn as a dot.
  TSeries dense;
  dense.Add(0, 1);
  dense.Add(1, 2);
  dense.Gap(2);
  dense.Add(3, 3);
  dense.Gap(5000);
  dense.Add(5001, 4);
  dense.Gap(5002);
  runs = ThinForDrawing(dense, 0, 10000, kColumns);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[1].size(), 1u);
  EXPECT_EQ(runs[1][0].Value, 3.0);
  EXPECT_EQ(runs[2].size(), 1u);
  EXPECT_NE(LineChartSvg(dense, 10000, "dots").find("h0"), std::string::npos);

  // A reading that is no finite number is no value: the line breaks there and the scale holds.
  TSeries odd;
  odd.Add(0, 1);
  odd.Add(1000, std::numeric_limits<double>::infinity());
  odd.Add(2000, 2);
  odd.Add(3000, std::numeric_limits<double>::quiet_NaN());
  odd.Add(4000, 3);
  EXPECT_EQ(odd.Max(), 3.0);
  EXPECT_EQ(ThinForDrawing(odd, 0, 10000, kColumns).size(), 3u);

  // Values at both ends of the double range still give the chart a scale and real coordinates.
  for (const std::vector<double>& values :
       {std::vector<double>{1.7e308, -1.7e308}, std::vector<double>{-1.79e308},
        std::vector<double>{std::numeric_limits<double>::max(), std::numeric_limits<double>::lowest()}}) {
    TSeries huge;
    for (std::size_t i = 0; i < values.size(); ++i) huge.Add(i * 1000, values[i]);
    const std::string svg = LineChartSvg(huge, 5000, "huge");
    EXPECT_EQ(svg.find("nan"), std::string::npos) << svg;
    EXPECT_EQ(svg.find("inf"), std::string::npos) << svg;
    EXPECT_NE(svg.find("class=\"value\""), std::string::npos);
  }
}

TEST(SvgChart, ALongSeriesCompactsItselfKeepingExtremesAndFailures) {
  TSeries series;
  constexpr uint64_t kPoints = 3 * TSeries::kMaxPoints;
  constexpr uint64_t kSpike = kPoints / 3 + 7, kDip = kPoints * 5 / 6 + 3;
  for (uint64_t i = 0; i < kPoints; ++i) {
    if (i == kPoints / 2) series.Gap(i * 2 - 1);
    series.Add(i * 2, i == kSpike ? 99.0 : i == kDip ? -99.0 : std::sin(static_cast<double>(i) / 50));
  }
  EXPECT_LE(series.Size(), TSeries::kMaxPoints) << "memory stays bounded";
  EXPECT_LE(series.HeldBytes(), (TSeries::kMaxPoints + 1) * (sizeof(uint32_t) + sizeof(double)))
      << "and the buffers never grow past the bound";
  bool spike = false, dip = false, gap = false;
  for (std::size_t i = 0; i < series.Size(); ++i) {
    spike |= series.ValueAt(i) == 99.0 && series.MsAt(i) == kSpike * 2;
    dip |= series.ValueAt(i) == -99.0 && series.MsAt(i) == kDip * 2;
    gap |= series.IsGap(i);
    if (i > 0) {
      EXPECT_LE(series.MsAt(i - 1), series.MsAt(i)) << "still in time order";
    }
  }
  EXPECT_TRUE(spike) << "the largest value survives with its own time";
  EXPECT_TRUE(dip) << "the smallest value survives with its own time";
  EXPECT_TRUE(gap) << "the failure survives";
  EXPECT_EQ(series.Max(), 99.0);
  EXPECT_EQ(series.Min(), -99.0);
  EXPECT_EQ(ThinForDrawing(series, 0, kPoints * 2, kColumns).size(), 2u);
  // Every part of the run is held alike, the start as well as the end: each pixel column of the
  // chart still has points of its own.
  std::vector<int> pointsIn(kColumns);
  for (const auto& run : ThinForDrawing(series, 0, kPoints * 2, kColumns))
    for (const TChartPoint& point : run)
      ++pointsIn[static_cast<std::size_t>(ColumnOf(point.Ms, kPoints * 2))];
  EXPECT_EQ(std::count(pointsIn.begin(), pointsIn.end(), 0), 0) << "pixel columns left without a point";

  // Answers and failures that alternate still shrink, so each compaction pays for itself.
  TSeries flaky;
  for (uint64_t i = 0; i < 2 * TSeries::kMaxPoints; ++i) {
    flaky.Add(i * 4, static_cast<double>(i % 7));
    flaky.Gap(i * 4 + 2);
  }
  EXPECT_LE(flaky.Size(), TSeries::kMaxPoints);
  EXPECT_EQ(flaky.Max(), 6.0);

  // However often it compacts, no two values it keeps side by side had a failure between them
  // (the chart would join them by a line across it), and each failure still breaks the line.
  TSeries patchy;
  std::mt19937 random(19);
  std::vector<uint64_t> gapsUpTo;  // by input index: gaps so far
  uint64_t gaps = 0;
  for (uint64_t i = 0; i < 6 * TSeries::kMaxPoints; ++i) {
    if (random() % 3 == 0) {
      patchy.Gap(i);
      ++gaps;
    } else {
      patchy.Add(i, static_cast<double>(random() % 100));
    }
    gapsUpTo.push_back(gaps);
  }
  ASSERT_LE(patchy.Size(), TSeries::kMaxPoints);
  std::size_t joined = 0, keptGaps = 0;
  for (std::size_t i = 1; i < patchy.Size(); ++i) {
    keptGaps += patchy.IsGap(i);
    if (patchy.IsGap(i - 1) || patchy.IsGap(i)) continue;
    if (gapsUpTo[patchy.MsAt(i)] != gapsUpTo[patchy.MsAt(i - 1)]) ++joined;
  }
  EXPECT_EQ(joined, 0u) << "kept values joined across a failure";
  EXPECT_GT(keptGaps, patchy.Size() / 4);
}

TEST(SvgChart, TextIsEscapedForXml) {
  EXPECT_EQ(XmlEscape("a<b&c>d\"e'f"), "a&lt;b&amp;c&gt;d&quot;e&#39;f");
  EXPECT_EQ(XmlEscape("tab\there\x01\x7F"), "tab\\x09here\\x01\\x7F") << "XML 1.0 cannot carry control bytes";
  EXPECT_EQ(XmlEscape("Z\xC3\xBCrich \xE2\x82\xAC"), "Z\xC3\xBCrich \xE2\x82\xAC") << "UTF-8 passes";
  EXPECT_EQ(XmlEscape("bad \xFC byte"), "bad \xEF\xBF\xBD byte") << "a stray byte is not UTF-8";
  EXPECT_EQ(XmlEscape("cut \xE2\x82"), "cut \xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(XmlEscape("\xEF\xBF\xBE"), "\xEF\xBF\xBD") << "U+FFFE is no XML character";
  EXPECT_EQ(NumberText(0.5), "0.5");
  EXPECT_EQ(NumberText(524295), "524295");

  // The chart's title and the timeline's labels go through the same escaping.
  TSeries series;
  series.Add(0, 1);
  const std::string chart = LineChartSvg(series, 100, "<R&D>");
  EXPECT_NE(chart.find("&lt;R&amp;D&gt;"), std::string::npos);
  EXPECT_EQ(chart.find("<R&D>"), std::string::npos);
  const std::string timeline = TimelineSvg({"Tank \"A\" & <B>"}, {{10, 0, 0}, {10, 0, 0}, {90, 0, 1}},
                                           {{"time-out", "#e67e22"}, {"NAK", "#c0392b"}}, 100);
  EXPECT_NE(timeline.find("Tank &quot;A&quot; &amp; &lt;B&gt;"), std::string::npos);
  EXPECT_EQ(Count(timeline, "fill=\"#e67e22\""), 2u)
      << "one mark for two failures in one column, and the legend";
  EXPECT_EQ(Count(timeline, "fill=\"#c0392b\""), 2u);
}
