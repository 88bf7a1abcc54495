// A serial line at a real line's rate between a master and the simulated PLC. Each character
// takes its start, data, parity and stop bits on the wire: what the master writes reaches the PLC
// no sooner than its last bit has gone, a break holds the line for its length, and the PLC's
// answers come back character by character. The PLC keeps GE's gaps before its own frames: T1
// before every SNP message and ACK, and the CCM target's delay before it answers an enquiry. So
// reads per second over this line equal those of a real line with a PLC that answers at once.
//
// Time is the caller's, in microseconds from any fixed start (a monotonic clock); nothing here
// waits. nextEventUs() tells when something next happens, so a caller can sleep until then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "tools/plcsim/PlcSim.h"
#include "tools/plcsim/WireTime.h"

namespace kelda::plcsim {

class TimedLine {
public:
  // The PLC stays the caller's and must outlive the line.
  TimedLine(Simulator& plc, const LineFormat& format);
  // Several PLCs on one line (multidrop): each hears everything the master sends and answers for
  // itself; all must be of one protocol. They stay the caller's.
  TimedLine(std::vector<Simulator*> plcs, const LineFormat& format);

  // The PLCs are off the line until then: what reaches them before is lost, as to a PLC that is
  // switched off or unplugged.
  void unplugUntil(uint64_t us) { unpluggedUntilUs_ = us; }

  // Bytes the master writes at nowUs: they go out after whatever it still sends.
  void write(const uint8_t* data, size_t size, uint64_t nowUs);
  // A long break of ms, after whatever the master still sends; the PLC sees it when it ends.
  void holdBreak(uint32_t ms, uint64_t nowUs);
  // Moves the line on to nowUs and returns the PLC's bytes that have reached the master by then
  // and were not read before, as a serial port's read hands over what has arrived.
  std::vector<uint8_t> read(uint64_t nowUs);

  // When the next character or break ends, either way; UINT64_MAX when nothing is on the way.
  uint64_t nextEventUs() const;
  // When the master's last byte or break has left the wire.
  uint64_t masterIdleAtUs() const { return masterFreeUs_; }
  const LineFormat& format() const { return format_; }

private:
  struct ToPlc {
    uint64_t atUs;  // the byte's last bit, or the end of the break
    bool isBreak;
    uint8_t byte;
  };
  struct ToMaster {
    uint64_t atUs;
    uint8_t byte;
  };

  void advance(uint64_t nowUs);
  void takeAnswers(uint64_t readyUs, uint64_t nowMs);
  void send(const Simulator& from, const std::vector<uint8_t>& frame, uint64_t readyUs);
  uint64_t gapBeforeUs(const Simulator& from) const;

  std::vector<Simulator*> plcs_;
  Mode mode_;
  LineFormat format_;
  std::deque<ToPlc> toPlc_;
  std::deque<ToMaster> toMaster_;
  uint64_t masterFreeUs_ = 0;  // the master's side of the wire is busy until then
  uint64_t plcFreeUs_ = 0;     // the PLC's side
  bool plcHasSent_ = false;
  uint8_t lastFromMaster_ = 0;  // the last byte the PLCs received
  uint64_t unpluggedUntilUs_ = 0;
};

}  // namespace kelda::plcsim
