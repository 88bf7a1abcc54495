#include "tools/plcsim/MemoryFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace kelda::plcsim {

namespace {

struct TableName {
  const char* name;
  uint8_t selector;
  bool word;
};

// Word tables first, then bits; longer names before their prefixes (%SA before %S).
constexpr TableName kTables[] = {
    {"R", 0x08, true},   {"AI", 0x0A, true},  {"AQ", 0x0C, true},  {"I", 0x46, false},
    {"Q", 0x48, false},  {"M", 0x4C, false},  {"T", 0x4A, false},  {"G", 0x56, false},
    {"SA", 0x4E, false}, {"SB", 0x50, false}, {"SC", 0x52, false}, {"S", 0x54, false},
};

// Values on one line: a long run is written over several lines.
constexpr size_t kValuesPerLine = 16;
// Zeros inside a run up to this many stay in it rather than starting a new line.
constexpr uint32_t kGapInRun = 4;

struct Assignment {
  bool status = false;
  const TableName* table = nullptr;
  uint32_t first = 0;  // zero-based index
  std::vector<uint16_t> values;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") + 1 - begin);
}

const TableName* FindTable(const std::string& letters) {
  for (const TableName& t : kTables)
    if (letters == t.name) return &t;
  return nullptr;
}

// A word value: -32768..65535 in decimal, or 0x0..0xFFFF.
bool ParseWord(const std::string& text, uint16_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (!std::isxdigit(static_cast<unsigned char>(text[2]))) return false;
    v = std::strtoll(text.c_str() + 2, &end, 16);
  } else {
    if (!std::isdigit(static_cast<unsigned char>(text.back()))) return false;
    v = std::strtoll(text.c_str(), &end, 10);
  }
  if (errno != 0 || *end != '\0' || v < -32768 || v > 0xFFFF) return false;
  value = static_cast<uint16_t>(v);
  return true;
}

class Parser {
public:
  Parser(const std::string& source, int line) : source_(source), line_(line) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw MemoryFileError(source_ + ":" + std::to_string(line_) + ": " + what);
  }

  Assignment Parse(const std::string& name, const std::string& valueText) {
    Assignment a;
    ParseName(name, a);
    std::istringstream values(valueText);
    std::string item;
    while (values >> item) {
      uint16_t v = 0;
      if (a.table && !a.table->word) {
        if (item != "0" && item != "1") Fail("bit value \"" + item + "\" is not 0 or 1");
        v = item == "1";
      } else if (!ParseWord(item, v)) {
        Fail("value \"" + item + "\" is not a word (-32768..65535 or 0x0000..0xFFFF)");
      }
      a.values.push_back(v);
    }
    if (a.values.empty()) Fail("no value after \"=\"");
    if (a.status && a.values.size() != 1) Fail("STATUS takes one value");
    return a;
  }

private:
  void ParseName(const std::string& name, Assignment& a) {
    if (Upper(name) == "STATUS") {
      a.status = true;
      return;
    }
    if (name.empty() || name[0] != '%') Fail("\"" + name + "\" is not a reference such as %R1 or STATUS");
    size_t i = 1;
    while (i < name.size() && std::isalpha(static_cast<unsigned char>(name[i]))) ++i;
    const std::string letters = Upper(name.substr(1, i - 1));
    a.table = FindTable(letters);
    if (!a.table) Fail("unknown table %" + letters + " (use %R %AI %AQ %I %Q %M %T %G %S %SA %SB %SC)");
    const std::string digits = name.substr(i);
    if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) {
          return std::isdigit(static_cast<unsigned char>(c));
        }))
      Fail("\"" + name + "\" has no reference number (write %" + letters + "1 for the first)");
    const unsigned long number = std::stoul(digits);
    if (number == 0) Fail("%" + letters + "0 does not exist: references count from 1");
    a.first = static_cast<uint32_t>(number - 1);
  }

  const std::string& source_;
  int line_;
};

void CheckRange(const Assignment& a, const Simulator& sim, const Parser& parser) {
  if (a.status) return;
  const uint32_t size = sim.tableSize(a.table->selector);
  if (a.first >= size || a.values.size() > size - a.first)
    parser.Fail("%" + std::string(a.table->name) + std::to_string(a.first + 1) + " with " +
                std::to_string(a.values.size()) + " values passes the end of %" + a.table->name + " (" +
                std::to_string(size) + (a.table->word ? " words)" : " bits)"));
}

uint16_t ValueAt(const Simulator& sim, const TableName& t, uint32_t index) {
  return t.word ? sim.word(t.selector, index) : static_cast<uint16_t>(sim.bit(t.selector, index));
}

void SaveTable(const Simulator& sim, const TableName& t, std::ostringstream& out) {
  const uint32_t size = sim.tableSize(t.selector);
  uint32_t i = 0;
  while (i < size) {
    if (ValueAt(sim, t, i) == 0) {
      ++i;
      continue;
    }
    // A run: up to kValuesPerLine values, ending after its last non-zero value.
    const uint32_t first = i;
    uint32_t last = i;
    for (uint32_t j = i + 1; j < size && j - first < kValuesPerLine && j - last <= kGapInRun; ++j)
      if (ValueAt(sim, t, j) != 0) last = j;
    out << '%' << t.name << first + 1 << " =";
    for (uint32_t j = first; j <= last; ++j) out << ' ' << ValueAt(sim, t, j);
    out << '\n';
    i = last + 1;
  }
}

}  // namespace

void LoadMemoryText(const std::string& text, const std::string& source, Simulator& sim) {
  std::vector<Assignment> assignments;
  // Editors such as Notepad start a UTF-8 file with a byte-order mark; it is not part of line 1.
  const bool bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
  std::istringstream lines(bom ? text.substr(3) : text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    const std::string content = Trim(line.substr(0, line.find('#')));
    if (content.empty()) continue;
    Parser parser(source, number);
    const size_t equals = content.find('=');
    if (equals == std::string::npos) parser.Fail("expected \"%R1 = value ...\" or \"STATUS = value\"");
    Assignment a = parser.Parse(Trim(content.substr(0, equals)), content.substr(equals + 1));
    CheckRange(a, sim, parser);
    assignments.push_back(std::move(a));
  }
  for (const Assignment& a : assignments) {
    if (a.status) {
      sim.setPlcStatusWord(a.values[0]);
      continue;
    }
    for (size_t k = 0; k < a.values.size(); ++k) {
      const uint32_t index = a.first + static_cast<uint32_t>(k);
      if (a.table->word)
        sim.setWord(a.table->selector, index, a.values[k]);
      else
        sim.setBit(a.table->selector, index, a.values[k] != 0);
    }
  }
}

void LoadMemoryFile(const std::string& path, Simulator& sim) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MemoryFileError(path + ": cannot read: " + std::strerror(errno) + "; check the file name");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw MemoryFileError(path + ": cannot read: " + std::strerror(errno));
  LoadMemoryText(text.str(), path, sim);
}

std::string SaveMemoryText(const Simulator& sim) {
  std::ostringstream out;
  out << "# PLC memory: references count from 1; only non-zero values are listed\n";
  char status[8];
  std::snprintf(status, sizeof status, "0x%04X", sim.plcStatusWord());
  out << "STATUS = " << status << '\n';
  for (const TableName& t : kTables) SaveTable(sim, t, out);
  return out.str();
}

void SaveMemoryFile(const std::string& path, const Simulator& sim) {
  const std::string text = SaveMemoryText(sim);
  const std::string temporary = path + ".saving";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      throw MemoryFileError(path + ": cannot write: " + std::strerror(errno) +
                            "; check the folder and its rights");
    }
  }
  // POSIX replaces the old file in one step; Windows renames onto no existing file.
  if (std::rename(temporary.c_str(), path.c_str()) == 0) return;
  std::remove(path.c_str());
  if (std::rename(temporary.c_str(), path.c_str()) != 0)
    throw MemoryFileError(path + ": cannot write: " + std::strerror(errno) + " (the memory is in " +
                          temporary + ")");
}

}  // namespace kelda::plcsim
