#include "platform/Registry.h"

#include <windows.h>

#include <vector>

#include "platform/SystemError.h"

namespace kelda::platform {

namespace {

constexpr std::size_t MaxKeyNameLength = 255;

HKEY HiveHandle(TRegHive hive) {
  switch (hive) {
    case TRegHive::ClassesRoot:
      return HKEY_CLASSES_ROOT;
    case TRegHive::CurrentUser:
      return HKEY_CURRENT_USER;
    case TRegHive::LocalMachine:
      return HKEY_LOCAL_MACHINE;
    case TRegHive::Users:
      return HKEY_USERS;
    case TRegHive::CurrentConfig:
      return HKEY_CURRENT_CONFIG;
  }
  return nullptr;
}

// The system treats some malformed paths leniently and others not; both backends refuse the
// same ones so that a path behaves alike everywhere.
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

[[noreturn]] void Fail(const char* what, const std::string& name, LONG code) {
  throw ERegistryException(std::string(what) + " \"" + name +
                           "\": " + SystemErrorText(static_cast<DWORD>(code)));
}

}  // namespace

struct TRegistryKey::TImpl {
  HKEY Handle = nullptr;
  ~TImpl() {
    if (Handle) ::RegCloseKey(Handle);
  }
};

TRegistryKey::TRegistryKey(std::unique_ptr<TImpl> impl) : FImpl(std::move(impl)) {}
TRegistryKey::~TRegistryKey() = default;

std::unique_ptr<TRegistryKey> TRegistryKey::Open(TRegHive hive, const std::string& path, bool create) {
  HKEY root = HiveHandle(hive);
  if (!root || !ValidPath(path)) return nullptr;
  auto impl = std::make_unique<TImpl>();
  LONG rc;
  if (create)
    rc = ::RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           &impl->Handle, nullptr);
  else
    rc = ::RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &impl->Handle);
  if (rc != ERROR_SUCCESS) {
    impl->Handle = nullptr;
    return nullptr;
  }
  return std::unique_ptr<TRegistryKey>(new TRegistryKey(std::move(impl)));
}

std::optional<TRegValue> TRegistryKey::Read(const std::string& name) const {
  DWORD type = 0;
  DWORD size = 0;
  if (::RegQueryValueExA(FImpl->Handle, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return std::nullopt;
  // The value may change between the two calls; ask again with the size then reported.
  std::vector<BYTE> data;
  LONG rc;
  do {
    data.resize(size + 2);
    size = static_cast<DWORD>(data.size());
    rc = ::RegQueryValueExA(FImpl->Handle, name.c_str(), nullptr, &type, data.data(), &size);
  } while (rc == ERROR_MORE_DATA);
  if (rc != ERROR_SUCCESS) return std::nullopt;
  TRegValue value;
  value.Data.assign(reinterpret_cast<const char*>(data.data()), size);
  switch (type) {
    case REG_DWORD:
      value.Type = TRegValueType::Dword;
      break;
    case REG_SZ:
    case REG_EXPAND_SZ:  // read as written: the references are the user's to keep
      value.Type = TRegValueType::String;
      // Stored texts usually carry their NUL, but need not; the text ends at the first one.
      if (const auto nul = value.Data.find('\0'); nul != std::string::npos) value.Data.resize(nul);
      break;
    case REG_BINARY:
      value.Type = TRegValueType::Binary;
      break;
    default:
      value.Type = TRegValueType::Other;
      break;
  }
  return value;
}

void TRegistryKey::WriteDword(const std::string& name, uint32_t value) {
  const BYTE bytes[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                         static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
  const LONG rc = ::RegSetValueExA(FImpl->Handle, name.c_str(), 0, REG_DWORD, bytes, sizeof bytes);
  if (rc != ERROR_SUCCESS) Fail("Cannot write registry value", name, rc);
}

void TRegistryKey::WriteString(const std::string& name, const std::string& text) {
  if (text.find('\0') != std::string::npos)
    throw ERegistryException("Cannot write registry value \"" + name + "\": the text holds a NUL");
  const LONG rc =
      ::RegSetValueExA(FImpl->Handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
  if (rc != ERROR_SUCCESS) Fail("Cannot write registry value", name, rc);
}

void TRegistryKey::WriteExpandString(const std::string& name, const std::string& text) {
  if (text.find('\0') != std::string::npos)
    throw ERegistryException("Cannot write registry value \"" + name + "\": the text holds a NUL");
  const LONG rc =
      ::RegSetValueExA(FImpl->Handle, name.c_str(), 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>(text.size() + 1));
  if (rc != ERROR_SUCCESS) Fail("Cannot write registry value", name, rc);
}

void TRegistryKey::WriteBinary(const std::string& name, const std::string& bytes) {
  const LONG rc =
      ::RegSetValueExA(FImpl->Handle, name.c_str(), 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
  if (rc != ERROR_SUCCESS) Fail("Cannot write registry value", name, rc);
}

bool TRegistryKey::DeleteValue(const std::string& name) {
  return ::RegDeleteValueA(FImpl->Handle, name.c_str()) == ERROR_SUCCESS;
}

bool RegistryKeyExists(TRegHive hive, const std::string& path) {
  HKEY root = HiveHandle(hive);
  if (!root || !ValidPath(path)) return false;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

namespace {

// Subkeys first: a key with subkeys cannot be deleted. Names are collected before deleting so
// the enumeration does not run over a changing list.
LONG DeleteTree(HKEY parent, const std::string& name) {
  HKEY key = nullptr;
  LONG rc = ::RegOpenKeyExA(parent, name.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<std::string> children;
  char buffer[MaxKeyNameLength + 1];
  for (DWORD i = 0;; ++i) {
    DWORD length = sizeof buffer;
    if (::RegEnumKeyExA(key, i, buffer, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    children.emplace_back(buffer, length);
  }
  for (const std::string& child : children) DeleteTree(key, child);
  ::RegCloseKey(key);
  return ::RegDeleteKeyA(parent, name.c_str());
}

}  // namespace

bool DeleteRegistryKeyTree(TRegHive hive, const std::string& path) {
  HKEY root = HiveHandle(hive);
  if (!root || path.empty() || !ValidPath(path)) return false;
  const LONG rc = DeleteTree(root, path);
  if (rc == ERROR_FILE_NOT_FOUND) return false;
  if (rc != ERROR_SUCCESS) Fail("Cannot delete registry key", path, rc);
  return true;
}

}  // namespace kelda::platform
