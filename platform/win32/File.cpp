#include "platform/File.h"

#include <windows.h>

#include <atomic>

#include "platform/Exceptions.h"
#include "platform/SystemError.h"

namespace kelda::platform {

bool FileExists(const std::string& path) {
  DWORD attr = ::GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// The system's final name of an existing file or folder: links followed, its own letter case,
// without the "\\?\" prefix. Empty when it cannot be opened or its name is not ANSI text.
std::string FinalNameOf(const std::string& fullPath) {
  HANDLE h = ::CreateFileA(fullPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  std::string name(MAX_PATH, '\0');
  DWORD length =
      ::GetFinalPathNameByHandleA(h, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
  if (length >= name.size()) {
    name.resize(length + 1);
    length =
        ::GetFinalPathNameByHandleA(h, name.data(), static_cast<DWORD>(name.size()), FILE_NAME_NORMALIZED);
  }
  ::CloseHandle(h);
  if (length == 0 || length >= name.size()) return {};
  name.resize(length);
  if (name.find('?', 4) != std::string::npos) return {};  // a character the code page lacks
  if (name.rfind("\\\\?\\UNC\\", 0) == 0) return "\\" + name.substr(7);
  if (name.rfind("\\\\?\\", 0) == 0) return name.substr(4);
  return name;
}

std::string FullPathName(const std::string& path) {
  const DWORD needed = ::GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::string full(needed, '\0');
  const DWORD length = ::GetFullPathNameA(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return {};
  full.resize(length);
  return full;
}

}  // namespace

std::string FinalPath(const std::string& path) {
  if (path.empty()) return path;
  const std::string full = FullPathName(path);
  if (full.empty()) return path;
  // The longest part that exists gets the system's final name; the rest stays as written.
  std::string head = full;
  std::string rest;
  for (int depth = 0; depth < 4096; ++depth) {
    if (std::string name = FinalNameOf(head); !name.empty()) {
      if (!rest.empty() && name.back() != '\\') name += '\\';
      return name + rest;
    }
    const std::size_t slash = head.find_last_of("\\/");
    if (slash == std::string::npos || slash + 1 >= head.size()) return full;
    rest = rest.empty() ? head.substr(slash + 1) : head.substr(slash + 1) + "\\" + rest;
    head.erase(slash == 2 && head[1] == ':' ? 3 : slash);  // "C:\" keeps its backslash
  }
  return full;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    throw EInOutError("Cannot read file \"" + path + "\". " + SystemErrorText(error));
  }
  std::string data;
  char buf[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ::ReadFile(h, buf, sizeof buf, &got, nullptr) != FALSE) && got > 0) data.append(buf, got);
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) throw EInOutError("Cannot read file \"" + path + "\". " + SystemErrorText(error));
  return data;
}

namespace {

std::atomic<std::size_t> gWriteLimit{NoFileWriteLimit};
std::atomic<bool> gReplaceRefused{false};

bool NameTaken(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// The attributes a user sets on a file; the archive bit is the system's note that the file
// changed and stays as the replacement left it.
constexpr DWORD kUserAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The full name of a path; the path itself when the system cannot form one.
std::string FullPath(const std::string& path) {
  char buffer[MAX_PATH];
  const DWORD length = ::GetFullPathNameA(path.c_str(), MAX_PATH, buffer, nullptr);
  return length > 0 && length < MAX_PATH ? std::string(buffer, length) : path;
}

void KeepUserAttributes(const char* path, DWORD old) {
  if (!old) return;  // the file was made while this writer ran: nothing of it is known
  const DWORD now = ::GetFileAttributesA(path);
  if (now == INVALID_FILE_ATTRIBUTES || (now & kUserAttributes) == (old & kUserAttributes)) return;
  ::SetFileAttributesA(path, (now & ~kUserAttributes) | (old & kUserAttributes));
}

}  // namespace

void SetFileWriteLimit(std::size_t bytes) {
  gWriteLimit = bytes;
}

void SetReplaceFileRefused(bool refused) {
  gReplaceRefused = refused;
}

std::string TemporaryFileName(const std::string& path, unsigned attempt) {
  return TemporaryFileNameFor(path, ::GetCurrentProcessId(), attempt);
}

namespace {

// Where a writer of `path` puts its bytes: the file a link points to, so that the link stays.
std::string WriteTarget(const std::string& path) {
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY) ||
      !(attr & FILE_ATTRIBUTE_REPARSE_POINT))
    return path;
  const std::string full = FullPathName(path);
  const std::string target = full.empty() ? std::string() : FinalNameOf(full);
  return target.empty() ? path : target;
}

}  // namespace

TFileWriter::TFileWriter(const std::string& path) : FHandle(nullptr), FPath(WriteTarget(path)) {
  auto fail = [&](DWORD error) {
    Discard();
    throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(error));
  };
  // The system refuses to replace a read-only file, except where its emulation runs with rights
  // that ignore the attribute; the attribute is honoured here in any case.
  const DWORD attr = ::GetFileAttributesA(FPath.c_str());
  const bool existed = attr != INVALID_FILE_ATTRIBUTES;
  if (existed && (attr & FILE_ATTRIBUTE_DIRECTORY)) fail(ERROR_ACCESS_DENIED);
  if (existed && (attr & FILE_ATTRIBUTE_READONLY)) fail(ERROR_ACCESS_DENIED);
  if (existed) {
    FAttributes = attr;
    // The old file stays open without sharing until it is replaced, so readers see it whole or
    // not at all.
    HANDLE lock =
        ::CreateFileA(FPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lock == INVALID_HANDLE_VALUE) fail(::GetLastError());
    FTargetLock = lock;
  }
  // A name nobody uses: a file that merely carries one of these names is someone else's and
  // is neither truncated nor removed.
  for (unsigned attempt = 0; !FHandle && attempt < kTemporaryNameAttempts; ++attempt) {
    const std::string name = TemporaryFileName(FPath, attempt);
    HANDLE h =
        ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      FTemporaryPath = name;
      FHandle = h;
    } else if (const DWORD error = ::GetLastError(); !NameTaken(error)) {
      fail(error);
    }
  }
  if (!FHandle) fail(ERROR_FILE_EXISTS);
}

TFileWriter::~TFileWriter() {
  Discard();
}

void TFileWriter::Discard() {
  if (FHandle) {
    ::CloseHandle(FHandle);
    FHandle = nullptr;
    ::DeleteFileA(FTemporaryPath.c_str());
  }
  if (FTargetLock) {
    ::CloseHandle(FTargetLock);
    FTargetLock = nullptr;
  }
}

void TFileWriter::Write(const void* data, std::size_t count) {
  if (!FHandle) throw EInOutError("File is closed: " + FPath);
  auto fail = [&](DWORD error) {
    Discard();
    throw EInOutError("Cannot write file \"" + FPath + "\". " + SystemErrorText(error));
  };
  const std::size_t limit = gWriteLimit;
  if (count > limit || FWritten > limit - count) fail(ERROR_DISK_FULL);
  const char* p = static_cast<const char*>(data);
  std::size_t left = count;
  while (left > 0) {
    DWORD done = 0;
    if (!::WriteFile(FHandle, p, static_cast<DWORD>(left), &done, nullptr)) fail(::GetLastError());
    if (done == 0) fail(ERROR_DISK_FULL);
    p += done;
    left -= done;
  }
  FWritten += count;
}

void TFileWriter::Close() {
  if (!FHandle) throw EInOutError("File is closed: " + FPath);
  DWORD error = ERROR_SUCCESS;
  if (!::FlushFileBuffers(FHandle)) error = ::GetLastError();
  // The old file and the new one must both be closed before one replaces the other.
  ::CloseHandle(FHandle);
  FHandle = nullptr;
  if (FTargetLock) {
    ::CloseHandle(FTargetLock);
    FTargetLock = nullptr;
  }
  if (error != ERROR_SUCCESS) {
    ::DeleteFileA(FTemporaryPath.c_str());
    throw EInOutError("Cannot write file \"" + FPath + "\". " + SystemErrorText(error));
  }
  Replace();
}

void TFileWriter::Replace() {
  auto fail = [&](DWORD error) {
    ::DeleteFileA(FTemporaryPath.c_str());
    throw EInOutError("Cannot write file \"" + FPath + "\". " + SystemErrorText(error));
  };
  const char* target = FPath.c_str();
  const char* temporary = FTemporaryPath.c_str();
  auto move = [&] {
    if (!::MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      fail(::GetLastError());
  };
  // A file that is not there (a first save, or removed meanwhile) has nothing to keep.
  if (::GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES) return move();

  // Full names: some implementations look for the folder in the name and refuse a bare one.
  DWORD error = ERROR_NOT_SUPPORTED;
  if (!gReplaceRefused && ::ReplaceFileA(FullPath(FPath).c_str(), FullPath(FTemporaryPath).c_str(), nullptr,
                                         0, nullptr, nullptr)) {
    // Some emulations of the call keep the security but not every attribute.
    KeepUserAttributes(target, FAttributes);
    return;
  }
  if (!gReplaceRefused) error = ::GetLastError();
  switch (error) {
    case ERROR_UNABLE_TO_REMOVE_REPLACED:
      // The old file is in use or protected: it stays as it is and the save fails.
      return fail(error);
    case ERROR_FILE_NOT_FOUND:
      // Removed between the look and the replacement.
      return move();
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
      // The old file is gone already and the new content still under its temporary name.
      move();
      KeepUserAttributes(target, FAttributes);
      FNote = "the file's security settings may not have been kept (" + SystemErrorText(error) + ")";
      return;
    default:
      break;
  }
  // The file system cannot replace a file with its attributes and security: a plain move,
  // the attributes set again by hand.
  move();
  KeepUserAttributes(target, FAttributes);
  FNote = "the file's security settings were not kept: it could not be replaced in place (" +
          SystemErrorText(error) + ")";
}

bool DeleteFileAt(const std::string& path) {
  return ::DeleteFileA(path.c_str()) != FALSE;
}

std::optional<uint32_t> FileMode(const std::string& path) {
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return attr;
}

bool SetFileMode(const std::string& path, uint32_t mode) {
  return ::SetFileAttributesA(path.c_str(), mode) != FALSE;
}

bool SetFileReadOnly(const std::string& path, bool readOnly) {
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD wanted = readOnly ? (attr | FILE_ATTRIBUTE_READONLY) : (attr & ~DWORD(FILE_ATTRIBUTE_READONLY));
  return ::SetFileAttributesA(path.c_str(), wanted) != FALSE;
}

}  // namespace kelda::platform
