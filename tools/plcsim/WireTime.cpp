#include "tools/plcsim/WireTime.h"

#include <cmath>

namespace kelda::plcsim {

namespace {

constexpr size_t kSnpMailbox = 40, kSnpAck = 2, kSnpFraming = 8, kSnpMailboxData = 6;
constexpr size_t kAttach = 24;  // SNP attach and SNP-X X-Attach, and their responses
constexpr size_t kSnpXRequest = 24, kSnpXResponse = 15;
constexpr size_t kCcmBlock = 256, kCcmBlockFraming = 3, kCcmHeader = 17;

size_t Blocks(size_t bytes, size_t size) {
  return bytes == 0 ? 1 : (bytes + size - 1) / size;
}

// Request, ACK, the reply mailbox and the master's ACK; bigger reads add text buffers, each
// ACKed. Every message and every ACK waits T1 after the one before it.
// Returns how many of the gaps are the master's (before its ACKs).
uint32_t SnpRead(size_t n, const WireRules& rules, ExchangeTime& t) {
  t.chars += 2 * (kSnpMailbox + kSnpAck);
  t.gaps += 3;
  if (n <= kSnpMailboxData) return 1;
  const size_t buffers = Blocks(n, rules.snpDataSize);
  t.chars += n + buffers * (kSnpFraming + kSnpAck);
  t.gaps += 2 * static_cast<uint32_t>(buffers);
  return 1 + static_cast<uint32_t>(buffers);
}

// Master-slave: "N", id, ENQ and its three-character ACK; peer-to-peer: ENQ and ACK. Then the
// header and its ACK, the data blocks each ACKed, the slave's EOT and (master-slave) the master's.
size_t CcmReadChars(bool masterSlave, size_t n) {
  const size_t blocks = Blocks(n, kCcmBlock);
  const size_t enquiry = masterSlave ? 3 + 3 : 1 + 1;
  return enquiry + kCcmHeader + 1 + n + blocks * (kCcmBlockFraming + 1) + 1 + (masterSlave ? 1 : 0);
}

}  // namespace

double CcmEnquiryDelayMs(const LineFormat& format) {
  return 10.0 + std::ceil(4 * format.charMs() - 1e-9);
}

ExchangeTime ReadExchange(Mode mode, size_t n, const LineFormat& format, SessionUse use,
                          const WireRules& rules) {
  ExchangeTime t;
  const bool snp = mode == Mode::Snp, snpX = mode == Mode::SnpX;
  double gapEach = 0;
  uint32_t masterGaps = 0;
  if (snp) {
    gapEach = rules.snpT1Ms;
    masterGaps = SnpRead(n, rules, t);
  } else if (snpX) {
    t.chars = kSnpXRequest + kSnpXResponse + n;
  } else {
    gapEach = CcmEnquiryDelayMs(format);
    t.gaps = 1;
    t.chars = CcmReadChars(mode == Mode::CcmMasterSlave, n);
  }
  const bool opens = (snp || snpX) && use == SessionUse::BreakAndAttachEachRead;
  if (opens) {
    t.chars += 2 * kAttach;
    t.breakMs = rules.breakMs + rules.t4Ms;
    // SNP: T1 before the attach response and before the request that follows it.
    if (snp) t.gaps += 2;
    if (snp) masterGaps += 1;
  }
  t.gapMs = t.gaps * gapEach;
  t.ms = t.chars * format.charMs() + t.gapMs + t.breakMs;
  // Back to back, the master's next request waits T1 after its last ACK; a break needs no gap.
  const bool nextWaitsT1 = snp && !opens;
  t.cycleMs = t.ms + (nextWaitsT1 ? rules.snpT1Ms : 0);
  t.masterGapMs = (masterGaps + (nextWaitsT1 ? 1 : 0)) * gapEach + (opens ? rules.t4Ms : 0);
  return t;
}

}  // namespace kelda::plcsim
