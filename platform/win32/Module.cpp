#include "platform/Module.h"

#include <windows.h>
// shlobj.h needs the types of windows.h first.
#include <shlobj.h>

#include <vector>

#include "platform/SystemError.h"

namespace kelda::platform {

static HMODULE AsModule(ModuleHandle module) {
  return reinterpret_cast<HMODULE>(module);
}

ModuleHandle ThisModuleHandle() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ThisModuleHandle), &module);
  return reinterpret_cast<ModuleHandle>(module);
}

static std::string FileNameOf(HMODULE module) {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = ::GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) return std::string(buffer.data(), length);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string ModuleFileName(ModuleHandle module) {
  return FileNameOf(AsModule(module ? module : ThisModuleHandle()));
}

std::optional<TFileVersion> ModuleFileVersion(ModuleHandle module) {
  std::string path = ModuleFileName(module);
  if (path.empty()) return std::nullopt;
  DWORD ignored = 0;
  DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
  if (size == 0) {
    DWORD error = ::GetLastError();
    if (error == ERROR_RESOURCE_DATA_NOT_FOUND || error == ERROR_RESOURCE_TYPE_NOT_FOUND ||
        error == ERROR_RESOURCE_NAME_NOT_FOUND || error == ERROR_RESOURCE_LANG_NOT_FOUND)
      return TFileVersion{};
    return std::nullopt;
  }
  std::vector<char> data(size);
  if (!::GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return std::nullopt;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (!::VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &infoSize) || !info)
    return TFileVersion{};
  TFileVersion version;
  version.Major = HIWORD(info->dwFileVersionMS);
  version.Minor = LOWORD(info->dwFileVersionMS);
  version.Release = HIWORD(info->dwFileVersionLS);
  version.Build = LOWORD(info->dwFileVersionLS);
  return version;
}

ModuleHandle HostProgramHandle() {
  return reinterpret_cast<ModuleHandle>(::GetModuleHandleA(nullptr));
}

std::string HostProgramFileName() {
  return FileNameOf(nullptr);
}

ModuleHandle FindLoadedModule(const std::string& name) {
  if (name.empty()) return 0;
  return reinterpret_cast<ModuleHandle>(::GetModuleHandleA(name.c_str()));
}

void* FindExport(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(AsModule(module), name));
}

static thread_local DWORD tLastLoadError = 0;

ModuleHandle LoadModuleFile(const std::string& path) {
  HMODULE module = ::LoadLibraryA(path.c_str());
  tLastLoadError = module ? 0 : ::GetLastError();
  return reinterpret_cast<ModuleHandle>(module);
}

void FreeModuleFile(ModuleHandle module) {
  if (module) ::FreeLibrary(AsModule(module));
}

std::string LastModuleError() {
  return SystemErrorText(tLastLoadError);
}

// The command line split as the C runtime splits it: blanks separate, double quotes group.
std::vector<std::string> ProgramArguments() {
  std::vector<std::string> arguments;
  const char* line = ::GetCommandLineA();
  std::string current;
  bool inQuotes = false, inArgument = false;
  for (const char* p = line; *p; ++p) {
    char c = *p;
    if (c == '"') {
      inQuotes = !inQuotes;
      inArgument = true;
    } else if ((c == ' ' || c == '\t') && !inQuotes) {
      if (inArgument) arguments.push_back(current);
      current.clear();
      inArgument = false;
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(current);
  if (!arguments.empty()) arguments.erase(arguments.begin());
  return arguments;
}

std::string CommonAppDataFolder() {
  char path[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path))) return {};
  return path;
}

std::string EnvironmentVariable(const std::string& name) {
  DWORD size = ::GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::string value(size, '\0');
  DWORD length = ::GetEnvironmentVariableA(name.c_str(), value.data(), size);
  value.resize(length < size ? length : 0);
  return value;
}

char PathDelimiter() {
  return '\\';
}

}  // namespace kelda::platform

namespace kelda::platform {

std::optional<std::string> ModuleResource(const std::string& name) {
  if (name.empty()) return std::nullopt;
  HMODULE module = AsModule(ThisModuleHandle());
  HRSRC found = ::FindResourceA(module, name.c_str(), MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (!found) return std::nullopt;
  HGLOBAL loaded = ::LoadResource(module, found);
  DWORD size = ::SizeofResource(module, found);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes) return size == 0 ? std::optional<std::string>(std::string()) : std::nullopt;
  return std::string(static_cast<const char*>(bytes), size);
}

}  // namespace kelda::platform
