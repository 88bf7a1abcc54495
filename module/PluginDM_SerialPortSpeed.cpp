// The engine's speed settings: kept SNP and SNP-X sessions, GE's line timing (T4 after the
// break, the negotiated T1 before every SNP frame, a gap before each request), the next request
// as soon as the line is ready, retries and the demotion of PLCs that keep failing.
//
// With both speed settings off the engine keeps its plain rhythm: every frame goes out as soon
// as it is posted, and the next request waits for the next tick.
#include <algorithm>
#include <cstring>

#include "Common/zorTimerEx.h"
#include "module/PluginDM_SerialPort.h"
#include "platform/Tick.h"

namespace kelda {

void TSerialPortDM::SetSpeed(const TSpeedSettings& speed) {
  if (!speed.KeepSession) DropSession();
  if (speed.DemoteAfter != FSpeed.DemoteAfter || speed.DemoteFor != FSpeed.DemoteFor) {
    FDemotions.clear();
    CountDemoted();
  }
  FSpeed = speed;
  FSendWhenReady = speed.SendWhenReady;
}

void TSerialPortDM::SetProtocol(uint8_t protocol) {
  const uint8_t next = ProtocolOf(protocol);
  if (next != Protocol) DropSession();
  Protocol = next;
}

// ---------------------------------------------------------------------------------------------
// Kept sessions

// A session is kept with one PLC: another SNP ID needs its own break and attach, and a line
// that was idle too long may have lost the session on the PLC's side already.
bool TSerialPortDM::UseSession(const TRequestItem& request) const {
  if (!FSpeed.KeepSession || !FSessionOpen) return false;
  if (SnpRequestFields(request).SnpId != FSessionId) return false;
  return platform::Now() - FLineActivity.load() < kSessionIdleMs;
}

void TSerialPortDM::OpenSession(const TRequestItem& request) {
  if (!FSpeed.KeepSession) return;
  FSessionOpen = true;
  FSessionId = SnpRequestFields(request).SnpId;
}

// The attach response's T1 field: four hexadecimal characters, low byte first; the PLC names
// the larger of its own T1 and ours, which both sides keep for the session.
void TSerialPortDM::NoteAttachT1(const uint8_t* field) {
  auto digit = [](uint8_t c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  int d[4];
  for (int i = 0; i < 4; ++i)
    if ((d[i] = digit(field[i])) < 0) return;
  const uint32_t t1 = static_cast<uint32_t>((d[0] << 4 | d[1]) | (d[2] << 4 | d[3]) << 8);
  FT1 = std::clamp(t1, kOwnT1Ms, kMaxT1Ms);
}

// ---------------------------------------------------------------------------------------------
// Line timing

uint32_t TSerialPortDM::GapMs() const {
  switch (Protocol) {
    case protoSnp:
      return FT1.load();
    case protoSnpX:
      return kSnpXGapMs;
    default:
      return kCcmGapMs;
  }
}

void TSerialPortDM::SetLineTiming(TOutFrame& frame) const {
  if (!FSpeed.Timed()) return;
  const bool snp = Protocol == protoSnp || Protocol == protoSnpX;
  if (snp && frame.Role == TFrameRole::Opening && frame.Step == stOpeningSent) {
    // The attach: T4 after the break has ended. Counted from the break's request, a host that
    // returns from the break before the line is free again is covered too.
    frame.AfterHandedMs = kBreakMs + kT4Ms;
    return;
  }
  if (Protocol == protoSnp) {
    frame.QuietMs = FT1.load();  // before every frame of an SNP master, acknowledgements too
    return;
  }
  if (frame.Role == TFrameRole::Opening || frame.Role == TFrameRole::LineBreak) frame.QuietMs = GapMs();
  if (Protocol == protoSnpX && frame.Role == TFrameRole::Opening && frame.Step != stOpeningSent)
    frame.QuietMs = std::max(frame.QuietMs, SnpXQuietMs(frame));
}

// The attach waits for the break and T4 and every opening for the line's gap: the handshake
// time-out counts the PLC's time, not ours.
uint32_t TSerialPortDM::OpeningHoldMs() const {
  return FSpeed.Timed() ? kBreakMs + kT4Ms + GapMs() : 0;
}

uint64_t TSerialPortDM::DueAt(const TOutFrame& frame) const {
  uint64_t due = 0;
  if (frame.AfterHandedMs != 0) due = FLastHandedAt.load() + frame.AfterHandedMs;
  if (frame.QuietMs != 0) due = std::max(due, FLineActivity.load() + frame.QuietMs);
  return due;
}

// Asks for a tick at `at` (or soon after): the earliest of the wishes holds until a tick has
// run past it. A tick wanted now is asked of the timer's thread at once: the shortest period of
// a platform timer (10 ms, and 15.6 ms grain on Windows) would cost a short read a third of its
// time on the wire.
void TSerialPortDM::ScheduleWake(uint64_t at) {
  uint64_t current = FWakeAt.load();
  while ((current == 0 || at < current) && !FWakeAt.compare_exchange_weak(current, at)) {
  }
  if (!Queue) return;
  Queue->SetInterval(std::max<uint32_t>(NextTickMs(), 1));
  if (at <= platform::Now()) Queue->TickSoon();
}

void TSerialPortDM::ClearPassedWake() {
  uint64_t wake = FWakeAt.load();
  if (wake != 0 && wake <= platform::Now()) FWakeAt.compare_exchange_strong(wake, 0);
}

uint32_t TSerialPortDM::NextTickMs() const {
  uint32_t ms = TimerInterval;
  const uint64_t wake = FWakeAt.load();
  if (wake != 0) {
    const uint64_t now = platform::Now();
    if (wake <= now) return 0;
    if (wake - now < ms) ms = static_cast<uint32_t>(wake - now);
  }
  return ms < 1 ? 1 : ms;
}

// The outstanding exchange is over. Ready for the next request: the line's gap after it.
void TSerialPortDM::ExchangeEnded() {
  if (FSpeed.SendWhenReady) ScheduleWake(platform::Now() + GapMs());
}

// Whether the next transaction may begin: a CCM exchange is over only once its EOTs have been
// exchanged, so that the next enquiry never meets a station's EOT on the line nor a slave that
// still waits for the master's. A master-to-slave slave whose EOT does not come within the
// handshake time-out is sent the master's EOT, which ends the transaction for both.
// Called by the tick.
bool TSerialPortDM::LastExchangeOver() {
  {
    platform::WriteGuard guard(*RequestList);
    if (FLastReq && Protocol == protoCcmMasterSlave && FLastReq->Step == stAwaitingEot) {
      if (!FLastReq->Timer.Expired(EffectiveMs(FLastReq->HandshakeTimeout))) return false;
      FLastReq->Step = stIdle;
      FLastReq = nullptr;
      PostChar(EOT);
    }
  }
  if (!FPeerEotAwaited.load()) return true;
  const uint64_t quietUntil = std::min(FLineActivity.load() + kCcmPeerEotWaitMs, FPeerEotLatest.load());
  if (platform::Now() < quietUntil) {
    ScheduleWake(quietUntil);
    return false;
  }
  FPeerEotAwaited = false;  // a target that sends none
  return true;
}

// CCM peer to peer with "Send when ready": the last block is in and acknowledged; the target's
// EOT ends the exchange. Bytes that are not the EOT keep the line busy, but not beyond the
// handshake time-out.
void TSerialPortDM::AwaitPeerEot(const TRequestItem& request) {
  const uint64_t now = platform::Now();
  FPeerEotLatest = now + std::max(EffectiveMs(request.HandshakeTimeout), kCcmPeerEotWaitMs);
  FPeerEotAwaited = true;
  ScheduleWake(now + kCcmPeerEotWaitMs);
}

// Bytes that came after the exchange's last block: an EOT among them ends the exchange.
void TSerialPortDM::NotePeerEot(const uint8_t* data, int32_t size) {
  if (!FPeerEotAwaited.load() || !data || size <= 0) return;
  if (!std::memchr(data, EOT, static_cast<size_t>(size))) return;
  FPeerEotAwaited = false;
  ExchangeEnded();
}

// ---------------------------------------------------------------------------------------------
// Retries and demotion

// An attempt of `request` failed. It counts towards its PLC's demotion, each attempt on its own:
// a PLC that answers none of them is set aside after "Demote after" attempts, repeats included.
// The transaction is repeated in the request's next turn while it has repeats left and its PLC
// was not set aside by this failure; a PLC on trial after its demotion gets one attempt and no
// repeat. Answers whether the transaction is repeated.
bool TSerialPortDM::Retry(TRequestItem& request, bool countsAgainstPlc) {
  if ((countsAgainstPlc && AttemptFailed(request)) || request.RetriesDone >= FSpeed.Retries) {
    request.RetriesDone = 0;
    return false;
  }
  ++request.RetriesDone;
  request.RetryDue = true;
  FCounters.Retried();
  DropSession();
  ScheduleWake(platform::Now());
  return true;
}

// Counts a failed attempt against the PLC of `request`; answers whether the PLC is set aside.
bool TSerialPortDM::AttemptFailed(const TRequestItem& request) {
  if (FSpeed.DemoteAfter <= 0) return false;
  TDemotion& demotion = FDemotions[TargetKey(request)];
  ++demotion.Failures;
  if (!demotion.Demoted && demotion.Failures < FSpeed.DemoteAfter) return false;
  // Demoted, or its trial failed: set aside again for the whole time.
  demotion.Demoted = true;
  demotion.Until = platform::Now() + static_cast<uint64_t>(FSpeed.DemoteFor);
  FCounters.Demoted(CountDemoted());
  return true;
}

void TSerialPortDM::TransactionAnswered(TRequestItem& request) {
  request.RetriesDone = 0;
  request.RetryDue = false;
  request.OnceFailures = 0;
  request.OnceResumeAt = 0;
  if (FDemotions.erase(TargetKey(request)) != 0) CountDemoted();
}

uint32_t TSerialPortDM::CountDemoted() {
  uint32_t demoted = 0;
  for (const auto& [key, entry] : FDemotions) demoted += entry.Demoted ? 1 : 0;
  FCounters.SetDemoted(demoted);
  return demoted;
}

// The PLC a request goes to: the CCM station number, or the SNP ID as sent.
std::string TSerialPortDM::TargetKey(const TRequestItem& request) const {
  if (Protocol == protoCcmMasterSlave || Protocol == protoCcmPeerToPeer)
    return "ccm:" + std::to_string(CcmTargetNumber(request.Address) & 0xFF);
  const auto id = SnpRequestFields(request).SnpId;
  return "snp:" + std::string(reinterpret_cast<const char*>(id.data()), id.size());
}

bool TSerialPortDM::IsDemoted(const TRequestItem& request) const {
  if (FSpeed.DemoteAfter <= 0 || FDemotions.empty()) return false;
  auto it = FDemotions.find(TargetKey(request));
  return it != FDemotions.end() && it->second.Demoted && platform::Now() < it->second.Until;
}

}  // namespace kelda
