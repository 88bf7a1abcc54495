#include "tools/PollCsv.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "Common/Exceptions.h"
#include "platform/CodePage.h"

namespace kelda::host {

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string CsvText(const std::string& moduleText) {
  std::string text;
  const std::string utf8 = platform::WideToUtf8(platform::AnsiToWide(moduleText));
  auto escape = [&text](unsigned code) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
    text += escaped;
  };
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0u;
    if (byte < 0x20 || byte == 0x7F) {
      escape(byte);
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // U+0080 to U+009F: control characters too (the bytes a code page leaves unassigned).
      escape(next);
      ++i;
    } else if (byte == '\\') {
      text += "\\\\";
    } else {
      text += static_cast<char>(byte);
    }
  }
  return text;
}

std::string LocalClockTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
  const std::tm* local = std::localtime(&seconds);  // the poller's one thread
  if (!local) return "";
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", local->tm_year + 1900,
                local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec,
                static_cast<int>((ms + 1000) % 1000));
  return text;
}

TCsvWriter::TCsvWriter(std::string path)
    : FPath(std::move(path)), FFile(FPath, std::ios::binary | std::ios::trunc) {
  FFile << kByteOrderMark << HeaderRecord();
  FFile.flush();
  if (!FFile) throw Exception("cannot write the CSV file " + FPath);
}

TCsvWriter::~TCsvWriter() {
  try {
    Flush();
  } catch (const std::exception&) {
    // The caller flushed on every path where it could still report a failure.
  }
}

std::string TCsvWriter::HeaderRecord() const {
  std::string header = std::string(kTimeColumn) + "," + kClockColumn + "," + kRequestColumn;
  for (const std::string& name : FColumns) header += "," + CsvField(CsvText(name));
  return header + "\r\n";
}

void TCsvWriter::Add(uint64_t ms, const std::string& clock, const std::string& request,
                     const TValues& values) {
  std::vector<std::string> fields(FColumns.size());
  for (const auto& [name, value] : values) {
    auto at = std::find(FColumns.begin(), FColumns.end(), name);
    if (at == FColumns.end()) {
      FColumns.push_back(name);
      fields.emplace_back();
      at = FColumns.end() - 1;
    }
    fields[static_cast<std::size_t>(at - FColumns.begin())] = value;
  }
  std::string record = std::to_string(ms) + "," + CsvField(clock) + "," + CsvField(CsvText(request));
  for (const std::string& field : fields) record += "," + CsvField(CsvText(field));
  // Records buffered before a column was added get their empty fields when they are written.
  FPending.emplace_back(std::move(record), FColumns.size());
  ++FRows;
}

// Every record in the file gets empty fields for the columns added since; the header is
// written anew. Quoted fields may hold line breaks, so records end only at a CR LF outside
// quotes.
void TCsvWriter::GrowFile() {
  FFile.close();
  std::string old;
  {
    std::ifstream in(FPath, std::ios::binary);
    old.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::string padding(FColumns.size() - FWrittenColumns, ',');
  std::string grown = kByteOrderMark + HeaderRecord();
  bool quoted = false, header = true;
  std::string record;
  for (std::size_t i = 0; i < old.size(); ++i) {
    const char c = old[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '\r' && i + 1 < old.size() && old[i + 1] == '\n') {
      if (!header) grown += record + padding + "\r\n";
      header = false;
      record.clear();
      ++i;
      continue;
    }
    record += c;
  }
  // The grown file replaces the old one in one step: a failure half-way (a full disk, a crash)
  // leaves every row written so far in place.
  const std::string grownPath = FPath + ".tmp";
  {
    std::ofstream out(grownPath, std::ios::binary | std::ios::trunc);
    out << grown;
    out.flush();
    if (!out) throw Exception("cannot write the CSV file " + grownPath);
  }
  std::error_code failure;
  std::filesystem::rename(grownPath, FPath, failure);
  if (failure) throw Exception("cannot replace the CSV file " + FPath + ": " + failure.message());
  FFile.open(FPath, std::ios::binary | std::ios::app);
  FWrittenColumns = FColumns.size();
}

void TCsvWriter::Flush() {
  if (FWrittenColumns != FColumns.size()) GrowFile();
  for (const auto& [record, made] : FPending)
    FFile << record << std::string(FColumns.size() - made, ',') << "\r\n";
  FPending.clear();
  FFile.flush();
  if (!FFile) throw Exception("cannot write the CSV file " + FPath);
}

void TCsvWriter::FlushIfDue(uint64_t nowMs, uint64_t intervalMs) {
  if (nowMs - FLastFlush < intervalMs) return;
  FLastFlush = nowMs;
  Flush();
}

}  // namespace kelda::host
