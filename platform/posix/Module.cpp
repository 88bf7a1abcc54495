#include "platform/Module.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace kelda::platform {

// A full path for a file name the loader may know only as it was given (relative).
static std::string FullPath(const char* path) {
  char* full = ::realpath(path, nullptr);
  if (!full) return path;
  std::string result(full);
  std::free(full);
  return result;
}

// The file that holds this code, as the dynamic loader knows it.
static std::string ThisFileName() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&ThisFileName), &info) || !info.dli_fname) return {};
  return info.dli_fname;
}

static std::string ProgramFileName() {
  char buffer[4096];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

static std::string BaseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ModuleHandle ThisModuleHandle() {
  std::string file = ThisFileName();
  void* handle = ::dlopen(file == ProgramFileName() ? nullptr : file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);  // the library stays loaded; the handle stays valid meanwhile
  return reinterpret_cast<ModuleHandle>(handle);
}

std::string ModuleFileName(ModuleHandle module) {
  if (!module) {
    std::string file = ThisFileName();
    return file.find('/') == std::string::npos ? ProgramFileName() : FullPath(file.c_str());
  }
  if (module == HostProgramHandle()) return ProgramFileName();
  struct link_map* map = nullptr;
  if (::dlinfo(reinterpret_cast<void*>(module), RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
    return {};
  return FullPath(map->l_name);
}

std::optional<TFileVersion> ModuleFileVersion(ModuleHandle module) {
  if (module && module != ThisModuleHandle()) return TFileVersion{};
  TFileVersion version;
  version.Major = KELDA_VERSION_MAJOR;
  version.Minor = KELDA_VERSION_MINOR;
  version.Release = KELDA_VERSION_PATCH;
  version.Build = KELDA_VERSION_TWEAK;
  return version;
}

ModuleHandle HostProgramHandle() {
  static void* const program = ::dlopen(nullptr, RTLD_NOW);
  return reinterpret_cast<ModuleHandle>(program);
}

std::string HostProgramFileName() {
  return ProgramFileName();
}

ModuleHandle FindLoadedModule(const std::string& name) {
  if (name.empty()) return 0;
  std::string program = ProgramFileName();
  if (name == program || name == BaseName(program)) return HostProgramHandle();
  void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle) ::dlclose(handle);
  return reinterpret_cast<ModuleHandle>(handle);
}

void* FindExport(ModuleHandle module, const char* name) {
  if (!module || !name) return nullptr;
  return ::dlsym(reinterpret_cast<void*>(module), name);
}

static thread_local std::string tLastLoadError;

ModuleHandle LoadModuleFile(const std::string& path) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  const char* error = handle ? nullptr : ::dlerror();
  tLastLoadError = error ? error : "";
  return reinterpret_cast<ModuleHandle>(handle);
}

void FreeModuleFile(ModuleHandle module) {
  if (module) ::dlclose(reinterpret_cast<void*>(module));
}

std::string LastModuleError() {
  return tLastLoadError;
}

std::vector<std::string> ProgramArguments() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  std::string current;
  for (char c : all) {
    if (c == '\0') {
      arguments.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!arguments.empty()) arguments.erase(arguments.begin());
  return arguments;
}

// There is no system-wide folder for shared application data; an installation names one.
std::string CommonAppDataFolder() {
  std::string folder = EnvironmentVariable("KELDA_COMMON_APPDATA");
  return folder.empty() ? std::string("/var/lib") : folder;
}

std::string EnvironmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

char PathDelimiter() {
  return '/';
}

}  // namespace kelda::platform

#include <strings.h>

#include "platform/posix/EmbeddedResources.h"

namespace kelda::platform {

std::optional<std::string> ModuleResource(const std::string& name) {
  for (std::size_t i = 0; i < kEmbeddedResourceCount; ++i) {
    const TEmbeddedResource& resource = kEmbeddedResources[i];
    if (resource.Name && ::strcasecmp(resource.Name, name.c_str()) == 0)
      return std::string(reinterpret_cast<const char*>(resource.Data), resource.Size);
  }
  return std::nullopt;
}

}  // namespace kelda::platform
