#include "platform/File.h"

#include <windows.h>

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

TFileWriter::TFileWriter(const std::string& path) : FHandle(nullptr), FPath(path) {
  // The system refuses to replace a read-only file, except where its emulation runs with rights
  // that ignore the attribute; the attribute is honoured here in any case.
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY) &&
      !(attr & FILE_ATTRIBUTE_DIRECTORY))
    throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(ERROR_ACCESS_DENIED));
  HANDLE h =
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw EFCreateError("Cannot create file \"" + path + "\". " + SystemErrorText(::GetLastError()));
  FHandle = h;
}

TFileWriter::~TFileWriter() {
  if (FHandle) ::CloseHandle(FHandle);
}

void TFileWriter::Write(const void* data, std::size_t count) {
  if (!FHandle) throw EInOutError("File is closed: " + FPath);
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    DWORD done = 0;
    if (!::WriteFile(FHandle, p, static_cast<DWORD>(count), &done, nullptr) || done == 0)
      throw EInOutError("Cannot write file \"" + FPath + "\". " + SystemErrorText(::GetLastError()));
    p += done;
    count -= done;
  }
}

void TFileWriter::Close() {
  if (!FHandle) return;
  HANDLE h = FHandle;
  FHandle = nullptr;
  ::CloseHandle(h);
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
