// The settings store: reads and writes the published properties of a settings object through
// the property map, in the registry or in an INI file, as the host chose.
//
// Where the values go, decided at the start of every operation:
//  - INIFile "$CUSTOM$": the host keeps the values itself; they pass through the GetValue and
//    SetValue hooks, and without hooks nothing is loaded or saved.
//  - INIFile set, and the file exists or the operation is a save: that INI file, under a lock
//    shared by every process (named after the file) for the whole operation. When another
//    process keeps that lock for IniLockWaitMs, the operation fails, reads and writes nothing,
//    and says why in Problems().
//  - otherwise the registry key RegistryPath (backslashes at either end ignored), first under
//    RegistryRoot, then under SecondRegistryRoot; keys are always opened for full access, so a
//    hive the user may only read is passed over.
//
// Map lines: "property,key" (or "property;key"), blanks around both ignored, a ";" after the
// key starts a comment, lines starting with ";" are comments. A "." in the property name stands
// for "_" in the published name. The key may carry a sub-path ("Sub\Name"): a subkey of
// RegistryPath, or the INI section (prefixed, "\" read as "."); without one the INI section is
// "Common", or the prefix alone when the prefix ends with "\" or "/".
//
// Values: integers as DWORD / decimal text, doubles as 8 little-endian bytes / float text, texts
// as SZ / the INI value, in the one-line encoding of EncodeSettingText.
//
// Failures never escape an operation: whatever went wrong is listed in Problems(). A store that
// cannot be read (an INI file that exists but is unreadable, a registry path that opens in
// neither hive) changes nothing and writes nothing; an INI file that cannot be written keeps its
// old content. A registry path that exists in neither hive is no failure of a load (nothing has
// been saved yet); a save that cannot create it is.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Common/Classes.h"
#include "Common/Component.h"
#include "config/ProxyCodeCustom.h"

namespace kelda {

enum TRegistryRoot : uint8_t {
  rrHKEY_CLASSES_ROOT = 0,
  rrHKEY_CURRENT_USER = 1,
  rrHKEY_LOCAL_MACHINE = 2,
  rrHKEY_USERS = 3,
  rrHKEY_CURRENT_CONFIG = 4,
  rrNone = 5,  // no hive: a primary root of rrNone fails the operation
};

// A usable map line: the property name as written in the map, and where its value lives.
struct TPropertyMapLine {
  std::string PropertyName;  // "lblParams.Caption"
  std::string SubPath;       // "" or "Sub\Path"
  std::string ValueName;     // never empty
};

// The line's meaning, or nullopt for comments, blank lines and lines without a property name
// or a value name.
std::optional<TPropertyMapLine> ParsePropertyMapLine(std::string_view line);

// The INI section of a sub-path under a section prefix.
std::string IniSectionFor(const std::string& subPath, const std::string& prefix);

// The name of the inter-process lock around an INI file: the lock of the file itself
// (platform::FileLockName), so that every spelling of its path takes the one lock.
std::string IniLockName(const std::string& iniFile);

// The one-line form of a text (system code page), and back. Encoding: UTF-8, then "%" as "%%",
// spaces that lead the text, end it or precede another space as "+", other spaces as they are,
// the printable bytes "!".."~" (and 0x7F) except "+" as they are, every other byte as "%XX".
// Decoding: "%%" is "%", "%XX" (hexadecimal) is that byte, any other "%" stays, "+" is a space;
// the result is read as UTF-8 when the stored text is plain ASCII and valid UTF-8 comes out,
// else kept as it stands.
std::string EncodeSettingText(std::string_view text);
std::string DecodeSettingText(std::string_view stored);

// How long an operation waits for another process to release the INI file's lock.
constexpr uint32_t kIniLockWaitMs = 5000;

class TWreg : public TComponent {
public:
  explicit TWreg(TComponent* owner) : TComponent(owner) {}

  TRegistryRoot RegistryRoot = rrHKEY_LOCAL_MACHINE;
  TRegistryRoot SecondRegistryRoot = rrHKEY_CURRENT_USER;
  std::string RegistryPath;
  std::string INIFile;
  std::string INIFileSectionPrefix;
  TStringList Components;  // the property map
  uint32_t IniLockWaitMs = kIniLockWaitMs;

  // Hooks. GetValue answers whether it supplied a value for the key; SetValue takes one.
  // BeforeProcessItem runs for every usable map line in every store and may skip it.
  std::function<bool(TWreg& sender, const std::string& key, TPropertyValue& value)> GetValue;
  std::function<void(TWreg& sender, const std::string& key, const TPropertyValue& value)> SetValue;
  std::function<void(TWreg& sender, const std::string& property, const std::string& key, bool& skip)>
      BeforeProcessItem;

  // Reads every mapped property that the store holds; the others keep their values. True when
  // at least one value was read.
  bool Load(TProxyCodeCustomObject& settings);
  // Writes every mapped property. True when at least one value reached the store.
  bool Save(TProxyCodeCustomObject& settings);

  // What went wrong in the last operation, one line each; empty after a clean run.
  const std::vector<std::string>& Problems() const { return FProblems; }
  // Whether the last operation could not reach the store at all (its INI file's lock stayed
  // taken, the file could not be read, the registry path opened in neither hive): a load then
  // read nothing, and a save wrote nothing. A store without anything saved yet is no failure.
  bool StoreFailed() const { return FStoreFailed; }
  // Whether the last operation found no place at all for the settings (no INI file and no
  // registry path); Problems() then holds NoLocationProblem.
  bool NoLocation() const { return FNoLocation; }
  static constexpr const char* NoLocationProblem = "no registry path for the settings";

private:
  friend class TWregOperation;
  std::vector<std::string> FProblems;
  bool FNoLocation = false;
  bool FStoreFailed = false;
};

}  // namespace kelda
