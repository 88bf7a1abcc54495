// The poller's CSV file: one row per decoded packet, one column per value, in the order the
// names were first seen. The first column is the row's time in milliseconds since the start of
// the run (its header says so). Fields are quoted when they hold a comma, a quote or a line
// break; records end in CR LF.
//
// Rows go to the file as they come. A name first seen in a later packet adds a column at the
// end: the file is then rewritten once with the longer header and every earlier record padded
// with empty fields, so that every record keeps as many fields as the header.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace kelda::host {

std::string CsvField(const std::string& text);

class TCsvWriter {
public:
  static constexpr const char* kTimeColumn = "time_ms_since_start";

  // Creates (truncates) the file; throws Exception naming the file when it cannot.
  explicit TCsvWriter(std::string path);
  ~TCsvWriter();  // flushes
  TCsvWriter(const TCsvWriter&) = delete;
  TCsvWriter& operator=(const TCsvWriter&) = delete;

  using TValues = std::vector<std::pair<std::string, std::string>>;
  void Add(uint64_t ms, const TValues& values);

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
  std::vector<std::string> FColumns;  // the value names, time column not included
  std::size_t FWrittenColumns = 0;    // the columns of the header in the file
  // Records not yet in the file, each with the number of columns it was made with.
  std::vector<std::pair<std::string, std::size_t>> FPending;
  uint64_t FRows = 0;
  uint64_t FLastFlush = 0;
};

}  // namespace kelda::host
