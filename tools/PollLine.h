// The poller's line to the PLC: the built-in simulated PLC or a real serial port. The loop
// writes what the module asks for and hands what the line reads to the module; it does not
// care which line it is.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/SerialPort.h"
#include "tools/KeldaLine.h"
#include "tools/trace/FrameDecoder.h"

namespace kelda::host {

struct TPollOptions;

class TPollLine {
public:
  virtual ~TPollLine() = default;
  // Bytes for the PLC at now (ms). Throws platform::ESerialPortError when the port fails.
  virtual void Write(const std::string& bytes, uint64_t now) = 0;
  // What arrived by now, in the pieces the port handed over; empty when nothing did.
  virtual std::vector<std::string> Read(uint64_t now) = 0;
  // Holds a line break for ms; false when the line cannot carry one.
  virtual bool Break(uint32_t ms, uint64_t now) = 0;
  // Ends a read that waits (any thread); the simulated line never waits.
  virtual void Cancel() {}
  // How long until the line next has something for the loop (µs), where the line knows: the
  // timed line does, so the loop wakes when its next character arrives, not at its next
  // millisecond. UINT64_MAX when it does not know.
  virtual uint64_t UsUntilNextEvent() const { return UINT64_MAX; }
  virtual std::string Describe() const = 0;
  // What the line could not take as asked (a pseudo-terminal's own settings); empty when none.
  virtual std::string Note() const { return {}; }
};

// The built-in simulated PLC, its memory preset so that a person recognises the values.
class TSimulatedPollLine : public TPollLine {
public:
  explicit TSimulatedPollLine(const TPollOptions& options);
  void Write(const std::string& bytes, uint64_t now) override { FLine.Write(bytes, now); }
  std::vector<std::string> Read(uint64_t now) override { return FLine.Read(now); }
  bool Break(uint32_t ms, uint64_t now) override;
  std::string Describe() const override { return FDescription; }
  plcsim::Simulator& Plc() { return FLine.Plc(); }

private:
  TSimulatedLine FLine;
  std::string FDescription;
};

// Word n (0-based) of %R, %AI and %AQ holds n + 1, so that %R1 reads 1, %R100 reads 100.
void PresetMemory(plcsim::Simulator& plc);
// The simulated PLC as the options make it: faults, text buffer size, LRC rule, memory. Throws
// std::invalid_argument for a fault value and plcsim::MemoryFileError for a memory file.
void SetUpSimulatedPlc(plcsim::Simulator& plc, const TPollOptions& options);
std::string SimulatedPlcName(const TPollOptions& options);
std::string SimulatedPlcSnpId(const TPollOptions& options);
uint8_t SimulatedPlcCcmId(const TPollOptions& options);

// A serial port opened with the options' settings; throws platform::ESerialPortError.
class TSerialPollLine : public TPollLine {
public:
  explicit TSerialPollLine(const TPollOptions& options);
  void Write(const std::string& bytes, uint64_t now) override;
  std::vector<std::string> Read(uint64_t now) override;
  bool Break(uint32_t ms, uint64_t now) override { return FPort->Break(ms); }
  void Cancel() override { FPort->Cancel(); }
  std::string Describe() const override { return FDescription; }
  std::string Note() const override { return FPort->SettingsNote(); }

private:
  std::unique_ptr<platform::TSerialPort> FPort;
  std::string FDescription;
};

// The line Ctrl+C cancels, so that a write or read that waits on it ends. On Windows the
// console's handler runs in a thread of its own, on POSIX in a signal handler of any thread,
// where no lock may be taken: the line is withdrawn first, and freed only once no cancel that
// may have read it is still under way.
class TInterruptibleLine {
public:
  void Set(TPollLine* line) {
    FLine.store(line);
    while (FCancelling.load() != 0) std::this_thread::yield();
  }
  // From the interrupt handler.
  void Cancel() {
    FCancelling.fetch_add(1);
    if (TPollLine* line = FLine.load()) line->Cancel();
    FCancelling.fetch_sub(1);
  }

private:
  std::atomic<TPollLine*> FLine{nullptr};
  std::atomic<int> FCancelling{0};
};

// The wire trace's name for a simulated PLC's protocol.
trace::TProtocol TraceProtocolOf(plcsim::Mode protocol);

std::unique_ptr<TPollLine> OpenPollLine(const TPollOptions& options);

}  // namespace kelda::host
