// The system registry: a hierarchy of keys under a few hives, each key holding named values of a
// type. On Windows this is the real registry. On POSIX it is a file-backed store with the same
// key paths, value names and value types, one file per hive in the folder named by the
// environment variable KELDA_REGISTRY_DIR (fallback: $HOME/.kelda/registry, or
// /tmp/kelda-registry when there is no home folder).
//
// Contract kept by both backends:
//  - Key paths are 8-bit texts (system code page) of names separated by single backslashes,
//    without a leading or trailing backslash (callers strip those); an empty path names the hive itself. A
//    path with an empty name in it, or a name longer than 255 characters, is refused (Wine refuses whole
//    paths of about 255 characters already).
//  - Key and value names compare without regard to letter case.
//  - Keys are always opened asking for full read and write access: a key the caller may only
//    read does not open. On POSIX a hive file that has no write permission bit at all counts
//    as such a key, for every user (as the read-only state of a Windows key does for all).
//  - Opening without create fails for a missing key; with create, missing keys on the path are
//    made.
//  - Value data: DWORD is 4 bytes little-endian, SZ the text without its terminating NUL (the
//    text cannot hold a NUL), BINARY any bytes. An expandable text (EXPAND_SZ, as editors and
//    installers often write texts) reads as String, with its %NAME% references as they stand.
//    Values of other types read as Other.
//  - Writes are whole-value and atomic with respect to other readers and writers, also of other
//    processes; nothing else is locked.
// Failures: Open returns nullptr; Write* and DeleteRegistryKeyTree throw ERegistryException with the
// system's reason. Reads never throw.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/Exceptions.h"

namespace kelda {

KELDA_EXCEPTION_CLASS(ERegistryException, Exception);

}  // namespace kelda

namespace kelda::platform {

enum class TRegHive : uint8_t { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

enum class TRegValueType : uint8_t { Dword, String, Binary, Other };

struct TRegValue {
  TRegValueType Type = TRegValueType::Other;
  std::string Data;  // the raw bytes, as described above
};

class TRegistryKey {
public:
  // The key at path under hive, opened with full access; created (with every missing key on its
  // path) when create is set. nullptr when it is missing, refused or the path is not valid.
  static std::unique_ptr<TRegistryKey> Open(TRegHive hive, const std::string& path, bool create);
  ~TRegistryKey();
  TRegistryKey(const TRegistryKey&) = delete;
  TRegistryKey& operator=(const TRegistryKey&) = delete;

  // The value, or nullopt when the key has no value of that name.
  std::optional<TRegValue> Read(const std::string& name) const;
  void WriteDword(const std::string& name, uint32_t value);
  void WriteString(const std::string& name, const std::string& text);
  // The text as an expandable text (EXPAND_SZ); references in it are not expanded.
  void WriteExpandString(const std::string& name, const std::string& text);
  void WriteBinary(const std::string& name, const std::string& bytes);
  // True when the value existed and is gone.
  bool DeleteValue(const std::string& name);

private:
  struct TImpl;
  explicit TRegistryKey(std::unique_ptr<TImpl> impl);
  std::unique_ptr<TImpl> FImpl;
};

// Whether the key exists (opened for reading only; for tests and diagnostics).
bool RegistryKeyExists(TRegHive hive, const std::string& path);
// Removes the key with all its subkeys and values; true when it existed. The hive itself (an
// empty path) is refused.
bool DeleteRegistryKeyTree(TRegHive hive, const std::string& path);

}  // namespace kelda::platform
