// The charts of the poller's report, drawn as inline SVG: a value over the run as a line that
// breaks where its request failed, a histogram and a timeline of marks. Long series are thinned
// for drawing to the smallest and largest value of each pixel column, so a chart's size follows
// its width and not the length of the run, and no extreme is ever lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelda::host {

// Text for XML content and attribute values: the five special characters as entities, control
// characters as \xNN (XML 1.0 cannot carry them), bytes that are not UTF-8 as U+FFFD.
std::string XmlEscape(const std::string& utf8);

// A value over the run, compact: the time in ms since the start and the value; a gap (a failed
// transaction of its request) is a NaN value. Past kMaxPoints the series compacts itself: the
// run is cut into slices of time of one width, widened as the run grows, and each slice keeps
// only its smallest and largest value and the gaps around and between them, so that memory
// stays bounded in a run of any length, every part of the run is held alike, and every
// extreme survives with its own time. A chart is some 700 pixel columns wide: 8192 points is
// plenty.
class TSeries {
public:
  static constexpr std::size_t kMaxPoints = 8192;

  // A value that is not finite (NaN, infinity) is taken as a gap.
  void Add(uint64_t ms, double value);
  void Gap(uint64_t ms);

  std::size_t Size() const { return FMs.size(); }
  uint64_t MsAt(std::size_t i) const { return FMs[i]; }
  double ValueAt(std::size_t i) const { return FValues[i]; }
  bool IsGap(std::size_t i) const;
  bool HasValues() const { return FCount > 0; }
  double Min() const { return FMin; }
  double Max() const { return FMax; }
  // The memory its points take, reserved or in use.
  std::size_t HeldBytes() const {
    return FMs.capacity() * sizeof(uint32_t) + FValues.capacity() * sizeof(double);
  }

  // Compacts at once (the series does so by itself when it grows past kMaxPoints).
  void Compact();

private:
  void Push(uint64_t ms, double value);
  std::size_t Reduce(std::size_t from, std::size_t to, std::size_t out);
  void Resize(std::size_t size);

  std::vector<uint32_t> FMs;  // 49 days of ms; later times are held at the last
  std::vector<double> FValues;
  uint64_t FCount = 0;    // values ever added
  uint64_t FSliceMs = 1;  // the slice of time each kept extreme stands for, once compacted
  double FMin = 0, FMax = 0;
};

struct TChartPoint {
  uint64_t Ms;
  double Value;
};

// The series as it is drawn over `columns` pixel columns from startMs to endMs: runs of points
// to join by lines, a new run after every gap. Each column keeps the smallest and the largest
// value it holds before its first gap and after it, in time order.
std::vector<std::vector<TChartPoint>> ThinForDrawing(const TSeries& series, uint64_t startMs, uint64_t endMs,
                                                     int columns);

// A value over the run: its line, the axes with times in seconds and the value range, and a red
// mark under the axis at each failure. Title and unit text are escaped here.
std::string LineChartSvg(const TSeries& series, uint64_t endMs, const std::string& title);

// A bar per bin: its label (under the bar, escaped here) and its count.
std::string HistogramSvg(const std::vector<std::pair<std::string, uint64_t>>& bins,
                         const std::string& xTitle);

// Marks on rows over the run: each mark's time, row and kind; one mark per pixel column, row and
// kind is drawn. Row labels and kind names are escaped here; kinds index `kindColours`.
struct TTimelineMark {
  uint64_t Ms;
  std::size_t Row;
  std::size_t Kind;
};
std::string TimelineSvg(const std::vector<std::string>& rows, const std::vector<TTimelineMark>& marks,
                        const std::vector<std::pair<std::string, std::string>>& kinds, uint64_t endMs);

// Seconds with one decimal, for axes and tables: "12.3 s".
std::string SecondsText(uint64_t ms);
// A value as the report shows it: up to 6 significant digits, "." as the decimal separator.
std::string NumberText(double value);

}  // namespace kelda::host
