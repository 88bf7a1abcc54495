// Time on a GE serial line: how long characters take at a line's rate, the gaps the protocols
// mandate, and the least time one read takes on the wire, both directions counted, with a PLC that
// answers at once. What the timed simulator paces and what the poller's line use compares with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/plcsim/PlcSim.h"

namespace kelda::plcsim {

// The character frame: one start bit, eight data bits, an optional parity bit, stop bits.
struct LineFormat {
  uint32_t baud = 19200;
  bool parity = true;  // odd or even: one bit either way
  uint8_t stopBits = 1;

  uint32_t bitsPerChar() const { return 1u + 8u + (parity ? 1u : 0u) + stopBits; }
  double charMs() const { return 1000.0 * bitsPerChar() / baud; }
  // When the k-th character (from 1) of a run that starts at startUs has left the wire; exact to
  // the microsecond however long the run, so a long answer does not drift.
  uint64_t endOfCharUs(uint64_t startUs, uint64_t k) const {
    return startUs + (k * bitsPerChar() * 1000000ull + baud - 1) / baud;
  }
};

// SNP: the slave's own T1 (Series 90-30/90-70), the least gap before any message or ACK; the
// session's T1 is the larger of the master's and the slave's.
constexpr uint32_t kSnpSlaveT1Ms = 5;
// SNP and SNP-X: the least wait after the end of a long break before the attach.
constexpr uint32_t kSnpT4Ms = 50;

// CCM: the target holds its answer to an enquiry back 10 ms plus four character times (rounded up
// to whole milliseconds, as GE's timer table gives them), so that a collision can show itself.
double CcmEnquiryDelayMs(const LineFormat& format);

// How the master opens the session for a read.
enum class SessionUse {
  BreakAndAttachEachRead,  // SNP and SNP-X: a long break, T4 and an attach before every read
  KeepSession,             // the session stays open from one read to the next
};

struct WireRules {
  uint32_t snpT1Ms = kSnpSlaveT1Ms;  // the session's T1
  uint32_t breakMs = 100;            // how long the master holds its long break
  uint32_t t4Ms = kSnpT4Ms;
  size_t snpDataSize = 1000;  // SNP text buffer data size
};

// The least time one read of `dataBytes` takes on the wire.
struct ExchangeTime {
  size_t chars = 0;    // characters both ways, the opening (break + attach) included
  uint32_t gaps = 0;   // mandated gaps inside the exchange (SNP T1s, the CCM enquiry delay)
  double gapMs = 0;    // their length
  double breakMs = 0;  // break and T4 when the session is opened for the read
  double ms = 0;       // the exchange, first character to last
  double cycleMs = 0;  // read after read: the exchange plus the gap before the next request
  // The part of cycleMs that is the master's to keep (SNP: T1 before its ACKs and requests; T4).
  // A line that paces only the PLC's side cannot make a read faster than cycleMs - masterGapMs.
  double masterGapMs = 0;
  double perSecond() const { return cycleMs > 0 ? 1000.0 / cycleMs : 0; }
};

ExchangeTime ReadExchange(Mode mode, size_t dataBytes, const LineFormat& format, SessionUse use,
                          const WireRules& rules = {});

}  // namespace kelda::plcsim
