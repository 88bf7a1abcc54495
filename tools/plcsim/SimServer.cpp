#include "tools/plcsim/SimServer.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>

#include "platform/SerialPort.h"
#include "platform/Socket.h"
#include "platform/StdStreams.h"
#include "platform/Tick.h"
#include "tools/plcsim/MemoryFile.h"

namespace kelda::plcsim {

namespace {

// How long one wait for input lasts: short, so answers due later (--delay) leave on time and a
// stop request is seen at once.
constexpr uint32_t kPollMs = 10;
// How long the TCP listener waits for a client before looking at the stop request again.
constexpr uint32_t kAcceptMs = 100;

class PortLink : public SimLink {
public:
  explicit PortLink(platform::TSerialPort& port) : port_(port) {}
  size_t read(uint8_t* buffer, size_t size, uint32_t timeoutMs) override {
    const size_t n = port_.Read(buffer, size, timeoutMs);
    received_ += n;
    return n;
  }
  size_t received() const { return received_; }
  bool closed() const override { return false; }  // a vanished port throws instead
  void write(const uint8_t* data, size_t size) override { port_.Write(data, size); }
  bool takeBreak() override { return port_.TakeBreakReceived(); }

private:
  platform::TSerialPort& port_;
  size_t received_ = 0;
};

class TcpLink : public SimLink {
public:
  explicit TcpLink(platform::TTcpConnection& connection) : connection_(connection) {}
  size_t read(uint8_t* buffer, size_t size, uint32_t timeoutMs) override {
    return connection_.Read(buffer, size, timeoutMs);
  }
  bool closed() const override { return connection_.PeerClosed(); }
  void write(const uint8_t* data, size_t size) override { connection_.Write(data, size); }

private:
  platform::TTcpConnection& connection_;
};

class StdioLink : public SimLink {
public:
  size_t read(uint8_t* buffer, size_t size, uint32_t timeoutMs) override {
    return platform::ReadStandardInput(buffer, size, timeoutMs, atEnd_);
  }
  bool closed() const override { return atEnd_; }
  void write(const uint8_t* data, size_t size) override {
    if (!platform::WriteStandardOutput(data, size))
      throw std::runtime_error("standard output: the reader has gone");
  }

private:
  bool atEnd_ = false;
};

std::string Stamp(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "[%4llu.%03llu] ", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

// Writes the events the simulator noted since `seen`.
void LogEvents(const Simulator& sim, uint64_t& seen, uint64_t now, std::ostream& log) {
  const uint64_t total = sim.eventCount();
  if (total == seen) return;
  const auto& events = sim.log();
  const uint64_t fresh = std::min<uint64_t>(total - seen, events.size());
  for (size_t i = events.size() - static_cast<size_t>(fresh); i < events.size(); ++i)
    log << Stamp(now) << events[i] << '\n';
  log.flush();
  seen = total;
}

platform::TSerialSettings LineSettings(const SimOptions& o) {
  platform::TSerialSettings s;
  s.BaudRate = o.baud;
  s.StopBits = o.stopBits;
  s.Parity = o.parity == LineParity::None   ? platform::TParity::None
             : o.parity == LineParity::Even ? platform::TParity::Even
                                            : platform::TParity::Odd;
  return s;
}

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::CcmMasterSlave:
      return "CCM master-slave";
    case Mode::CcmPeerToPeer:
      return "CCM peer-to-peer";
    case Mode::Snp:
      return "SNP";
    case Mode::SnpX:
      return "SNP-X";
  }
  return "?";
}

std::string Identity(const SimOptions& o) {
  if (o.mode == Mode::CcmMasterSlave || o.mode == Mode::CcmPeerToPeer)
    return "CPU ID " + std::to_string(o.ccmId);
  return "SNP ID " + o.snpId;
}

void ServeTcp(Simulator& sim, const SimOptions& o, const std::atomic<bool>& stop, uint64_t start,
              std::ostream& err) {
  platform::TTcpListener listener("127.0.0.1", o.tcpPort);
  err << "kelda-plcsim: " << ModeName(o.mode) << ", " << Identity(o)
      << ", listening on 127.0.0.1:" << listener.Port() << std::endl;
  while (!stop) {
    auto connection = listener.Accept(kAcceptMs);
    if (!connection) continue;
    err << "kelda-plcsim: master connected from " << connection->Peer() << std::endl;
    // A new client is a new line: whatever session the previous master had is over.
    sim.lineBreak(platform::Now() - start);
    TcpLink link(*connection);
    try {
      Serve(sim, link, stop, start, o.verbose ? &err : nullptr);
      err << "kelda-plcsim: master " << connection->Peer() << " disconnected" << std::endl;
    } catch (const platform::ESocketError& e) {
      err << "kelda-plcsim: master " << connection->Peer() << " lost: " << e.what() << std::endl;
    }
  }
}

// The device opened again after the line was lost; nullptr once stopped. A device that is
// away for a while (an adapter re-plugged, a pseudo-terminal pair made anew under the same link
// name) is waited for.
std::unique_ptr<platform::TSerialPort> Reopen(const SimOptions& o, const std::atomic<bool>& stop) {
  while (!stop) {
    try {
      return platform::TSerialPort::Open(o.device, LineSettings(o));
    } catch (const platform::ESerialPortError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptMs));
    }
  }
  return nullptr;
}

// A serial line serves one master after another: when a master hangs up (the far end of a
// pseudo-terminal closed, a tty's device went away) the device is opened again for the next.
void ServeSerial(Simulator& sim, const SimOptions& o, const std::atomic<bool>& stop, uint64_t start,
                 std::ostream& err) {
  std::ostream* log = o.verbose ? &err : nullptr;
  auto port = platform::TSerialPort::Open(o.device, LineSettings(o));
  err << "kelda-plcsim: " << ModeName(o.mode) << ", " << Identity(o) << ", on " << o.device << std::endl;
  if (!port->SettingsNote().empty()) err << "kelda-plcsim: note: " << port->SettingsNote() << std::endl;
  bool told = false;  // the loss was told: the next master's arrival is told too
  while (port) {
    PortLink link(*port);
    try {
      Serve(sim, link, stop, start, log);
      return;
    } catch (const platform::ESerialPortError& e) {
      // A line that hangs up again before a byte came is the same loss, told once.
      if (link.received() > 0) {
        err << "kelda-plcsim: " << e.what() << "; waiting for the next master on " << o.device << std::endl;
        told = true;
      }
    }
    port.reset();
    // Whatever session the previous master had is over.
    sim.lineBreak(platform::Now() - start);
    std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptMs));
    port = Reopen(o, stop);
    if (port && told) {
      err << "kelda-plcsim: " << o.device << " open again for the next master" << std::endl;
      told = false;
    }
  }
}

void ServeLine(Simulator& sim, const SimOptions& o, const std::atomic<bool>& stop, uint64_t start,
               std::ostream& err) {
  std::ostream* log = o.verbose ? &err : nullptr;
  if (o.transport == Transport::Tcp) return ServeTcp(sim, o, stop, start, err);
  if (o.transport == Transport::Serial) return ServeSerial(sim, o, stop, start, err);
  if (o.verbose)
    err << "kelda-plcsim: " << ModeName(o.mode) << ", " << Identity(o) << ", on standard input/output"
        << std::endl;
  StdioLink link;
  Serve(sim, link, stop, start, log);
}

}  // namespace

std::unique_ptr<SimLink> SerialLink(platform::TSerialPort& port) {
  return std::make_unique<PortLink>(port);
}

ServeEnd Serve(Simulator& sim, SimLink& link, const std::atomic<bool>& stop, uint64_t startMs,
               std::ostream* log) {
  uint64_t seen = sim.eventCount();
  uint8_t buffer[1024];
  bool inputEnded = false;
  while (!stop) {
    size_t n = 0;
    if (!inputEnded) {
      n = link.read(buffer, sizeof buffer, kPollMs);
      inputEnded = n == 0 && link.closed();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    const uint64_t now = platform::Now() - startMs;
    if (link.takeBreak()) sim.lineBreak(now);
    if (n > 0) sim.receive(buffer, n, now);
    // Each piece is written on its own, so that a master sees chunked answers arrive apart.
    for (const auto& chunk : sim.takeOutput(now)) link.write(chunk.data(), chunk.size());
    if (log) LogEvents(sim, seen, now, *log);
    // Answers still due (--delay) leave before the end: the input may close before the output.
    if (inputEnded && !sim.hasPendingOutput()) return ServeEnd::LineClosed;
  }
  return ServeEnd::Stopped;
}

int RunSimulator(const SimOptions& o, const std::atomic<bool>& stop, std::ostream& err) {
  const uint64_t start = platform::Now();
  Simulator sim(o.mode, o.snpId, o.ccmId);
  sim.setFaults(o.faults);
  sim.setBreakRequired(o.breakRequired);
  sim.setSnpDataSize(o.snpDataSize);
  sim.setCcmLrcIncludesFraming(o.ccmLrcIncludesFraming);
  if (!o.memoryFile.empty()) {
    try {
      LoadMemoryFile(o.memoryFile, sim);
    } catch (const MemoryFileError& e) {
      // The memory never loaded: nothing is saved, so a faulty file is not overwritten by zeros.
      err << "kelda-plcsim: " << e.what() << std::endl;
      return 1;
    }
  }
  int status = 0;
  try {
    ServeLine(sim, o, stop, start, err);
  } catch (const std::exception& e) {
    err << "kelda-plcsim: " << e.what() << std::endl;
    status = 1;
  }
  if (!o.saveFile.empty()) {
    try {
      SaveMemoryFile(o.saveFile, sim);
      if (o.verbose) err << "kelda-plcsim: memory saved to " << o.saveFile << std::endl;
    } catch (const MemoryFileError& e) {
      err << "kelda-plcsim: " << e.what() << std::endl;
      status = 1;
    }
  }
  return status;
}

}  // namespace kelda::plcsim
