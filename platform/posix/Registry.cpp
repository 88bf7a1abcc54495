// The registry on POSIX: one text file per hive, "<folder>/<HIVE NAME>.reg", rewritten whole
// (through a temporary file and a rename, so readers never see half a file) under an exclusive
// flock on "<HIVE NAME>.lock"; readers take the shared lock. Layout of a hive file:
//   KELDA-REGISTRY 1
//   [key\path]
//   name=dword:0000002a | name=sz:text | name=expand_sz:text | name=binary:0a0b | name=other:hex
// Key paths, names and texts are escaped: bytes below 0x21, 0x7F and up, "%", "=", "[" and "]"
// become "%" and two hexadecimal digits.
#include "platform/Registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/CodePage.h"

namespace kelda::platform {

namespace {

constexpr std::size_t MaxKeyNameLength = 255;
constexpr const char* FileHeader = "KELDA-REGISTRY 1";

const char* HiveName(TRegHive hive) {
  switch (hive) {
    case TRegHive::ClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case TRegHive::CurrentUser:
      return "HKEY_CURRENT_USER";
    case TRegHive::LocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case TRegHive::Users:
      return "HKEY_USERS";
    case TRegHive::CurrentConfig:
      return "HKEY_CURRENT_CONFIG";
  }
  return "HKEY_UNKNOWN";
}

bool ValidPath(const std::string& path) {
  if (path.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find('\\', start);
    const std::size_t length = (end == std::string::npos ? path.size() : end) - start;
    if (length == 0 || length > MaxKeyNameLength) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string Folder() {
  if (const char* dir = std::getenv("KELDA_REGISTRY_DIR"); dir && *dir) return dir;
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.kelda/registry";
  return "/tmp/kelda-registry";
}

bool MakeFolders(const std::string& path) {
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  return true;
}

std::string Escape(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x21 || c >= 0x7F || c == '%' || c == '=' || c == '[' || c == ']') {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
      out += static_cast<char>(Hex(text[i + 1]) << 4 | Hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string FromHex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const int high = Hex(text[i]), low = Hex(text[i + 1]);
    if (high < 0 || low < 0) break;
    out += static_cast<char>(high << 4 | low);
  }
  return out;
}

// A value as the file holds it: an expandable text reads as any text but is written back as
// what it was.
struct TStoredValue : TRegValue {
  bool Expandable = false;
};

struct TKey {
  std::string Path;  // as first created
  std::vector<std::pair<std::string, TStoredValue>> Values;

  auto Find(const std::string& name) {
    const std::string lower = AnsiLowerCase(name);
    for (auto it = Values.begin(); it != Values.end(); ++it)
      if (AnsiLowerCase(it->first) == lower) return it;
    return Values.end();
  }
};

// Keys by their lower-case path; the hive itself is the empty path and always exists.
using THive = std::map<std::string, TKey>;

// One locked session with a hive file: the shared lock for reading, the exclusive lock for a
// change, held until the session ends.
class THiveFile {
public:
  THiveFile(TRegHive hive, bool exclusive) {
    const std::string folder = Folder();
    FPath = folder + "/" + HiveName(hive) + ".reg";
    if (!MakeFolders(folder)) return;
    FLock = ::open((folder + "/" + HiveName(hive) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (FLock < 0) return;
    while (::flock(FLock, exclusive ? LOCK_EX : LOCK_SH) != 0)
      if (errno != EINTR) return;
    FUsable = true;
  }
  ~THiveFile() {
    if (FLock >= 0) ::close(FLock);  // closing releases the lock
  }
  THiveFile(const THiveFile&) = delete;
  THiveFile& operator=(const THiveFile&) = delete;

  bool Usable() const { return FUsable; }

  // A hive file without any write permission is read-only for everybody.
  bool Writable() const {
    struct stat st {};
    if (::stat(FPath.c_str(), &st) != 0) return errno == ENOENT;
    return (st.st_mode & 0222) != 0;
  }

  // The hive's keys; a missing file is an empty hive. Any other failure to read throws: taking
  // an unreadable hive for an empty one would let the next change replace everything in it.
  THive Load() const {
    THive hive;
    hive[""] = TKey{};
    FILE* f = std::fopen(FPath.c_str(), "rb");
    if (!f) {
      if (errno == ENOENT) return hive;
      throw ERegistryException("Cannot read registry hive " + FPath + ": " + std::strerror(errno));
    }
    std::string content;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
    const int error = std::ferror(f) ? errno : 0;
    std::fclose(f);
    if (error != 0)
      throw ERegistryException("Cannot read registry hive " + FPath + ": " + std::strerror(error));
    Parse(content, hive);
    return hive;
  }

  void Save(const THive& hive) const {
    if (!Writable()) throw ERegistryException("Registry hive is read-only: " + FPath);
    std::string text = std::string(FileHeader) + "\n";
    for (const auto& [lower, key] : hive) {
      text += "[" + Escape(key.Path) + "]\n";
      for (const auto& [name, value] : key.Values) text += Escape(name) + "=" + ValueText(value) + "\n";
    }
    const std::string temporary = FPath + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw ERegistryException("Cannot write registry hive " + FPath + ": " + std::strerror(errno));
    // The rewritten hive keeps the permissions its owner gave the old one.
    struct stat st {};
    bool done = ::stat(FPath.c_str(), &st) != 0 || ::fchmod(fd, st.st_mode & 07777) == 0;
    for (std::size_t at = 0; done && at < text.size();) {
      const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
      if (n < 0 && errno == EINTR) continue;
      done = n > 0;
      if (done) at += static_cast<std::size_t>(n);
    }
    done = done && ::fsync(fd) == 0;
    int error = errno;
    if (::close(fd) != 0 && done) {
      done = false;
      error = errno;
    }
    if (done && std::rename(temporary.c_str(), FPath.c_str()) != 0) {
      done = false;
      error = errno;
    }
    if (!done) {
      std::remove(temporary.c_str());
      throw ERegistryException("Cannot write registry hive " + FPath + ": " + std::strerror(error));
    }
  }

private:
  static std::string ValueText(const TStoredValue& value) {
    if (value.Expandable) return "expand_sz:" + Escape(value.Data);
    switch (value.Type) {
      case TRegValueType::Dword:
        return "dword:" + ToHex(value.Data);
      case TRegValueType::String:
        return "sz:" + Escape(value.Data);
      case TRegValueType::Binary:
        return "binary:" + ToHex(value.Data);
      case TRegValueType::Other:
        break;
    }
    return "other:" + ToHex(value.Data);
  }

  static void ParseValue(std::string_view line, TKey& key) {
    const std::size_t eq = line.find('=');
    const std::size_t colon = line.find(':', eq == std::string_view::npos ? 0 : eq);
    if (eq == std::string_view::npos || colon == std::string_view::npos) return;
    const std::string_view type = line.substr(eq + 1, colon - eq - 1);
    const std::string_view data = line.substr(colon + 1);
    TStoredValue value;
    if (type == "dword") {
      value.Type = TRegValueType::Dword;
      value.Data = FromHex(data);
    } else if (type == "sz" || type == "expand_sz") {
      value.Type = TRegValueType::String;
      value.Data = Unescape(data);
      value.Expandable = type == "expand_sz";
    } else {
      value.Type = type == "binary" ? TRegValueType::Binary : TRegValueType::Other;
      value.Data = FromHex(data);
    }
    key.Values.emplace_back(Unescape(line.substr(0, eq)), std::move(value));
  }

  static void Parse(const std::string& content, THive& hive) {
    TKey* current = nullptr;
    std::size_t start = 0;
    while (start < content.size()) {
      std::size_t end = content.find('\n', start);
      if (end == std::string::npos) end = content.size();
      const std::string_view line(content.data() + start, end - start);
      start = end + 1;
      if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        const std::string path = Unescape(line.substr(1, line.size() - 2));
        current = &hive[AnsiLowerCase(path)];
        if (current->Path.empty()) current->Path = path;
      } else if (current) {
        ParseValue(line, *current);
      }
    }
  }

  std::string FPath;
  int FLock = -1;
  bool FUsable = false;
};

}  // namespace

struct TRegistryKey::TImpl {
  TRegHive Hive;
  std::string Path;
  std::string Lower;

  template <class F>
  void Change(const std::string& name, F&& change) {
    THiveFile file(Hive, true);
    if (!file.Usable()) throw ERegistryException("Cannot open registry hive for \"" + name + "\"");
    THive hive = file.Load();
    auto key = hive.find(Lower);
    if (key == hive.end()) throw ERegistryException("Registry key was deleted: " + Path);
    change(key->second);
    file.Save(hive);
  }

  void Write(const std::string& name, TRegValueType type, std::string data, bool expandable = false) {
    TStoredValue value;
    value.Type = type;
    value.Data = std::move(data);
    value.Expandable = expandable;
    Change(name, [&](TKey& key) {
      auto it = key.Find(name);
      if (it != key.Values.end())
        it->second = std::move(value);
      else
        key.Values.emplace_back(name, std::move(value));
    });
  }
};

TRegistryKey::TRegistryKey(std::unique_ptr<TImpl> impl) : FImpl(std::move(impl)) {}
TRegistryKey::~TRegistryKey() = default;

std::unique_ptr<TRegistryKey> TRegistryKey::Open(TRegHive hive, const std::string& path, bool create) {
  if (!ValidPath(path)) return nullptr;
  THiveFile file(hive, create);
  if (!file.Usable() || !file.Writable()) return nullptr;
  THive keys;
  try {
    keys = file.Load();
  } catch (const ERegistryException&) {
    return nullptr;
  }
  const std::string lower = AnsiLowerCase(path);
  if (!keys.contains(lower)) {
    if (!create) return nullptr;
    for (std::size_t pos = 0; pos != std::string::npos;) {
      pos = path.find('\\', pos + 1);
      const std::string part = path.substr(0, pos);
      TKey& key = keys[AnsiLowerCase(part)];
      if (key.Path.empty()) key.Path = part;
    }
    try {
      file.Save(keys);
    } catch (const ERegistryException&) {
      return nullptr;
    }
  }
  auto impl = std::make_unique<TImpl>(TImpl{hive, keys[lower].Path, lower});
  return std::unique_ptr<TRegistryKey>(new TRegistryKey(std::move(impl)));
}

std::optional<TRegValue> TRegistryKey::Read(const std::string& name) const {
  THiveFile file(FImpl->Hive, false);
  if (!file.Usable()) return std::nullopt;
  THive hive;
  try {
    hive = file.Load();
  } catch (const ERegistryException&) {
    return std::nullopt;  // reads never throw
  }
  auto key = hive.find(FImpl->Lower);
  if (key == hive.end()) return std::nullopt;
  auto it = key->second.Find(name);
  if (it == key->second.Values.end()) return std::nullopt;
  return static_cast<const TRegValue&>(it->second);
}

void TRegistryKey::WriteDword(const std::string& name, uint32_t value) {
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  FImpl->Write(name, TRegValueType::Dword, std::string(bytes, 4));
}

void TRegistryKey::WriteString(const std::string& name, const std::string& text) {
  if (text.find('\0') != std::string::npos)
    throw ERegistryException("Cannot write registry value \"" + name + "\": the text holds a NUL");
  FImpl->Write(name, TRegValueType::String, text);
}

void TRegistryKey::WriteExpandString(const std::string& name, const std::string& text) {
  if (text.find('\0') != std::string::npos)
    throw ERegistryException("Cannot write registry value \"" + name + "\": the text holds a NUL");
  FImpl->Write(name, TRegValueType::String, text, true);
}

void TRegistryKey::WriteBinary(const std::string& name, const std::string& bytes) {
  FImpl->Write(name, TRegValueType::Binary, bytes);
}

bool TRegistryKey::DeleteValue(const std::string& name) {
  bool found = false;
  try {
    FImpl->Change(name, [&](TKey& key) {
      auto it = key.Find(name);
      found = it != key.Values.end();
      if (found) key.Values.erase(it);
    });
  } catch (const ERegistryException&) {
    return false;
  }
  return found;
}

bool RegistryKeyExists(TRegHive hive, const std::string& path) {
  if (!ValidPath(path)) return false;
  THiveFile file(hive, false);
  try {
    return file.Usable() && file.Load().contains(AnsiLowerCase(path));
  } catch (const ERegistryException&) {
    return false;
  }
}

bool DeleteRegistryKeyTree(TRegHive hive, const std::string& path) {
  if (path.empty() || !ValidPath(path)) return false;
  THiveFile file(hive, true);
  if (!file.Usable()) throw ERegistryException("Cannot open registry hive for \"" + path + "\"");
  THive keys = file.Load();
  const std::string lower = AnsiLowerCase(path);
  if (!keys.contains(lower)) return false;
  std::erase_if(
      keys, [&](const auto& entry) { return entry.first == lower || entry.first.starts_with(lower + "\\"); });
  file.Save(keys);
  return true;
}

}  // namespace kelda::platform
