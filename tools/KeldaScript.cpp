#include "tools/KeldaScript.h"

#include <fstream>
#include <iomanip>
#include <istream>
#include <iterator>
#include <map>
#include <ostream>
#include <sstream>
#include <vector>

#include "Common/Exceptions.h"
#include "tools/KeldaSettings.h"

namespace kelda::host {

static std::vector<std::string> Tokens(const std::string& line) {
  std::vector<std::string> tokens;
  std::string current;
  bool inQuotes = false, inToken = false;
  for (char c : line) {
    if (c == '"') {
      inQuotes = !inQuotes;
      inToken = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (inToken) tokens.push_back(current);
      current.clear();
      inToken = false;
    } else {
      current += c;
      inToken = true;
    }
  }
  if (inToken) tokens.push_back(current);
  return tokens;
}

static std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char next = text[++i];
    out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
  }
  return out;
}

static bool IsNumber(const std::string& text, int64_t& value) {
  return TryTextToInt64(text, value);
}

static TParam ParseParam(TKeldaHost& host, const std::string& token) {
  std::size_t equals = token.find('=');
  std::string name = token.substr(0, equals);
  if (equals == std::string::npos || equals + 1 == token.size()) return ParamNull(name);
  std::string value = token.substr(equals + 1);
  if (value == "$HOST") return Param(name, static_cast<int32_t>(host.Program()));
  if (value == "$WINDOW") return Param(name, static_cast<int32_t>(host.Window()));
  if (value == "$APP") return Param(name, platform::HostProgramFileName());
  int64_t number = 0;
  if (IsNumber(value, number)) return Param(name, static_cast<int32_t>(number));
  return Param(name, Unescape(value));
}

static std::string Printable(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

static void PrintLog(std::ostream& out, const std::vector<TLogLine>& lines) {
  for (const TLogLine& line : lines) out << "  [level " << line.Level << "] " << line.Text << "\n";
}

static std::string ResultText(const TVariant& value) {
  if (value.IsEmpty()) return "(empty)";
  if (value.IsNull()) return "(null)";
  try {
    return Printable(value.ToText());
  } catch (const std::exception&) {
    return "(type " + std::to_string(value.Type()) + ")";
  }
}

static void PrintRow(std::ostream& out, int32_t source, const TRow& row) {
  out << "  row from " << source << ":";
  for (const auto& [name, value] : row)
    if (!IsStandardField(name)) out << " " << name << "=" << Printable(value);
  out << "\n";
}

static bool ParseMode(const std::string& text, plcsim::Mode& mode) {
  static const std::map<std::string, plcsim::Mode> modes = {{"ccm-ms", plcsim::Mode::CcmMasterSlave},
                                                            {"ccm-peer", plcsim::Mode::CcmPeerToPeer},
                                                            {"snp", plcsim::Mode::Snp},
                                                            {"snpx", plcsim::Mode::SnpX}};
  auto found = modes.find(text);
  if (found == modes.end()) return false;
  mode = found->second;
  return true;
}

static std::string SettingValue(const std::string& token) {
  if (token.empty() || token[0] != '@') return Unescape(token);
  std::ifstream file(token.substr(1), std::ios::binary);
  if (!file) throw Exception("cannot read " + token.substr(1));
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Runs the loop until every line has ROWS more rows (or the time is up) and prints them.
static void RunLines(TKeldaHost& host, uintptr_t instance, const std::vector<int32_t>& sources, uint32_t ms,
                     int64_t rows, std::ostream& out) {
  std::map<int32_t, std::vector<TRow>> seen;
  auto enough = [&] {
    if (rows <= 0) return false;
    for (int32_t source : sources)
      if (static_cast<int64_t>(host.RowCount(instance, source)) < rows) return false;
    return true;
  };
  bool done = host.RunUntil(enough, ms);
  for (int32_t source : sources)
    for (const TRow& row : host.TakeRows(instance, source)) PrintRow(out, source, row);
  if (rows > 0 && !done) out << "  (fewer rows than asked for)\n";
}

bool RunScript(TKeldaHost& host, std::istream& script, std::ostream& out) {
  uintptr_t instance = 0;
  std::vector<int32_t> sources;  // data sources with a line
  std::string line;
  while (std::getline(script, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> tokens = Tokens(line);
    if (tokens.empty() || tokens[0][0] == '#') continue;
    const std::string& verb = tokens[0];
    out << "> " << line << "\n";
    if (verb == "create") {
      int32_t index = tokens.size() > 1 ? std::stoi(tokens[1]) : 1;
      int32_t result = 0;
      instance = host.Create(index, &result);
      out << "  result " << result << ", instance " << (instance ? "created" : "none") << "\n";
    } else if (verb == "info") {
      TModuleInfoResult info = host.ModuleInfo(instance);
      out << "  size call: " << (info.SizeCallResult ? "true" : "false") << ", required " << info.RequiredSize
          << " bytes\n  fill call: " << (info.FillCallResult ? "true" : "false") << "\n  module type 0x"
          << std::hex << info.ModuleKind << std::dec << ", interface " << info.InterfaceVersionNumber << " ("
          << info.InterfaceVersion << "), info kind " << int(info.InfoKind)
          << "\n  description: " << info.Description
          << "\n  custom commands: " << Printable(info.CustomCommands) << "\n";
    } else if (verb == "load" || verb == "command") {
      std::size_t first = verb == "load" ? 1 : 2;
      if (verb == "command" && tokens.size() < 2) {
        out << "  missing command word\n";
        return false;
      }
      std::string word = verb == "load" ? "LOAD" : tokens[1];
      uint8_t flags = 0;
      TParams params;
      for (std::size_t i = first; i < tokens.size(); ++i) {
        if (tokens[i].rfind("@flags=", 0) == 0) {
          int64_t value = 0;
          if (IsNumber(tokens[i].substr(7), value)) flags = static_cast<uint8_t>(value);
          continue;
        }
        params.push_back(ParseParam(host, tokens[i]));
      }
      if (verb == "load") params = host.LoadParams(params);
      TCommandResult result = host.Command(instance, word, params, true, flags);
      out << "  result " << result.Code << ", RESULT = " << ResultText(result.Result) << "\n";
    } else if (verb == "data") {
      if (tokens.size() < 4) {
        out << "  data needs SOURCE FLAGS TEXT\n";
        return false;
      }
      int64_t source = 0, flags = 0;
      IsNumber(tokens[1], source);
      IsNumber(tokens[2], flags);
      TDataResult result =
          host.Data(instance, static_cast<int32_t>(source), static_cast<uint8_t>(flags), Unescape(tokens[3]));
      out << "  result " << result.Code << ", packets " << result.PacketCount
          << "\n  packet text: " << Printable(result.PacketText) << "\n";
      for (const TRow& row : result.Rows) {
        out << "  row:";
        for (const auto& [name, value] : row) out << " " << name << "=" << Printable(value) << ";";
        out << "\n";
      }
    } else if (verb == "pump") {
      host.PumpMessages();
      out << "  notifications so far " << host.Notifications() << "\n";
      PrintLog(out, host.Received());
    } else if (verb == "log") {
      host.PumpMessages();
      std::vector<TLogLine> lines = host.Received();
      std::vector<TLogLine> fetched = host.FetchLog(instance);
      lines.insert(lines.end(), fetched.begin(), fetched.end());
      out << "  " << lines.size() << " lines\n";
      PrintLog(out, lines);
    } else if (verb == "ini") {
      if (tokens.size() < 5) {
        out << "  ini needs FILE SECTION KEY VALUE\n";
        return false;
      }
      WriteIniValue(tokens[1], tokens[2], tokens[3], EncodeStoredText(SettingValue(tokens[4])));
      out << "  stored\n";
    } else if (verb == "line") {
      plcsim::Mode mode{};
      int64_t source = 0;
      if (tokens.size() < 3 || !IsNumber(tokens[1], source) || !ParseMode(tokens[2], mode)) {
        out << "  line needs SOURCE and a MODE of ccm-ms, ccm-peer, snp, snpx\n";
        return false;
      }
      TKeldaHost::TLineOptions options;
      options.Mode = mode;
      for (std::size_t i = 3; i < tokens.size(); ++i) {
        int64_t value = 0;
        if (tokens[i].rfind("chunk=", 0) == 0 && IsNumber(tokens[i].substr(6), value) && value > 0)
          options.MaxChunk = static_cast<std::size_t>(value);
        else if (tokens[i].rfind("seed=", 0) == 0 && IsNumber(tokens[i].substr(5), value))
          options.Seed = static_cast<uint32_t>(value);
        else if (tokens[i].rfind("id=", 0) == 0 && IsNumber(tokens[i].substr(3), value))
          options.CcmId = static_cast<uint8_t>(value);
        else if (tokens[i].rfind("id=", 0) == 0)
          options.SnpId = tokens[i].substr(3);
        else {
          out << "  unknown line option " << tokens[i] << "\n";
          return false;
        }
      }
      host.AttachLine(instance, static_cast<int32_t>(source), options);
      sources.push_back(static_cast<int32_t>(source));
      out << "  PLC attached\n";
    } else if (verb == "registers") {
      int64_t source = 0, first = 0;
      TSimulatedLine* line = nullptr;
      if (tokens.size() < 4 || !IsNumber(tokens[1], source) || !IsNumber(tokens[2], first) ||
          !(line = host.Line(instance, static_cast<int32_t>(source)))) {
        out << "  registers needs a SOURCE with a line, FIRST and values\n";
        return false;
      }
      for (std::size_t i = 3; i < tokens.size(); ++i) {
        int64_t value = 0;
        IsNumber(tokens[i], value);
        line->Plc().setWord(0x08, static_cast<uint32_t>(first + static_cast<int64_t>(i - 3)),
                            static_cast<uint16_t>(value));
      }
      out << "  set\n";
    } else if (verb == "run") {
      int64_t ms = 0, rows = 0;
      if (tokens.size() < 2 || !IsNumber(tokens[1], ms) || ms < 0) {
        out << "  run needs MS\n";
        return false;
      }
      if (tokens.size() > 2) IsNumber(tokens[2], rows);
      RunLines(host, instance, sources, static_cast<uint32_t>(ms), rows, out);
    } else if (verb == "free") {
      out << "  result " << host.Free(instance) << "\n";
      sources.clear();
    } else if (verb == "shutdown") {
      out << "  result " << host.Shutdown() << "\n";
    } else {
      out << "  unknown call " << verb << "\n";
      return false;
    }
  }
  return true;
}

}  // namespace kelda::host
