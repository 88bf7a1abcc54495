#include "platform/File.h"

#include <windows.h>

#include <atomic>

#include "Common/Exceptions.h"
#include "platform/SystemError.h"

namespace kelda::platform {

bool FileExists(const std::string& path) {
  DWORD attr = ::GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
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

}  // namespace

void SetFileWriteLimit(std::size_t bytes) {
  gWriteLimit = bytes;
}

TFileWriter::TFileWriter(const std::string& path)
    : FHandle(nullptr), FPath(path), FTemporaryPath(path + ".tmp") {
  auto fail = [&](DWORD error) {
    Discard();
    throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(error));
  };
  // The system refuses to replace a read-only file, except where its emulation runs with rights
  // that ignore the attribute; the attribute is honoured here in any case.
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  const bool existed = attr != INVALID_FILE_ATTRIBUTES;
  if (existed && (attr & FILE_ATTRIBUTE_DIRECTORY)) fail(ERROR_ACCESS_DENIED);
  if (existed && (attr & FILE_ATTRIBUTE_READONLY)) fail(ERROR_ACCESS_DENIED);
  if (existed) {
    // The old file stays open without sharing until it is replaced, so readers see it whole or
    // not at all.
    HANDLE lock =
        ::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (lock == INVALID_HANDLE_VALUE) fail(::GetLastError());
    FTargetLock = lock;
  }
  HANDLE h = ::CreateFileA(FTemporaryPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) fail(::GetLastError());
  FHandle = h;
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
  if (error == ERROR_SUCCESS && !::MoveFileExA(FTemporaryPath.c_str(), FPath.c_str(),
                                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = ::GetLastError();
  if (error != ERROR_SUCCESS) {
    ::DeleteFileA(FTemporaryPath.c_str());
    throw EInOutError("Cannot write file \"" + FPath + "\". " + SystemErrorText(error));
  }
}

bool DeleteFileAt(const std::string& path) {
  return ::DeleteFileA(path.c_str()) != FALSE;
}

bool SetFileReadOnly(const std::string& path, bool readOnly) {
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD wanted = readOnly ? (attr | FILE_ATTRIBUTE_READONLY) : (attr & ~DWORD(FILE_ATTRIBUTE_READONLY));
  return ::SetFileAttributesA(path.c_str(), wanted) != FALSE;
}

}  // namespace kelda::platform
