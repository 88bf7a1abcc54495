// kelda-plcsim's running part: the simulator answering on a line (a serial port, a TCP client or
// the standard streams), polled with short waits on a clock of milliseconds since the start.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "tools/plcsim/PlcSim.h"
#include "tools/plcsim/SimOptions.h"
#include "tools/plcsim/WireTime.h"

namespace kelda::platform {
class TSerialPort;
}

namespace kelda::plcsim {

// A line the simulator answers on.
class SimLink {
public:
  virtual ~SimLink() = default;
  // Waits up to timeoutMs and returns the bytes that arrived; 0 on a time-out or once the other
  // side has gone (then closed() is true). Throws std::exception when the line fails.
  virtual size_t read(uint8_t* buffer, size_t size, uint32_t timeoutMs) = 0;
  virtual bool closed() const = 0;
  // Sends every byte; throws std::exception when the line fails or the other side has gone.
  virtual void write(const uint8_t* data, size_t size) = 0;
  // Whether a line break arrived since the last call.
  virtual bool takeBreak() { return false; }
};

// A serial port as a line; the port stays the caller's.
std::unique_ptr<SimLink> SerialLink(platform::TSerialPort& port);

enum class ServeEnd { Stopped, LineClosed };

// Answers on `link` until `stop` becomes true or the line closes. `log`, when given, receives
// each event of the simulator with its time since `startMs` ("[   1.234] x-attach").
// Failures of the line propagate as exceptions. With `pace`, the line is timed at that format:
// the master's bytes reach the PLC and the answers leave at the wire's rate, GE's gaps kept.
ServeEnd Serve(Simulator& sim, SimLink& link, const std::atomic<bool>& stop, uint64_t startMs,
               std::ostream* log, const LineFormat* pace = nullptr);

// The whole program after its command line: loads the memory, serves on the chosen transport
// until `stop` or the end of the line, saves the memory. Messages go to `err`. Returns the exit
// status: 0 after a normal end, 1 when the run failed (also after saving).
int RunSimulator(const SimOptions& options, const std::atomic<bool>& stop, std::ostream& err);

}  // namespace kelda::plcsim
