// Modules (the library itself, the host program, other loaded libraries): file names, the
// file version, exported functions found by name, and the few process facts the framework
// needs (the host's command line, the common application-data folder).
//
// On Windows a module handle is an HMODULE; on POSIX it is a dlopen handle. Handle 0 always
// means "this library" where a function accepts it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Marks a function that another module finds by name: the library's entry points, and the
// callbacks a host program offers (a program on POSIX must also be linked with -rdynamic).
#ifdef _WIN32
#define KELDA_EXPORT extern "C" __declspec(dllexport)
#else
#define KELDA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace kelda::platform {

using ModuleHandle = uintptr_t;

// The library (or program) that contains this code.
ModuleHandle ThisModuleHandle();

// Full file name of a module; 0 stands for this library. Empty when the system cannot say.
std::string ModuleFileName(ModuleHandle module);

struct TFileVersion {
  uint16_t Major = 0, Minor = 0, Release = 0, Build = 0;
};

// The file version of a module (0: this library). A module without version information gives
// four zeros; nullopt when the version could not be read at all. On POSIX only this library
// has a version, the one it was built with.
std::optional<TFileVersion> ModuleFileVersion(ModuleHandle module);

// The program that started the process (the host).
ModuleHandle HostProgramHandle();
std::string HostProgramFileName();

// A module already loaded in the process, by its file name (with or without folder and, on
// Windows, extension); 0 when there is none. The host program is found by its own name too.
ModuleHandle FindLoadedModule(const std::string& name);

// The address of a function exported by a module, or nullptr.
void* FindExport(ModuleHandle module, const char* name);

// Loading a library by file name, as a host does; 0 on failure (LastModuleError says why).
ModuleHandle LoadModuleFile(const std::string& path);
void FreeModuleFile(ModuleHandle module);
std::string LastModuleError();

// The bytes of one of this library's own data resources (type RCDATA), found by name without
// regard to letter case; nullopt when the library has none of that name. On Windows they come
// from the module file; on POSIX they were compiled into the library from the same files.
std::optional<std::string> ModuleResource(const std::string& name);

// The arguments the host program was started with, without the program's own name.
std::vector<std::string> ProgramArguments();

// The system's folder for application data shared by all users, without a trailing
// delimiter; empty when the system cannot name it.
std::string CommonAppDataFolder();

// An environment variable; empty when unset.
std::string EnvironmentVariable(const std::string& name);

// The folder delimiter of file paths.
char PathDelimiter();

}  // namespace kelda::platform
