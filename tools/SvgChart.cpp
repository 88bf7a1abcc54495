#include "tools/SvgChart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <set>
#include <tuple>

namespace kelda::host {

namespace {

constexpr const char* kSvgOpen = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" role=\"img\" ";
constexpr const char* kFont = "font-family=\"sans-serif\" font-size=\"11\"";

void AppendEscapedByte(std::string& out, unsigned char byte) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
  out += escaped;
}

// The length of the UTF-8 sequence at text[i] when it is well formed; 0 otherwise.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
  const auto byte = static_cast<unsigned char>(text[i]);
  std::size_t length = 0;
  uint32_t code = 0;
  if ((byte & 0xE0) == 0xC0) {
    length = 2;
    code = byte & 0x1F;
  } else if ((byte & 0xF0) == 0xE0) {
    length = 3;
    code = byte & 0x0F;
  } else if ((byte & 0xF8) == 0xF0) {
    length = 4;
    code = byte & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = code << 6 | (next & 0x3F);
  }
  static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string Fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Text(double x, double y, const std::string& anchor, const std::string& escaped) {
  return "<text x=\"" + Fixed(x) + "\" y=\"" + Fixed(y) + "\" text-anchor=\"" + anchor + "\">" + escaped +
         "</text>";
}

// The smallest and the largest value among the points of one pixel column taken so far.
struct TColumnBucket {
  std::size_t MinAt = SIZE_MAX, MaxAt = SIZE_MAX;

  void Take(const TSeries& series, std::size_t i) {
    if (MinAt == SIZE_MAX || series.ValueAt(i) < series.ValueAt(MinAt)) MinAt = i;
    if (MaxAt == SIZE_MAX || series.ValueAt(i) > series.ValueAt(MaxAt)) MaxAt = i;
  }
  template <class Emit>
  void EmitInTimeOrder(Emit emit) const {
    if (MinAt == SIZE_MAX) return;
    emit(std::min(MinAt, MaxAt));
    if (MinAt != MaxAt) emit(std::max(MinAt, MaxAt));
  }
};

}  // namespace

std::string XmlEscape(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte >= 0x80) {
      const std::size_t length = Utf8Length(utf8, i);
      if (length == 0) {
        out += "\xEF\xBF\xBD";  // U+FFFD
        ++i;
      } else if (length == 3 && utf8.compare(i, 2, "\xEF\xBF") == 0 &&
                 static_cast<unsigned char>(utf8[i + 2]) >= 0xBE) {
        out += "\xEF\xBF\xBD";  // U+FFFE and U+FFFF are no XML characters
        i += length;
      } else {
        out.append(utf8, i, length);
        i += length;
      }
      continue;
    }
    ++i;
    switch (byte) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F)
          AppendEscapedByte(out, byte);
        else
          out += static_cast<char>(byte);
    }
  }
  return out;
}

std::string SecondsText(uint64_t ms) {
  return std::to_string(ms / 1000) + "." + std::to_string((ms % 1000) / 100) + " s";
}

std::string NumberText(double value) {
  if (std::isnan(value)) return "-";
  char text[40];
  std::snprintf(text, sizeof text, "%.6g", value);
  std::string result = text;
  // A C library that honours a comma locale still gives the report its "." separator.
  std::replace(result.begin(), result.end(), ',', '.');
  return result;
}

bool TSeries::IsGap(std::size_t i) const {
  return std::isnan(FValues[i]);
}

void TSeries::Add(uint64_t ms, double value) {
  // Neither a scale nor a line can be drawn through infinity: such a reading is no value.
  if (!std::isfinite(value)) return Gap(ms);
  if (FCount == 0 || value < FMin) FMin = value;
  if (FCount == 0 || value > FMax) FMax = value;
  ++FCount;
  Push(ms, value);
}

void TSeries::Gap(uint64_t ms) {
  // A gap after a gap says nothing new.
  if (!FValues.empty() && std::isnan(FValues.back())) return;
  Push(ms, std::numeric_limits<double>::quiet_NaN());
}

void TSeries::Push(uint64_t ms, double value) {
  // The whole bound at once: a vector left to grow by itself would double past it.
  if (FMs.capacity() <= kMaxPoints) {
    FMs.reserve(kMaxPoints + 1);
    FValues.reserve(kMaxPoints + 1);
  }
  FMs.push_back(static_cast<uint32_t>(std::min<uint64_t>(ms, UINT32_MAX)));
  FValues.push_back(value);
  if (FMs.size() > kMaxPoints) Compact();
}

void TSeries::Resize(std::size_t size) {
  FMs.resize(size);
  FValues.resize(size);
}

// The points [from, to) of one slice of time become its smallest and largest value and a gap
// wherever one lay before, between or after them, in time order, written from `out` (at or
// before `from`): the extremes survive with their own times, and two kept values are never
// joined by a line across a failure that lay between them. Each point is written only where
// one was already read.
std::size_t TSeries::Reduce(std::size_t from, std::size_t to, std::size_t out) {
  std::size_t minAt = SIZE_MAX, maxAt = SIZE_MAX;
  for (std::size_t i = from; i < to; ++i) {
    if (std::isnan(FValues[i])) continue;
    if (minAt == SIZE_MAX || FValues[i] < FValues[minAt]) minAt = i;
    if (maxAt == SIZE_MAX || FValues[i] > FValues[maxAt]) maxAt = i;
  }
  auto gapIn = [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i)
      if (std::isnan(FValues[i])) return i;
    return SIZE_MAX;
  };
  std::size_t keep[5] = {SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX};
  if (minAt == SIZE_MAX) {
    keep[0] = from;  // failures only
  } else {
    const std::size_t first = std::min(minAt, maxAt), last = std::max(minAt, maxAt);
    keep[0] = gapIn(from, first);
    keep[1] = first;
    if (last != first) {
      keep[2] = gapIn(first + 1, last);
      keep[3] = last;
    }
    keep[4] = gapIn(last + 1, to);
  }
  for (std::size_t i : keep) {
    if (i == SIZE_MAX) continue;
    // A gap after a kept gap says nothing new.
    if (std::isnan(FValues[i]) && out > 0 && std::isnan(FValues[out - 1])) continue;
    FMs[out] = FMs[i];
    FValues[out++] = FValues[i];
  }
  return out;
}

// Each slice of time reduced to its extremes and gaps: the points that came since the last
// compaction at the slices' width so far, and all of them at twice that width while the series
// holds more than half its bound. Every part of the run is thinned alike (the newest points
// are held finer until the next compaction), and a compaction, a pass over all points, comes
// only after as many new points as it made room for.
void TSeries::Compact() {
  auto reduceSlices = [this] {
    std::size_t kept = 0;
    for (std::size_t start = 0; start < FMs.size();) {
      const uint64_t slice = FMs[start] / FSliceMs;
      std::size_t end = start + 1;
      while (end < FMs.size() && FMs[end] / FSliceMs == slice) ++end;
      kept = Reduce(start, end, kept);
      start = end;
    }
    Resize(kept);
  };
  reduceSlices();
  while (FMs.size() > kMaxPoints / 2 && FSliceMs <= UINT32_MAX) {
    FSliceMs *= 2;
    reduceSlices();
  }
}

std::vector<std::vector<TChartPoint>> ThinForDrawing(const TSeries& series, uint64_t startMs, uint64_t endMs,
                                                     int columns) {
  std::vector<std::vector<TChartPoint>> runs;
  if (columns < 1) columns = 1;
  const uint64_t span = endMs > startMs ? endMs - startMs : 1;
  bool startRun = true;
  auto emit = [&](std::size_t i) {
    if (startRun) runs.emplace_back();
    startRun = false;
    runs.back().push_back({series.MsAt(i), series.ValueAt(i)});
  };
  int column = -1;
  TColumnBucket beforeGap, afterGap;
  bool gapInColumn = false, endsWithGap = false;
  auto flushColumn = [&] {
    beforeGap.EmitInTimeOrder(emit);
    if (gapInColumn) startRun = true;
    afterGap.EmitInTimeOrder(emit);
    if (endsWithGap) startRun = true;
    beforeGap = afterGap = TColumnBucket{};
    gapInColumn = endsWithGap = false;
  };
  for (std::size_t i = 0; i < series.Size(); ++i) {
    const uint64_t ms = std::clamp<uint64_t>(series.MsAt(i), startMs, startMs + span);
    const int at = static_cast<int>(std::min<uint64_t>((ms - startMs) * static_cast<uint64_t>(columns) / span,
                                                       static_cast<uint64_t>(columns - 1)));
    if (at != column) {
      flushColumn();
      column = at;
    }
    if (series.IsGap(i)) {
      gapInColumn = endsWithGap = true;
      continue;
    }
    endsWithGap = false;
    (gapInColumn ? afterGap : beforeGap).Take(series, i);
  }
  flushColumn();
  return runs;
}

std::string LineChartSvg(const TSeries& series, uint64_t endMs, const std::string& title) {
  constexpr double kWidth = 760, kHeight = 150, kLeft = 64, kRight = 12, kTop = 10, kBottom = 30;
  constexpr double kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;
  const int columns = static_cast<int>(kPlotWidth);
  const uint64_t span = endMs > 0 ? endMs : 1;
  double low = series.Min(), high = series.Max();
  if (!series.HasValues()) low = 0, high = 1;
  if (high - low < 1e-12) {
    const double margin = std::max(std::fabs(low) * 0.1, 1.0);
    low = std::max(low - margin, -std::numeric_limits<double>::max());
    high = std::min(high + margin, std::numeric_limits<double>::max());
  }
  // Halves, because high - low overflows for values near the ends of the double range.
  const double halfRange = high / 2 - low / 2;
  auto x = [&](uint64_t ms) {
    return kLeft + static_cast<double>(std::min(ms, span)) / static_cast<double>(span) * kPlotWidth;
  };
  // The extremes stay a few pixels inside the frame: a line drawn on the frame is not seen.
  constexpr double kInset = 6;
  auto y = [&](double value) {
    return kTop + kInset + (high / 2 - value / 2) / halfRange * (kPlotHeight - 2 * kInset);
  };

  std::string svg = std::string(kSvgOpen) + "viewBox=\"0 0 760 150\" width=\"760\" height=\"150\" " + kFont +
                    "><title>" + XmlEscape(title) + "</title>";
  svg += "<rect x=\"" + Fixed(kLeft) + "\" y=\"" + Fixed(kTop) + "\" width=\"" + Fixed(kPlotWidth) +
         "\" height=\"" + Fixed(kPlotHeight) + "\" fill=\"#fafafa\" stroke=\"#999\"/>";
  // Times under the axis, the value range at its left.
  for (int k = 0; k <= 4; ++k) {
    const uint64_t ms = span * static_cast<uint64_t>(k) / 4;
    const double at = x(ms);
    svg += "<path d=\"M" + Fixed(at) + " " + Fixed(kTop + kPlotHeight) + "v4\" stroke=\"#999\"/>";
    svg += Text(at, kHeight - 6, k == 0 ? "start" : k == 4 ? "end" : "middle", SecondsText(ms));
  }
  for (int k = 0; k <= 2; ++k) {
    const double value = k == 0 ? low : k == 2 ? high : low / 2 + high / 2;
    svg += Text(kLeft - 4, y(value) + 4, "end", XmlEscape(NumberText(value)));
  }
  std::string path;
  for (const std::vector<TChartPoint>& run : ThinForDrawing(series, 0, span, columns)) {
    path += "M" + Fixed(x(run.front().Ms)) + " " + Fixed(y(run.front().Value));
    if (run.size() == 1) path += "h0";  // a lone value between failures: a dot (round caps)
    for (std::size_t i = 1; i < run.size(); ++i)
      path += (i == 1 ? "L" : " ") + Fixed(x(run[i].Ms)) + " " + Fixed(y(run[i].Value));
  }
  if (!path.empty())
    svg += "<path class=\"value\" d=\"" + path +
           "\" fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1.5\" stroke-linecap=\"round\" "
           "stroke-linejoin=\"round\"/>";
  // One mark per pixel column with a failure.
  std::set<int> failedColumns;
  for (std::size_t i = 0; i < series.Size(); ++i)
    if (series.IsGap(i)) failedColumns.insert(static_cast<int>(x(series.MsAt(i))));
  std::string marks;
  for (int column : failedColumns)
    marks += "M" + std::to_string(column) + " " + Fixed(kTop + kPlotHeight) + "v6";
  if (!marks.empty())
    svg += "<path class=\"failures\" d=\"" + marks + "\" stroke=\"#c0392b\" stroke-width=\"1\"/>";
  return svg + "</svg>";
}

std::string HistogramSvg(const std::vector<std::pair<std::string, uint64_t>>& bins,
                         const std::string& xTitle) {
  constexpr double kWidth = 760, kHeight = 210, kLeft = 48, kRight = 12, kTop = 16, kBottom = 48;
  constexpr double kPlotWidth = kWidth - kLeft - kRight, kPlotHeight = kHeight - kTop - kBottom;
  uint64_t most = 1;
  for (const auto& bin : bins) most = std::max(most, bin.second);
  std::string svg = std::string(kSvgOpen) + "viewBox=\"0 0 760 210\" width=\"760\" height=\"210\" " + kFont +
                    "><title>" + XmlEscape(xTitle) + "</title>";
  svg += "<path d=\"M" + Fixed(kLeft) + " " + Fixed(kTop) + "V" + Fixed(kTop + kPlotHeight) + "H" +
         Fixed(kLeft + kPlotWidth) + "\" fill=\"none\" stroke=\"#999\"/>";
  svg += Text(kLeft - 4, kTop + 4, "end", std::to_string(most));
  svg += Text(kLeft - 4, kTop + kPlotHeight, "end", "0");
  const double slot = bins.empty() ? kPlotWidth : kPlotWidth / static_cast<double>(bins.size());
  const std::size_t labelEvery = bins.size() > 12 ? (bins.size() + 11) / 12 : 1;
  for (std::size_t i = 0; i < bins.size(); ++i) {
    const double height = static_cast<double>(bins[i].second) / static_cast<double>(most) * kPlotHeight;
    const double left = kLeft + slot * static_cast<double>(i);
    svg += "<rect class=\"bar\" x=\"" + Fixed(left + 1) + "\" y=\"" + Fixed(kTop + kPlotHeight - height) +
           "\" width=\"" + Fixed(std::max(slot - 2, 1.0)) + "\" height=\"" + Fixed(height) +
           "\" fill=\"#1f5fa8\"><title>" + XmlEscape(bins[i].first) + ": " + std::to_string(bins[i].second) +
           "</title></rect>";
    if (i % labelEvery == 0)
      svg += Text(left + slot / 2, kTop + kPlotHeight + 14, "middle", XmlEscape(bins[i].first));
  }
  svg += Text(kLeft + kPlotWidth / 2, kHeight - 8, "middle", XmlEscape(xTitle));
  return svg + "</svg>";
}

std::string TimelineSvg(const std::vector<std::string>& rows, const std::vector<TTimelineMark>& marks,
                        const std::vector<std::pair<std::string, std::string>>& kinds, uint64_t endMs) {
  constexpr double kWidth = 760, kLeft = 200, kRight = 12, kTop = 8, kRowHeight = 22;
  constexpr double kPlotWidth = kWidth - kLeft - kRight;
  const double plotHeight = kRowHeight * static_cast<double>(std::max<std::size_t>(rows.size(), 1));
  const double height = kTop + plotHeight + 24 + 24;
  const uint64_t span = endMs > 0 ? endMs : 1;
  auto x = [&](uint64_t ms) {
    return kLeft + static_cast<double>(std::min(ms, span)) / static_cast<double>(span) * kPlotWidth;
  };
  std::string svg = std::string(kSvgOpen) + "viewBox=\"0 0 760 " + Fixed(height) +
                    "\" width=\"760\" height=\"" + Fixed(height) + "\" " + kFont +
                    "><title>failures over the run</title>";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const double top = kTop + kRowHeight * static_cast<double>(r);
    svg += "<rect x=\"" + Fixed(kLeft) + "\" y=\"" + Fixed(top + 2) + "\" width=\"" + Fixed(kPlotWidth) +
           "\" height=\"" + Fixed(kRowHeight - 4) + "\" fill=\"#f3f3f3\"/>";
    // Long captions are cut on a character boundary, before escaping.
    std::string label = rows[r];
    if (label.size() > 30) {
      std::size_t cut = 29;
      while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) --cut;
      label = label.substr(0, cut) + "\xE2\x80\xA6";
    }
    svg += Text(kLeft - 6, top + kRowHeight / 2 + 4, "end", XmlEscape(label));
  }
  std::set<std::tuple<std::size_t, int, std::size_t>> drawn;
  for (const TTimelineMark& mark : marks) {
    if (mark.Row >= rows.size() || mark.Kind >= kinds.size()) continue;
    const int column = static_cast<int>(x(mark.Ms));
    if (!drawn.insert({mark.Row, column, mark.Kind}).second) continue;
    const double top = kTop + kRowHeight * static_cast<double>(mark.Row) + 4;
    svg += "<rect x=\"" + std::to_string(column) + "\" y=\"" + Fixed(top) + "\" width=\"2\" height=\"" +
           Fixed(kRowHeight - 8) + "\" fill=\"" + kinds[mark.Kind].second + "\"/>";
  }
  const double axis = kTop + plotHeight;
  for (int k = 0; k <= 4; ++k) {
    const uint64_t ms = span * static_cast<uint64_t>(k) / 4;
    svg += Text(x(ms), axis + 14, k == 0 ? "start" : k == 4 ? "end" : "middle", SecondsText(ms));
  }
  double legend = kLeft;
  for (const auto& [name, colour] : kinds) {
    svg += "<rect x=\"" + Fixed(legend) + "\" y=\"" + Fixed(axis + 26) +
           "\" width=\"10\" height=\"10\" fill=\"" + colour + "\"/>";
    svg += Text(legend + 14, axis + 35, "start", XmlEscape(name));
    legend += 20 + 6.5 * static_cast<double>(name.size());
  }
  return svg + "</svg>";
}

}  // namespace kelda::host
