// A serial port for the tools (the bench poller and the PLC simulator program): a COM port
// through the Win32 serial API on Windows, a tty or pseudo-terminal through termios on POSIX.
// The plug-in itself never opens a port; its host does.
//
// One thread uses a port at a time, except Cancel, which any thread (or a Ctrl+C handler) may
// call to end a Read that is waiting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace kelda::platform {

enum class TParity : uint8_t { None, Odd, Even };

struct TSerialSettings {
  uint32_t BaudRate = 19200;
  uint8_t DataBits = 8;
  TParity Parity = TParity::Odd;  // GE's serial ports default to odd parity
  uint8_t StopBits = 1;           // 1 or 2
};

// Thrown by Open and by the operations when the system refuses; What() names the port, the
// operation and the system's reason (for example "COM7: open: The system cannot find the file
// specified.").
class ESerialPortError : public std::exception {
public:
  explicit ESerialPortError(std::string text) : FText(std::move(text)) {}
  const char* what() const noexcept override { return FText.c_str(); }
  bool NotFound = false;  // the port does not exist
  bool InUse = false;     // another program holds it
private:
  std::string FText;
};

class TSerialPort {
public:
  // Opens and configures a port: "COM3" (or "\\.\COM12") on Windows, a device path such as
  // "/dev/ttyUSB0" or "/dev/pts/5" on POSIX. Throws ESerialPortError.
  static std::unique_ptr<TSerialPort> Open(const std::string& name, const TSerialSettings& settings);

  virtual ~TSerialPort() = default;
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  const std::string& Name() const { return FName; }
  // Set when the device took the port open but kept some line settings of its own (a
  // pseudo-terminal opened before keeps its parity): what it kept, for the user; else empty.
  const std::string& SettingsNote() const { return FSettingsNote; }

  // Writes every byte before it returns. Throws ESerialPortError when the port fails (an
  // adapter pulled out). A driver that reports fewer bytes written than it sent while the
  // bytes did leave (seen with Wine on pseudo-terminals) is not taken for a failure: only an
  // error result is.
  virtual void Write(const void* data, std::size_t size) = 0;

  // Waits up to timeoutMs for bytes and returns what has arrived (at most size bytes), 0 when
  // nothing came in time or Cancel was called. Throws ESerialPortError when the port fails,
  // including a hang-up: the far end of a pseudo-terminal closed, a tty whose device went away.
  virtual std::size_t Read(void* buffer, std::size_t size, uint32_t timeoutMs) = 0;

  // Holds the line in the break state for ms milliseconds, then releases it. Returns false
  // where the line cannot carry a break (a pseudo-terminal), true once the break was sent.
  virtual bool Break(uint32_t ms) = 0;

  // Whether a break arrived from the other side since the last call (POSIX: a break reads as
  // a 0x00 marked by PARMRK; Windows: the EV_BREAK event). Lines that cannot carry one always
  // answer false.
  virtual bool TakeBreakReceived() = 0;

  // Ends a Read that is waiting, from any thread; later Reads return at once with 0. A Write
  // that waits for room in a full output queue (a pseudo-terminal nobody reads) stops too,
  // leaving the rest unsent; a COM port without flow control drains on its own and never waits.
  virtual void Cancel() = 0;

  void SetSettingsNote(std::string note) { FSettingsNote = std::move(note); }

protected:
  explicit TSerialPort(std::string name) : FName(std::move(name)) {}

private:
  std::string FName;
  std::string FSettingsNote;
};

// Two connected ends of a pseudo-terminal, for tests and for trying the tools without a cable:
// Controller is the driving end (open here); Name is the terminal end, which Open accepts.
// Whatever one end writes, the other reads. The terminal end carries no break. When the last
// opener of the terminal end closes it, the driving end's Read fails with ESerialPortError (the
// line is gone), as does the terminal end's Read when the driving end closes.
// Throws ESerialPortError where the system has no pseudo-terminals (Windows).
struct TPseudoTerminalPair {
  std::unique_ptr<TSerialPort> Controller;
  std::string Name;
};
TPseudoTerminalPair OpenPseudoTerminalPair();

}  // namespace kelda::platform
