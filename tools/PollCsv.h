// The poller's CSV file, UTF-8: one row per decoded packet, one column per value, in the order
// the names were first seen. The first column is the row's time in milliseconds since the start
// of the run (its header says so); then the local clock time of the row (ISO 8601 with
// milliseconds) and the caption of the request it answers. Text comes from the module in the
// system's 8-bit code page and is written as UTF-8, control characters as \xNN and a backslash
// as \\, so every record is one line. The file starts with the UTF-8 byte-order mark: without it
// Excel, which opens a double-clicked CSV file, reads the file in the PC's 8-bit code page and
// shows every non-ASCII letter as two wrong ones. Fields are quoted when they hold a comma or a quote;
// records end in CR LF.
//
// Rows go to the file as they come. A name first seen in a later packet adds a column at the
// end: the file is then rewritten once with the longer header and every earlier record padded
// with empty fields, so that every record keeps as many fields as the header.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kelda::host {

std::string CsvField(const std::string& text);
// A text of the module (system code page) as the file holds it: UTF-8, control characters
// escaped.
std::string CsvText(const std::string& moduleText);
// "2026-12-07T21:50:12.345": local time, milliseconds.
std::string LocalClockTime(std::chrono::system_clock::time_point time);

class TCsvWriter {
public:
  static constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";
  static constexpr const char* kTimeColumn = "time_ms_since_start";
  static constexpr const char* kClockColumn = "local_time";
  static constexpr const char* kRequestColumn = "request";

  // Creates (truncates) the file; throws Exception naming the file when it cannot.
  explicit TCsvWriter(std::string path);
  ~TCsvWriter();  // flushes
  TCsvWriter(const TCsvWriter&) = delete;
  TCsvWriter& operator=(const TCsvWriter&) = delete;

  using TValues = std::vector<std::pair<std::string, std::string>>;
  // A row: its time since the start, its clock time, the caption of its request (the module's
  // text) and its values.
  void Add(uint64_t ms, const std::string& clock, const std::string& request, const TValues& values);

  // Writes what is buffered to the file. Throws Exception when the file cannot be written.
  void Flush();
  // Flushes when intervalMs passed since the last flush (nowMs on the caller's clock).
  void FlushIfDue(uint64_t nowMs, uint64_t intervalMs = 1000);

  const std::vector<std::string>& Columns() const { return FColumns; }
  uint64_t Rows() const { return FRows; }

private:
  std::string HeaderRecord() const;
  void GrowFile();

  std::string FPath;
  std::ofstream FFile;
  std::vector<std::string> FColumns;  // the value names, the three leading columns not included
  std::size_t FWrittenColumns = 0;    // the columns of the header in the file
  // Records not yet in the file, each with the number of columns it was made with.
  std::vector<std::pair<std::string, std::size_t>> FPending;
  uint64_t FRows = 0;
  uint64_t FLastFlush = 0;
};

}  // namespace kelda::host
