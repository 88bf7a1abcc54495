// COM ports through the Win32 serial API. Reads wait in short slices (the port's read time-out)
// so that Cancel, a flag, ends a waiting Read within one slice without overlapped I/O.
#include "platform/SerialPort.h"

#include <windows.h>

#include <atomic>

#include "platform/SystemError.h"

namespace kelda::platform {

namespace {

// One wait of a Read: short enough that Cancel is noticed at once by a person.
constexpr DWORD kReadSliceMs = 20;

ESerialPortError Failure(const std::string& name, const std::string& operation, DWORD error) {
  return ESerialPortError(name + ": " + operation + ": " + SystemErrorText(error));
}

// "COM3" -> "\\.\COM3", the form that also reaches COM10 and above; a full name stays.
std::string DevicePath(const std::string& name) {
  if (name.rfind("\\\\.\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

// "8O1 at 19200 baud".
std::string Shape(const DCB& dcb) {
  const char parity = dcb.Parity == ODDPARITY ? 'O' : dcb.Parity == EVENPARITY ? 'E' : 'N';
  const char* stop = dcb.StopBits == TWOSTOPBITS ? "2" : dcb.StopBits == ONE5STOPBITS ? "1.5" : "1";
  return std::to_string(dcb.ByteSize) + parity + stop + " at " + std::to_string(dcb.BaudRate) + " baud";
}

class TWin32SerialPort : public TSerialPort {
public:
  TWin32SerialPort(std::string name, HANDLE handle) : TSerialPort(std::move(name)), FHandle(handle) {}
  ~TWin32SerialPort() override { CloseHandle(FHandle); }

  void Configure(const TSerialSettings& settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(FHandle, &dcb)) throw Failure(Name(), "configure", GetLastError());
    const DCB before = dcb;
    dcb.BaudRate = settings.BaudRate;
    dcb.ByteSize = settings.DataBits;
    dcb.fBinary = TRUE;
    dcb.fParity = settings.Parity != TParity::None;
    dcb.Parity = settings.Parity == TParity::Odd    ? ODDPARITY
                 : settings.Parity == TParity::Even ? EVENPARITY
                                                    : NOPARITY;
    if (settings.StopBits != 1 && settings.StopBits != 2)
      throw ESerialPortError(Name() + ": configure: " + std::to_string(settings.StopBits) +
                             " stop bits are not possible; use 1 or 2");
    dcb.StopBits = settings.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    // No flow control of any kind: GE's ports use none, and RTS/DTR stay on for adapters that
    // draw power from them.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(FHandle, &dcb)) {
      const DWORD error = GetLastError();
      // A device that refuses the character shape or speed (Wine on a pseudo-terminal opened
      // before) still runs with its own: the rest is applied and what it kept is told.
      DCB kept = dcb;
      kept.BaudRate = before.BaudRate;
      kept.ByteSize = before.ByteSize;
      kept.fParity = before.fParity;
      kept.Parity = before.Parity;
      kept.StopBits = before.StopBits;
      if (!SetCommState(FHandle, &kept))
        throw ESerialPortError(Name() + ": configure (" + std::to_string(settings.BaudRate) +
                               " baud): " + SystemErrorText(error) + "; check the line settings");
      SetSettingsNote(Name() + ": the device keeps its own line settings (" + Shape(kept) + " instead of " +
                      Shape(dcb) +
                      " asked for); a pseudo-terminal passes the bytes unchanged either way, "
                      "a real line needs the PLC's port set to them");
    }
    SetSlice(kReadSliceMs);
    PurgeComm(FHandle, PURGE_RXCLEAR | PURGE_TXCLEAR);
  }

  void Write(const void* data, std::size_t size) override {
    if (size == 0) return;
    DWORD written = 0;
    // Only a failed call is a failure: Wine reports 0 bytes written on a pseudo-terminal
    // although every byte left, and without a write time-out the call returns once all are sent.
    if (!WriteFile(FHandle, data, static_cast<DWORD>(size), &written, nullptr))
      throw Failure(Name(), "write", GetLastError());
  }

  std::size_t Read(void* buffer, std::size_t size, uint32_t timeoutMs) override {
    if (size == 0) return 0;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
      if (FCancelled) return 0;
      const ULONGLONG now = GetTickCount64();
      const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
      SetSlice(left < kReadSliceMs ? left : kReadSliceMs);
      DWORD got = 0;
      if (!ReadFile(FHandle, buffer, static_cast<DWORD>(size), &got, nullptr))
        throw Failure(Name(), "read", GetLastError());
      NoteErrors();
      if (got > 0) return got;
      if (left == 0) return 0;
    }
  }

  bool Break(uint32_t ms) override {
    if (!SetCommBreak(FHandle)) return false;
    Sleep(ms);
    if (!ClearCommBreak(FHandle)) throw Failure(Name(), "break", GetLastError());
    return true;
  }

  bool TakeBreakReceived() override {
    NoteErrors();
    return FBreakReceived.exchange(false);
  }

  void Cancel() override { FCancelled = true; }

private:
  // Read time-outs: wait up to sliceMs for the first byte, then return what has arrived.
  // A slice of 0 returns at once.
  void SetSlice(DWORD sliceMs) {
    if (sliceMs == FSliceMs) return;
    COMMTIMEOUTS t{};
    if (sliceMs == 0) {
      t.ReadIntervalTimeout = MAXDWORD;
    } else {
      t.ReadIntervalTimeout = MAXDWORD;
      t.ReadTotalTimeoutMultiplier = MAXDWORD;
      t.ReadTotalTimeoutConstant = sliceMs;
    }
    if (!SetCommTimeouts(FHandle, &t)) throw Failure(Name(), "configure", GetLastError());
    FSliceMs = sliceMs;
  }

  // Line errors are cleared here so the port keeps working; a break is kept for the caller.
  void NoteErrors() {
    DWORD errors = 0;
    if (ClearCommError(FHandle, &errors, nullptr) && (errors & CE_BREAK)) FBreakReceived = true;
  }

  HANDLE FHandle;
  DWORD FSliceMs = MAXDWORD;
  std::atomic<bool> FCancelled{false};
  std::atomic<bool> FBreakReceived{false};
};

}  // namespace

std::unique_ptr<TSerialPort> TSerialPort::Open(const std::string& name, const TSerialSettings& settings) {
  const HANDLE handle = CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      ESerialPortError e(name + ": open: no such port; check the COM number in Device Manager");
      e.NotFound = true;
      throw e;
    }
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      ESerialPortError e(name + ": open: in use by another program; close it and try again");
      e.InUse = true;
      throw e;
    }
    throw Failure(name, "open", error);
  }
  auto port = std::make_unique<TWin32SerialPort>(name, handle);
  port->Configure(settings);
  return port;
}

TPseudoTerminalPair OpenPseudoTerminalPair() {
  throw ESerialPortError("pseudo-terminal: open: Windows has none; use a COM port pair such as com0com");
}

}  // namespace kelda::platform
