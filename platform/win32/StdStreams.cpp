// Standard streams through their handles, beneath the C runtime's text mode.
#include "platform/StdStreams.h"

#include <windows.h>

namespace kelda::platform {

namespace {

// A pipe cannot be waited on: its content is looked at in short steps until the time is up.
constexpr DWORD kPipeStepMs = 5;

bool WaitForPipe(HANDLE input, uint32_t timeoutMs, bool& atEnd) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
      atEnd = true;  // the writer closed its end
      return false;
    }
    if (available > 0) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPipeStepMs);
  }
}

}  // namespace

std::size_t ReadStandardInput(void* buffer, std::size_t size, uint32_t timeoutMs, bool& atEnd) {
  atEnd = false;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) {
    atEnd = true;
    return 0;
  }
  DWORD toRead = static_cast<DWORD>(size);
  switch (GetFileType(input)) {
    case FILE_TYPE_PIPE: {
      if (!WaitForPipe(input, timeoutMs, atEnd)) return 0;
      DWORD available = 0;
      if (PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) && available < toRead)
        toRead = available;
      break;
    }
    case FILE_TYPE_CHAR:
      if (WaitForSingleObject(input, timeoutMs) != WAIT_OBJECT_0) return 0;
      break;
    default:  // a file: every read returns at once
      break;
  }
  DWORD got = 0;
  if (!ReadFile(input, buffer, toRead, &got, nullptr) || got == 0) {
    atEnd = true;
    return 0;
  }
  return got;
}

bool WriteStandardOutput(const void* data, std::size_t size) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(output, bytes, static_cast<DWORD>(size), &written, nullptr)) return false;
    if (written == 0) return true;  // no progress reported: repeating would never end
    bytes += written;
    size -= written;
  }
  return true;
}

}  // namespace kelda::platform
