#include "config/TWregistry.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <memory>

#include "Common/BigIni.h"
#include "Common/Exceptions.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/NamedLock.h"
#include "platform/Registry.h"

namespace kelda {

namespace {

constexpr const char* CustomStore = "$CUSTOM$";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string CollapseDoubledBackslashes(std::string_view key) {
  std::string out;
  for (std::size_t i = 0; i < key.size(); ++i) {
    out += key[i];
    if (key[i] == '\\' && i + 1 < key.size() && key[i + 1] == '\\') ++i;
  }
  return out;
}

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20) return true;
  return false;
}

std::string LittleEndianBytes(double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  std::string bytes(8, '\0');
  for (char& b : bytes) {
    b = static_cast<char>(bits & 0xFF);
    bits >>= 8;
  }
  return bytes;
}

double DoubleFromLittleEndian(const std::string& bytes) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i)
    bits = bits << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  return std::bit_cast<double>(bits);
}

int32_t Int32FromLittleEndian(const std::string& bytes) {
  uint32_t bits = 0;
  for (int i = 3; i >= 0; --i)
    bits = bits << 8 | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
  return static_cast<int32_t>(bits);
}

const char* KindName(TPropertyKind kind) {
  switch (kind) {
    case TPropertyKind::Integer:
      return "an integer";
    case TPropertyKind::Double:
      return "a number";
    default:
      return "a text";
  }
}

// A registry value as the property's kind; EConvertError when its type does not fit.
TPropertyValue FromRegistry(const platform::TRegValue& value, TPropertyKind kind) {
  using platform::TRegValueType;
  const bool dword = value.Type == TRegValueType::Dword && value.Data.size() == 4;
  const bool binaryDouble = value.Type == TRegValueType::Binary && value.Data.size() == 8;
  switch (kind) {
    case TPropertyKind::Integer:
      if (dword) return Int32FromLittleEndian(value.Data);
      break;
    case TPropertyKind::Double:
      if (binaryDouble) return DoubleFromLittleEndian(value.Data);
      break;
    case TPropertyKind::Text:
      if (value.Type == TRegValueType::String) return DecodeSettingText(value.Data);
      // Numbers are turned into plain text; they were never encoded.
      if (dword) return std::to_string(Int32FromLittleEndian(value.Data));
      if (binaryDouble) return IniFloatText(DoubleFromLittleEndian(value.Data));
      break;
    default:
      break;
  }
  throw EConvertError(std::string("the stored value is not ") + KindName(kind));
}

bool Storable(TPropertyKind kind) {
  return kind == TPropertyKind::Integer || kind == TPropertyKind::Double || kind == TPropertyKind::Text;
}

platform::TRegHive HiveOf(TRegistryRoot root) {
  return static_cast<platform::TRegHive>(root);
}

const char* RootName(TRegistryRoot root) {
  static const char* const names[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                      "HKEY_USERS", "HKEY_CURRENT_CONFIG"};
  return root < rrNone ? names[root] : "(none)";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Map lines, sections, lock names

std::optional<TPropertyMapLine> ParsePropertyMapLine(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() == ';') return std::nullopt;
  std::size_t separator = line.find(',');
  if (separator == std::string_view::npos) separator = line.find(';');
  if (separator == std::string_view::npos) return std::nullopt;  // a name without a key
  const std::string_view name = Trim(line.substr(0, separator));
  std::string_view key = Trim(line.substr(separator + 1));
  key = Trim(key.substr(0, key.find(';')));
  if (name.empty() || key.empty()) return std::nullopt;

  std::string path = CollapseDoubledBackslashes(key);
  if (!path.empty() && path.front() == '\\') path.erase(0, 1);
  TPropertyMapLine result{std::string(name), {}, path};
  if (const std::size_t last = path.rfind('\\'); last != std::string::npos) {
    result.SubPath = path.substr(0, last);
    result.ValueName = path.substr(last + 1);
  }
  // A key without a value name would address a whole INI section (writing it erases the
  // section) or a key's default value: never a setting.
  if (result.ValueName.empty()) return std::nullopt;
  return result;
}

std::string IniSectionFor(const std::string& subPath, const std::string& prefix) {
  std::string section = subPath;
  std::string head = prefix;
  const bool prefixIsSection = !head.empty() && (head.back() == '/' || head.back() == '\\');
  if (section.empty() && !prefixIsSection) section = "Common";
  if (prefixIsSection) head.pop_back();
  if (!head.empty()) section = section.empty() ? head : head + "." + section;
  for (char& c : section)
    if (c == '\\') c = '.';
  return section;
}

std::string IniLockName(const std::string& iniFile) {
  return platform::FileLockName(iniFile);
}

// ---------------------------------------------------------------------------------------------
// Text encoding

std::string EncodeSettingText(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  const std::string utf8 = platform::WideToUtf8(platform::AnsiToWide(text));
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 4);
  bool leading = true;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c != ' ') leading = false;
    if (c == ' ') {
      // A space that a reader could take for padding (at either end, or in a run) is marked.
      const bool last = i + 1 == utf8.size();
      out += leading || last || utf8[i + 1] == ' ' ? '+' : ' ';
    } else if (c == '%') {
      out += "%%";
    } else if (c >= 0x21 && c <= 0x7F && c != '+') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

std::string DecodeSettingText(std::string_view stored) {
  std::string bytes;
  bytes.reserve(stored.size());
  bool plainAscii = true;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const char c = stored[i];
    if (static_cast<unsigned char>(c) >= 0x80) plainAscii = false;
    if (c == '+') {
      bytes += ' ';
    } else if (c != '%') {
      bytes += c;
    } else if (i + 1 < stored.size() && stored[i + 1] == '%') {
      bytes += '%';
      ++i;
    } else if (i + 2 < stored.size() && HexValue(stored[i + 1]) >= 0 && HexValue(stored[i + 2]) >= 0) {
      bytes += static_cast<char>(HexValue(stored[i + 1]) << 4 | HexValue(stored[i + 2]));
      i += 2;
    } else {
      bytes += '%';
    }
  }
  // Raw high bytes mean the text was not written by this store (edited by hand in the system
  // code page); it is taken as it stands. Bytes that are not valid UTF-8 are kept as well
  // rather than turned into replacement characters.
  if (!plainAscii) return bytes;
  const std::u16string wide = platform::Utf8ToWide(bytes);
  if (platform::WideToUtf8(wide) != bytes) return bytes;
  std::string text = platform::WideToAnsi(wide);
  return text.empty() ? bytes : text;
}

// ---------------------------------------------------------------------------------------------
// One load or save

class TWregOperation {
public:
  TWregOperation(TWreg& store, TProxyCodeCustomObject& settings, bool save)
      : FStore(store), FSettings(settings), FSave(save) {}

  bool Run() {
    FStore.FProblems.clear();
    FStore.FNoLocation = false;
    FStore.FStoreFailed = false;
    try {
      const std::vector<TLine> lines = ResolveLines();
      if (FStore.INIFile == CustomStore) return RunCustom(lines);
      if (!FStore.INIFile.empty() && (FSave || platform::FileExists(FStore.INIFile))) return RunIni(lines);
      return RunRegistry(lines);
    } catch (const std::exception& e) {
      Failed(e.what());
    } catch (...) {
      Failed("unknown failure");
    }
    return false;
  }

private:
  struct TLine {
    TPropertyMapLine Map;
    const TPropertyInfo* Property;
  };

  void Problem(std::string text) { FStore.FProblems.push_back(std::move(text)); }
  void Failed(std::string text) {
    FStore.FStoreFailed = true;
    Problem(std::move(text));
  }

  // Map lines that name a stored property of the settings object, in map order.
  std::vector<TLine> ResolveLines() {
    std::vector<TLine> lines;
    for (const auto& entry : FStore.Components) {
      std::optional<TPropertyMapLine> line = ParsePropertyMapLine(entry.Text);
      if (!line) continue;
      std::string published = line->PropertyName;
      for (char& c : published)
        if (c == '.') c = '_';
      const TPropertyInfo* property = FindProperty(FSettings, published);
      if (!property || !Storable(property->Kind)) continue;
      bool skip = false;
      const std::string key =
          line->SubPath.empty() ? line->ValueName : line->SubPath + "\\" + line->ValueName;
      if (FStore.BeforeProcessItem) FStore.BeforeProcessItem(FStore, line->PropertyName, key, skip);
      if (!skip) lines.push_back({std::move(*line), property});
    }
    return lines;
  }

  bool Assign(const TLine& line, const TPropertyValue& value) {
    SetPropValue(FSettings, *line.Property, value);
    return true;
  }

  bool RunCustom(const std::vector<TLine>& lines) {
    int done = 0;
    for (const TLine& line : lines) {
      const std::string key =
          line.Map.SubPath.empty() ? line.Map.ValueName : line.Map.SubPath + "\\" + line.Map.ValueName;
      try {
        if (FSave && FStore.SetValue) {
          FStore.SetValue(FStore, key, GetPropValue(FSettings, *line.Property));
          ++done;
        } else if (!FSave && FStore.GetValue) {
          TPropertyValue value;
          if (FStore.GetValue(FStore, key, value)) done += Assign(line, value);
        }
      } catch (const std::exception& e) {
        Problem("\"" + key + "\": " + e.what());
      }
    }
    return done > 0;
  }

  // --- INI file

  bool RunIni(const std::vector<TLine>& lines) {
    const std::string& file = FStore.INIFile;
    std::unique_ptr<platform::TNamedLock> lock;
    try {
      lock = std::make_unique<platform::TNamedLock>(IniLockName(file), FStore.IniLockWaitMs);
    } catch (const ELockTimeout&) {
      // Another process holds the file's lock: the caller's thread is not held up any longer,
      // and nothing is read or written without the lock.
      Failed("INI file \"" + file + "\" was left alone: another process kept it locked for " +
             std::to_string(FStore.IniLockWaitMs) + " ms");
      return false;
    }
    std::unique_ptr<TBigIniFile> ini;
    try {
      ini = std::make_unique<TBigIniFile>(file);
    } catch (const std::exception& e) {
      Failed("INI file \"" + file + "\" was left alone: " + e.what());
      return false;
    }
    int done = 0;
    for (const TLine& line : lines) {
      const std::string section = IniSectionFor(line.Map.SubPath, FStore.INIFileSectionPrefix);
      const std::string& name = line.Map.ValueName;
      if (HasControlCharacter(section) || HasControlCharacter(name) || name.find('=') != std::string::npos) {
        Problem("\"" + name + "\" cannot be a key of an INI file");
        continue;
      }
      try {
        done += FSave ? SaveIni(*ini, section, line) : LoadIni(*ini, section, line);
      } catch (const std::exception& e) {
        Problem("[" + section + "] " + name + ": " + e.what());
      }
    }
    if (!FSave) return done > 0;
    try {
      ini->UpdateFile();
    } catch (const std::exception& e) {
      Failed("INI file \"" + file + "\" was not written: " + e.what());
      return false;
    }
    if (!ini->WriteNote().empty()) Problem("INI file \"" + file + "\" was written, but " + ini->WriteNote());
    return done > 0;
  }

  bool LoadIni(TBigIniFile& ini, const std::string& section, const TLine& line) {
    const std::string& name = line.Map.ValueName;
    if (!ini.ValueExists(section, name)) return false;
    switch (line.Property->Kind) {
      case TPropertyKind::Integer:
        return Assign(line, ini.ReadInteger(section, name, 0));
      case TPropertyKind::Double:
        return Assign(line, ini.ReadFloat(section, name, 0));
      default:
        return Assign(line, DecodeSettingText(ini.ReadString(section, name, {})));
    }
  }

  bool SaveIni(TBigIniFile& ini, const std::string& section, const TLine& line) {
    const std::string& name = line.Map.ValueName;
    const TPropertyValue value = GetPropValue(FSettings, *line.Property);
    switch (line.Property->Kind) {
      case TPropertyKind::Integer:
        ini.WriteInteger(section, name, std::get<int32_t>(value));
        break;
      case TPropertyKind::Double:
        ini.WriteFloat(section, name, std::get<double>(value));
        break;
      default:
        ini.WriteString(section, name, EncodeSettingText(std::get<std::string>(value)));
        break;
    }
    return true;
  }

  // --- registry

  bool RunRegistry(const std::vector<TLine>& lines) {
    std::string base = FStore.RegistryPath;
    // A leading backslash means "from the hive's root", where every path starts anyway.
    base.erase(0, std::min(base.find_first_not_of('\\'), base.size()));
    while (!base.empty() && base.back() == '\\') base.pop_back();
    // An empty path would put the settings straight into the hive's root.
    if (base.empty()) {
      // An INI file that a first save will create is a location with nothing saved yet.
      if (!FSave && !FStore.INIFile.empty()) return false;
      FStore.FNoLocation = true;
      Problem(TWreg::NoLocationProblem);
      return false;
    }
    if (!ChooseHive(base)) return false;
    int done = 0;
    for (const TLine& line : lines) {
      const std::string path = line.Map.SubPath.empty() ? base : base + "\\" + line.Map.SubPath;
      platform::TRegistryKey* key = KeyAt(path);
      if (!key) {
        if (FSave) Problem("registry key \"" + path + "\" cannot be created");
        continue;
      }
      done += FSave ? SaveRegistry(*key, line) : LoadRegistry(*key, line);
    }
    return done > 0;
  }

  bool ChooseHive(const std::string& base) {
    if (FStore.RegistryRoot >= rrNone) {
      Failed("no registry hive for the settings");
      return false;
    }
    for (TRegistryRoot root : {FStore.RegistryRoot, FStore.SecondRegistryRoot}) {
      if (root >= rrNone) continue;
      auto key = platform::TRegistryKey::Open(HiveOf(root), base, FSave);
      if (!key) continue;
      FHive = HiveOf(root);
      FKeys[base] = std::move(key);
      return true;
    }
    // Before the first save there are no settings to load: nothing went wrong.
    if (!FSave && !ExistsInEitherHive(base)) return false;
    Failed("registry key \"" + base + "\" opens in neither " + RootName(FStore.RegistryRoot) + " nor " +
           RootName(FStore.SecondRegistryRoot));
    return false;
  }

  bool ExistsInEitherHive(const std::string& path) const {
    for (TRegistryRoot root : {FStore.RegistryRoot, FStore.SecondRegistryRoot})
      if (root < rrNone && platform::RegistryKeyExists(HiveOf(root), path)) return true;
    return false;
  }

  platform::TRegistryKey* KeyAt(const std::string& path) {
    auto it = FKeys.find(path);
    if (it == FKeys.end()) it = FKeys.emplace(path, platform::TRegistryKey::Open(FHive, path, FSave)).first;
    return it->second.get();
  }

  bool LoadRegistry(platform::TRegistryKey& key, const TLine& line) {
    const std::string& name = line.Map.ValueName;
    const std::optional<platform::TRegValue> stored = key.Read(name);
    if (!stored) return false;
    try {
      return Assign(line, FromRegistry(*stored, line.Property->Kind));
    } catch (const std::exception& e) {
      // A value this store cannot read would fail every load; it goes, the setting keeps its value.
      key.DeleteValue(name);
      Problem("registry value \"" + name + "\" was removed: " + e.what());
      return false;
    }
  }

  bool SaveRegistry(platform::TRegistryKey& key, const TLine& line) {
    const std::string& name = line.Map.ValueName;
    try {
      const TPropertyValue value = GetPropValue(FSettings, *line.Property);
      switch (line.Property->Kind) {
        case TPropertyKind::Integer:
          key.WriteDword(name, static_cast<uint32_t>(std::get<int32_t>(value)));
          break;
        case TPropertyKind::Double:
          key.WriteBinary(name, LittleEndianBytes(std::get<double>(value)));
          break;
        default:
          key.WriteString(name, EncodeSettingText(std::get<std::string>(value)));
          break;
      }
      return true;
    } catch (const std::exception& e) {
      key.DeleteValue(name);
      Problem("registry value \"" + name + "\" was not written: " + e.what());
      return false;
    }
  }

  TWreg& FStore;
  TProxyCodeCustomObject& FSettings;
  const bool FSave;
  platform::TRegHive FHive = platform::TRegHive::LocalMachine;
  std::map<std::string, std::unique_ptr<platform::TRegistryKey>> FKeys;
};

bool TWreg::Load(TProxyCodeCustomObject& settings) {
  return TWregOperation(*this, settings, false).Run();
}

bool TWreg::Save(TProxyCodeCustomObject& settings) {
  return TWregOperation(*this, settings, true).Run();
}

}  // namespace kelda
