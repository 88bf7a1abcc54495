#include "module/PluginDM_SerialPort.h"

#include <algorithm>
#include <optional>
#include <span>

#include "Common/zorParamLst.h"
#include "Common/zorTimerEx.h"
#include "Plugins/zorPluginModule.h"
#include "module/PluginDM_Decode.h"
#include "module/PluginDM_PlcErrors.h"
#include "platform/MessageWindow.h"
#include "platform/Tick.h"

namespace kelda {

namespace {

class InstanceGuard {
public:
  explicit InstanceGuard(ISerialPortOwner& owner) : FOwner(owner) { FOwner.LockInstance(); }
  ~InstanceGuard() { FOwner.UnlockInstance(); }
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

private:
  ISerialPortOwner& FOwner;
};

TRequestItem* RequestAt(TObjectList& list, int index) {
  return static_cast<TRequestItem*>(list.Items(index));
}

}  // namespace

uint32_t EffectiveMs(int32_t ms) {
  return ms < 1 ? 1u : static_cast<uint32_t>(ms);
}

bool RequestFitsWire(const TRequestItem& request) {
  return request.Offset >= 0 && request.Offset <= 0xFFFF && request.Size >= 0 && request.Size <= 0xFFFF;
}

// ---------------------------------------------------------------------------------------------
// Life

TSerialPortDM::TSerialPortDM(TComponent* component, ISerialPortOwner* owner)
    : TComponent(component),
      RequestList(std::make_unique<TThreadObjectList>(true)),
      FOwner(owner),
      RxBuffer(std::make_unique<TFIFOStream>(kRxBufferSize, true, kRxDiscardChunk)) {
  Queue = new TzorTimerEx(this);
  Queue->SetEnabled(false);
  Queue->Tag = -1;
  Queue->SetInterval(kTickMs);
  Queue->SetOnTimer([this](TzorTimerEx*) { QueueTick(); });
}

std::shared_ptr<TSerialPortDM> TSerialPortDM::MakeShared(ISerialPortOwner* owner) {
  auto engine = std::make_shared<TSerialPortDM>(nullptr, owner);
  engine->FCounted = true;
  const std::weak_ptr<TSerialPortDM> weak = engine;
  engine->Queue->SetOnTimer([weak](TzorTimerEx*) {
    // The tick holds its engine for its run; an engine whose last reference is going does not tick.
    if (const std::shared_ptr<TSerialPortDM> self = weak.lock()) self->QueueTick();
  });
  return engine;
}

TSerialPortDM::~TSerialPortDM() {
  // A counted engine's tick holds the engine, so none is under way here: the timer can go
  // without waiting for its thread. A directly owned one waits for a tick under way.
  if (FCounted)
    EndTimer(Queue);
  else
    FreeTimer(Queue);
  ClearLastRequest();
  RequestList.reset();
  RxBuffer.reset();
}

// ---------------------------------------------------------------------------------------------
// Scheduler

void TSerialPortDM::Restart() {
  if (!Queue) return;
  bool on =
      !FRetired.load() && FOwner && FOwner->IsStateFlagSet(0) && RequestList && RequestList->Count() > 0;
  if (on) {
    Queue->SetInterval(std::max<uint32_t>(NextTickMs(), 1));
    uint64_t none = 0;
    FTickWantedSince.compare_exchange_strong(none, std::max<uint64_t>(platform::Now(), 1));
  } else {
    FTickWantedSince = 0;
  }
  Queue->SetEnabled(on);
}

void TSerialPortDM::StopQueueTimer() {
  if (Queue) Queue->SetEnabled(false);
}

void TSerialPortDM::ClearLastRequest() {
  // The receive path works on the outstanding request under the queue's read lock.
  platform::WriteGuard guard(*RequestList);
  // An exchange abandoned half-way leaves the PLC in the middle of it.
  if (FLastReq) DropSession();
  FLastReq = nullptr;
}

void TSerialPortDM::Retire() {
  {
    platform::CriticalSectionGuard owner(FOwnerLock);
    FRetired = true;
  }
  FTickWantedSince = 0;
  StopQueueTimer();
}

uint32_t TSerialPortDM::TimerThread() const {
  return Queue ? Queue->OwnerThread() : 0;
}

bool TSerialPortDM::TimerThreadStopped() const {
  if (!Queue || FRetired.load()) return false;
  const platform::WindowHandle window = Queue->WindowHandle();
  if (window == platform::kNoWindow || !platform::IsWindowAlive(window)) return true;  // the thread ended
  const uint64_t since = FTickWantedSince.load();
  const uint64_t now = platform::Now();
  return since != 0 && now > since && now - since >= kStalledMs;
}

void TSerialPortDM::RequestReset(uint8_t code) {
  ResetRequest = code;
  Restart();
}

void TSerialPortDM::QueueTick() {
  if (!Queue) return;    // being freed
  FTickWantedSince = 0;  // the timer's thread dispatches
  if (!HoldOwner()) {
    // Retired: a Restart that found the engine in service a moment before it retired (a data
    // call's decode, a tick's end) may have switched the timer on again after Retire switched
    // it off; the tick switches it off in the timer's own thread and starts nothing.
    if (FRetired.load() && Queue) Queue->SetEnabled(false);
    return;
  }
  struct TRelease {
    ISerialPortOwner* Owner;
    ~TRelease() {
      if (Owner) Owner->ReleaseFromTick();  // may free the plug-in; the engine is not touched after it
    }
  } release{FOwner};
  GuardedTick();
}

// The plug-in for the run of a tick, taken under the lock that retirement is set under: once
// the plug-in let this engine go, the tick leaves the plug-in alone.
bool TSerialPortDM::HoldOwner() {
  platform::CriticalSectionGuard owner(FOwnerLock);
  if (FRetired.load()) return false;
  return !FOwner || FOwner->HoldForTick();
}

void TSerialPortDM::GuardedTick() {
  Queue->SetEnabled(false);
  if (!FOwner || !FOwner->IsStateFlagSet(0)) return;
  struct RestartAtEnd {
    TSerialPortDM* Engine;
    ~RestartAtEnd() {
      try {
        Engine->Restart();
      } catch (...) {
      }
    }
  } restartAtEnd{this};
  try {
    RunTick();
  } catch (...) {
    // A failing tick starts nothing more; the next tick starts afresh.
  }
  // The frames a started transaction posted go out with no lock held.
  FlushOutbox();
}

// The tag of Queue holds the request in progress, or the last one that was: the search for the
// next due request begins right after it and wraps around, so every due request gets its turn
// however short the poll intervals are.
void TSerialPortDM::RunTick() {
  if (ResetRequest.exchange(0) != 0) {
    Reset();
    return;
  }
  ClearPassedWake();
  {
    platform::CriticalSectionGuard gate(FGateLock);
    if (!MinIntervalGate.IsClear()) {
      if (!MinIntervalGate.Expired()) {
        // Ready as soon as the gate opens.
        if (FSendWhenReady.load()) ScheduleWake(MinIntervalGate.Deadline);
        return;
      }
      MinIntervalGate.Clear();
    }
  }
  if (!LastExchangeOver()) return;
  const int32_t count = RequestList->Count();
  const int32_t current = static_cast<int32_t>(Queue->Tag);
  int32_t from = 0;
  if (current >= 0 && current < count) {
    const TExamined examined = ExamineRequest(current, false);
    if (examined == TExamined::Waiting || examined == TExamined::Started) return;
    from = current + 1;
  }
  for (int32_t k = 0; k < count; ++k) {
    const int32_t index = (from + k) % count;
    const TExamined examined = ExamineRequest(index, true);
    if (examined == TExamined::Waiting || examined == TExamined::Started) {
      Queue->Tag = index;
      return;
    }
  }
  if (current >= count) Queue->Tag = -1;
}

// Looks at the request at `index`: waits for it, times it out, or (with mayStart) starts its
// transaction when it is due.
TSerialPortDM::TExamined TSerialPortDM::ExamineRequest(int32_t index, bool mayStart) {
  platform::WriteGuard guard(*RequestList);
  TObjectList& list = *static_cast<TObjectList*>(RequestList->GuardedObject());
  if (index < 0 || index >= list.Count()) return TExamined::NotDue;
  TRequestItem& request = *RequestAt(list, index);
  if (request.Busy) {
    uint32_t limit = request.Step == stAwaitingData ? EffectiveMs(request.Timeout)
                                                    : EffectiveMs(request.HandshakeTimeout) + OpeningHoldMs();
    if (!request.Timer.Expired(limit)) return TExamined::Waiting;
    if (MayWaitForArrival(request) && FrameStillArriving(request)) return TExamined::Waiting;
    request.Busy = false;  // timed out: on to the next request, or the same one again
    DropWaitingFrames(false);
    FCounters.TimedOut();
    DropSession();
    const TTransactionFailure cause = TimeoutCause(request);
    if (!Retry(request)) {
      ReportFailure(request, cause);
      RestUnanswered(request);
    }
    // A repeat waits for its turn like any due request: the others go first, so a station that
    // does not answer costs them one time-out per failed attempt, however many repeats it has.
    return TExamined::Finished;
  }
  // A disabled request or one that does not fit the wire may still stand at the queue position
  // after the queue was refilled; it is never sent.
  if (!request.Enabled || !RequestFitsWire(request)) {
    request.RetryDue = false;
    return TExamined::NotDue;
  }
  if (!mayStart) return TExamined::Finished;
  if (request.RetryDue && IsDemoted(request)) {
    // Another request's failure set its PLC aside meanwhile: the repeat is dropped, and the
    // request is read again once the PLC is tried again.
    request.RetryDue = false;
    request.RetriesDone = 0;
    RestUnanswered(request);
    return TExamined::NotDue;
  }
  if (request.RetryDue) return StartTransaction(request);
  if (!request.MethodPoll) {
    if (!request.Timer.IsClear()) return TExamined::NotDue;                // a "once" that was read
    if (platform::Now() < request.OnceResumeAt) return TExamined::NotDue;  // resting after failures
  }
  // With "Send when ready" a request polled without an interval is due again the moment its
  // answer is in, so that the tick asked for at the exchange's end finds it due.
  const uint32_t pollMs =
      FSendWhenReady.load() && request.PollInterval < 1 ? 0 : EffectiveMs(request.PollInterval);
  if (!request.Timer.Expired(pollMs)) return TExamined::NotDue;
  if (IsDemoted(request)) return TExamined::NotDue;  // its PLC is set aside; the others keep their turns
  return StartTransaction(request);
}

TSerialPortDM::TExamined TSerialPortDM::StartTransaction(TRequestItem& request) {
  request.RetryDue = false;
  request.Busy = true;
  request.Timer.Restart();
  request.Sequence = SequenceBase;
  Send(&request);
  return TExamined::Started;
}

void TSerialPortDM::Reset() {
  TimerInterval = kTickMs;
  Queue->SetEnabled(false);
  {
    platform::CriticalSectionGuard gate(FGateLock);
    MinIntervalGate.Clear();
  }
  SequenceBase = 0;
  Queue->Tag = -1;
  try {
    platform::WriteGuard guard(*RequestList);
    // A port opened anew has no session, and every PLC on it a fresh chance.
    DropSession();
    FMailboxSequence = 0;
    FT1 = kOwnT1Ms;
    FDemotions.clear();
    CountDemoted();
    FWakeAt = 0;
    FPeerEotAwaited = false;
    // The port was opened anew: an exchange under way on the old one is over, without an answer
    // and without a time-out to count, and nothing it left in the buffer answers the new ones.
    FLastReq = nullptr;
    DropWaitingFrames(true);
    ResponseData.clear();
    FAnnouncedLength = 0;
    RxBuffer->Clear();
    ForgetArrival();
    TObjectList& list = *static_cast<TObjectList*>(RequestList->GuardedObject());
    for (TObject* object : list) {
      auto* request = static_cast<TRequestItem*>(object);
      request->Busy = false;
      request->RetryDue = false;
      request->RetriesDone = 0;
      request->OnceFailures = 0;
      request->OnceResumeAt = 0;
      request->Timer.Clear();
      if (request->MethodPoll && EffectiveMs(request->PollInterval) < TimerInterval)
        TimerInterval = EffectiveMs(request->PollInterval);
    }
  } catch (...) {
  }
  Queue->SetInterval(TimerInterval);
  Restart();
}

void TSerialPortDM::StartMinIntervalGate() {
  platform::CriticalSectionGuard gate(FGateLock);
  if (MinInterval < 1)
    MinIntervalGate.Clear();
  else
    MinIntervalGate.StartFor(static_cast<uint32_t>(MinInterval));
}

// ---------------------------------------------------------------------------------------------
// Sending

void TSerialPortDM::Send(TRequestItem* request) {
  FLastReq = request;
  ++FTransaction;
  ResponseData.clear();
  FAnnouncedLength = 0;
  FSpoiled = false;
  FNakNoted = false;
  FTransactionStart = platform::Now();
  FPeerEotAwaited = false;
  FCcmRuns.clear();
  FCcmBlocks = 0;
  FCcmHeldBlock.clear();
  FCcmNaks = 0;
  ForgetArrival();
  // No byte received before the opening frame can answer it: whatever is still buffered (a
  // repeated frame, the tail of an answer that came too late) would otherwise be taken for the
  // new transaction's answers.
  RxBuffer->Clear();
  switch (Protocol) {
    case protoCcmMasterSlave:
      SendCcmEnquiry(*request);
      return;
    case protoCcmPeerToPeer:
      request->Step = stOpeningSent;
      Post(*request, TFrameRole::Opening, std::string(1, static_cast<char>(ENQ)));
      return;
    default:
      break;
  }
  const bool snpX = Protocol == protoSnpX;
  if (!snpX && FSpeed.KeepSession) {
    // Each read of a kept session has a sequence number of its own, which the PLC echoes: a
    // reply it repeats for an earlier read is then never taken for this one.
    request->Sequence = FMailboxSequence;
    FMailboxSequence = static_cast<uint8_t>((FMailboxSequence + 1) % 0xFF);
  }
  if (!UseSession(*request)) {
    DropSession();
    OpenSnp(*request, snpX);
    return;
  }
  // The session is open: the read goes out without a break and an attach.
  request->Step = stOpeningSent;
  if (snpX)
    SendSnpXRead(*request, TFrameRole::Opening);
  else
    SendMailboxRead(*request, TFrameRole::Opening);
}

// Queues a frame of the outstanding transaction of `request`, whose state for the frame's step is
// already in place.
void TSerialPortDM::Post(TRequestItem& request, TFrameRole role, std::string bytes, uint8_t previousStep) {
  TOutFrame frame;
  frame.Bytes = std::move(bytes);
  frame.Role = role;
  frame.Request = &request;
  frame.Transaction = FTransaction;
  frame.Step = request.Step;
  frame.PreviousStep = previousStep;
  SetLineTiming(frame);
  platform::CriticalSectionGuard outbox(FOutboxLock);
  FOutbox.push_back(std::move(frame));
}

// An acknowledgement or end of transmission: its failure undoes nothing.
void TSerialPortDM::PostReply(const uint8_t* data, int32_t count) {
  TOutFrame frame;
  frame.Bytes.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(count));
  SetLineTiming(frame);
  platform::CriticalSectionGuard outbox(FOutboxLock);
  FOutbox.push_back(std::move(frame));
}

void TSerialPortDM::FlushOutbox() {
  SendFrames();
  DeliverReports();
}

void TSerialPortDM::SendFrames() {
  {
    platform::CriticalSectionGuard outbox(FOutboxLock);
    // Another call (in this thread further up, or in another thread) is writing: it takes the
    // new frames too, after the one it is writing, so the order of the wire holds.
    if (FFlushing) return;
    FFlushing = true;
  }
  for (;;) {
    TOutFrame frame;
    uint64_t wait = 0;
    {
      platform::CriticalSectionGuard outbox(FOutboxLock);
      if (FOutbox.empty()) {
        FFlushing = false;
        return;
      }
      // A frame that must wait for the line holds back the ones after it; a tick sends it.
      const uint64_t due = DueAt(FOutbox.front());
      if (due > platform::Now()) {
        FFlushing = false;
        wait = due;
      } else {
        frame = std::move(FOutbox.front());
        FOutbox.pop_front();
        if (frame.Role != TFrameRole::LineBreak) FAnswersFrom = FRxReceived.load();
      }
    }
    if (wait != 0) {
      ScheduleWake(wait);
      return;
    }
    FLastHandedAt = platform::Now();
    const bool sent = SendToHost(frame.Bytes);
    FLineActivity = platform::Now();
    if (sent) {
      // A line break is a line condition, not bytes.
      if (frame.Role != TFrameRole::LineBreak) FCounters.BytesSent(static_cast<int32_t>(frame.Bytes.size()));
      if (frame.Role == TFrameRole::Opening) FCounters.RequestSent();
    } else {
      try {
        FrameFailed(frame);
      } catch (...) {
      }
    }
  }
}

// Hands bytes (or a command such as the line break) to the host for the port.
bool TSerialPortDM::SendToHost(const std::string& bytes) {
  if (!FOwner) return false;
  try {
    return FOwner->SendToPort(DataSourceId, reinterpret_cast<const uint8_t*>(bytes.data()),
                              static_cast<int32_t>(bytes.size())) >= 0;
  } catch (...) {
    return false;
  }
}

// A frame the host could not write. Unless the exchange has moved on since it was posted (its
// answer came anyway, or a newer transaction began), the step it began is undone.
void TSerialPortDM::FrameFailed(const TOutFrame& frame) {
  if (frame.Role == TFrameRole::LineBreak || frame.Role == TFrameRole::Reply) return;
  platform::WriteGuard guard(*RequestList);
  if (FLastReq != frame.Request || FTransaction != frame.Transaction) return;
  TRequestItem& request = *FLastReq;
  if (request.Step != frame.Step || !request.Busy) return;
  if (frame.Role == TFrameRole::Request) request.Step = frame.PreviousStep;
  SendFailed(request);
}

void TSerialPortDM::DropWaitingFrames(bool replies) {
  platform::CriticalSectionGuard outbox(FOutboxLock);
  std::erase_if(FOutbox, [replies](const TOutFrame& frame) { return replies || frame.Request != nullptr; });
}

// A failed send leaves the request idle with a clear stopwatch, so the next tick tries again.
// The frame never reached the PLC: that costs no repeat and gives none back (the repeats done so
// far stay, and the attempt that reaches the line next takes this one's place, so the PLC still
// gets one try and at most Retries repeats), and it is no failure of the PLC's (nothing
// counts towards its demotion).
void TSerialPortDM::SendFailed(TRequestItem& request) {
  request.Busy = false;
  DropWaitingFrames(false);
  request.Timer.Clear();
  DropSession();
  ReportFailure(request, TTransactionFailure::SendFailed);
}

// ---------------------------------------------------------------------------------------------
// Failures and counting

// Kept until the engine's locks are released (DeliverReports): the plug-in's log hands the line
// to the host, which may answer with a command that refills this very queue.
void TSerialPortDM::ReportFailure(const TRequestItem& request, TTransactionFailure cause, uint16_t plcError) {
  if (!FOwner) return;
  try {
    platform::CriticalSectionGuard outbox(FOutboxLock);
    FReports.push_back(TFailureReport{request, cause, plcError});
  } catch (...) {
    // A diagnosis that cannot be kept must not change what the engine does.
  }
}

void TSerialPortDM::DeliverReports() {
  for (;;) {
    std::optional<TFailureReport> report;
    {
      platform::CriticalSectionGuard outbox(FOutboxLock);
      if (FReports.empty()) return;
      report.emplace(std::move(FReports.front()));
      FReports.pop_front();
    }
    try {
      if (FOwner)
        FOwner->TransactionFailed(DataSourceId, DataSourceName, report->Request, report->Cause,
                                  report->PlcError);
    } catch (...) {
      // A diagnosis that cannot be written must not change what the engine does.
    }
  }
}

// A request whose transaction ended without an answer taken. A "once" request is read again: a
// value read only at start-up must not be lost for the whole run because the PLC was silent or
// the line noisy just then. But a PLC that is gone would otherwise be tried at every turn, each
// try holding the line for a time-out: it rests "Demote for" after its first failure, and twice
// as long after each further one, so over time it costs the others hardly more than one try.
void TSerialPortDM::RestUnanswered(TRequestItem& request) {
  if (request.MethodPoll) return;
  request.Timer.Clear();
  const int32_t doublings = std::min(request.OnceFailures, kOnceRestDoublings);
  request.OnceFailures = std::min(request.OnceFailures + 1, kOnceRestDoublings + 1);
  const uint64_t rest =
      std::min<uint64_t>(static_cast<uint64_t>(FSpeed.DemoteFor) << doublings, kOnceRestMaxMs);
  request.OnceResumeAt = platform::Now() + rest;
}

// A "once" request the PLC refused has still no value: unless the PLC refuses the read itself
// (it would refuse it again), it is read again after the same growing rest as an unanswered one.
// `onceFailures` is the count from before the refusal, which as an answer cleared it.
void TSerialPortDM::RestRefused(TRequestItem& request, int32_t onceFailures, uint16_t plcError) {
  if (request.MethodPoll) return;
  if (PlcErrorIsPermanent(static_cast<uint8_t>(plcError >> 8), static_cast<uint8_t>(plcError & 0xFF))) return;
  request.OnceFailures = onceFailures;
  RestUnanswered(request);
}

// Ends the outstanding transaction at once: its answers cannot be taken (they overrun or do not
// fit the read), or the PLC answered with an error. The next request goes out at the next tick.
void TSerialPortDM::FailTransaction(TRequestItem& request, TTransactionFailure cause, uint16_t plcError) {
  DropSession();
  request.Busy = false;
  request.Step = stIdle;
  DropWaitingFrames(false);
  ResponseData.clear();
  FAnnouncedLength = 0;
  if (FLastReq == &request) FLastReq = nullptr;
  // An error answer is an answer: the PLC is there, and a repeat now would be refused the same.
  if (cause == TTransactionFailure::PlcError) {
    ReportFailure(request, cause, plcError);
    const int32_t onceFailures = request.OnceFailures;
    TransactionAnswered(request);
    RestRefused(request, onceFailures, plcError);
    ExchangeEnded();
    return;
  }
  if (Retry(request)) return;
  ReportFailure(request, cause, plcError);
  RestUnanswered(request);
  ExchangeEnded();
}

// Trouble met by the outstanding transaction's answers; the first one names the failure.
void TSerialPortDM::NoteTrouble(TTransactionFailure cause) {
  // Whatever spoiled the exchange may have thrown the PLC's side of the session off too.
  DropSession();
  if (FSpoiled) return;
  FSpoiled = true;
  FSpoiledBy = cause;
}

// A search's result, with the frames it gives up for a failed check counted. Every handler
// consumes what such a result gives up, so each spoiled frame is counted once.
TFrameMatch TSerialPortDM::Counted(const TFrameMatch& match) {
  if (match.CheckFailures > 0) {
    FCounters.ChecksFailed(match.CheckFailures);
    NoteTrouble(TTransactionFailure::CheckFailed);
  }
  return match;
}

TTransactionFailure TSerialPortDM::TimeoutCause(const TRequestItem& request) const {
  if (FSpoiled && FLastReq == &request) return FSpoiledBy;
  return request.Step == stAwaitingData ? TTransactionFailure::DataTimeout
                                        : TTransactionFailure::HandshakeTimeout;
}

// ---------------------------------------------------------------------------------------------
// Receive path

int TSerialPortDM::ReceiveData(TPluginCallRecIntft& record) {
  if (!FOwner || !FOwner->HasSettings()) return kResultRefused;
  if (FOwner->IsUnloaded()) return kResultDone;
  const TPluginCallRec& rec = *record.Rec;
  // Only the engine that serves the data source now takes its bytes: one that a change of state
  // replaced after the data call found it has no exchange left to take them in, and another
  // engine would be reached without the reference that keeps it alive.
  if (FOwner->FindEngine(rec.DataSourceId) != this) return kResultDone;
  if (!(rec.Flags & kDataFlagPortBytes) || !FOwner->IsStateFlagSet(1)) return kResultDone;
  try {
    ProcessReceived(record, reinterpret_cast<const uint8_t*>(rec.DataIn.Value), rec.DataIn.Size);
  } catch (...) {
    // Framing trouble is never reported; the request times out and is tried again.
  }
  return kResultDone;
}

void TSerialPortDM::ProcessReceived(TPluginCallRecIntft& record, const uint8_t* data, int32_t size) {
  if (data) FCounters.BytesReceived(size);
  if (data && size > 0) FLineActivity = platform::Now();
  std::vector<TDecodedPacket> packets;
  try {
    ProcessLocked(record, data, size, packets);
  } catch (...) {
    DeliverPackets(record, packets);
    FlushOutbox();
    throw;
  }
  // The packets, and what the answers called for, go out once the locks are released: a host
  // that hands the next answer over before its send returns finds the receive path free.
  DeliverPackets(record, packets);
  FlushOutbox();
}

void TSerialPortDM::DeliverPackets(TPluginCallRecIntft& record, std::vector<TDecodedPacket>& packets) {
  for (TDecodedPacket& packet : packets) {
    bool delivered = false;
    try {
      FOwner->DeliverPacket(record, *packet.List);
      delivered = true;
    } catch (...) {
      // The answer is taken either way: a failed delivery must not make it count twice.
    }
    if (delivered) {
      FCounters.AnswerDecoded();
      FCounters.RoundTrip(packet.RoundTripMs);
    }
  }
  packets.clear();
}

void TSerialPortDM::ProcessLocked(TPluginCallRecIntft& record, const uint8_t* data, int32_t size,
                                  std::vector<TDecodedPacket>& packets) {
  platform::ReadGuard queueGuard(*RequestList);
  // The buffer's lock is held from here on, so the receive state (buffer, collected data,
  // outstanding request's steps) belongs to one data call at a time.
  TFIFODataLock rxGuard(*RxBuffer);
  if (LastReceive.Expired(kReceiveGapMs)) {
    // Bytes left over from an exchange long ago never join new ones.
    RxBuffer->Clear();
    ResponseData.clear();
  }
  LastReceive.Restart();
  if (FLastReq && static_cast<TObjectList*>(RequestList->GuardedObject())->IndexOf(FLastReq) < 0)
    FLastReq = nullptr;  // its queue was refilled meanwhile
  if (!FLastReq) NotePeerEot(data, size);
  if (!FLastReq || size <= 0 || !data) return;
  RxBuffer->Write(data, size);
  FRxReceived += static_cast<uint64_t>(size);
  TReceiveContext rx{record, rxGuard.Data(), 0, &packets};
  while (FLastReq) {
    // Bytes in the buffer came before a frame still waiting for the line (one just posted for
    // an answer in this very block, one held for the line's gaps): none of them answers it.
    if (FrameAwaitsHandOver()) break;
    DropBytesBeforeHandOver();
    rx.Size = RxBuffer->DataSize();
    if (rx.Size == 0) break;
    int32_t consumed = -1;
    try {
      consumed = HandleAnswer(rx);
    } catch (...) {
      // The frame may have been acted on already: it must not be taken a second time.
      RxBuffer->Clear();
      ForgetArrival();
      throw;
    }
    if (consumed < 0) break;
    RxBuffer->Discard(consumed + 1);
    if (RxBuffer->DataSize() == 0) break;
  }
  NoteArrival(rxGuard.Data(), RxBuffer->DataSize());
  // What followed a peer's last block in the same call.
  if (!FLastReq) NotePeerEot(rxGuard.Data(), RxBuffer->DataSize());
}

bool TSerialPortDM::FrameAwaitsHandOver() {
  platform::CriticalSectionGuard outbox(FOutboxLock);
  return std::any_of(FOutbox.begin(), FOutbox.end(),
                     [](const TOutFrame& frame) { return frame.Role != TFrameRole::LineBreak; });
}

// Under the receive buffer's lock. Whatever they hold (the start of a frame among them) is noise
// now: what answers the last frame begins after them.
void TSerialPortDM::DropBytesBeforeHandOver() {
  const int32_t buffered = RxBuffer->DataSize();
  const uint64_t front = FRxReceived.load() - static_cast<uint64_t>(buffered);
  const uint64_t from = FAnswersFrom.load();
  if (from > front) RxBuffer->Discard(static_cast<int32_t>(std::min<uint64_t>(from - front, buffered)));
}

int32_t TSerialPortDM::HandleAnswer(TReceiveContext& rx) {
  TRequestItem& request = *FLastReq;
  switch (Protocol) {
    case protoCcmMasterSlave:
      if (request.Step == stAwaitingData) return CcmDataBlock(rx, request);
      if (request.Step == stOpeningSent || request.Step == stHeaderSent || request.Step == stAwaitingEot)
        return CcmMasterAnswer(rx, request);
      return -1;
    case protoCcmPeerToPeer:
      if (request.Step == stAwaitingData) return CcmDataBlock(rx, request);
      if (request.Step == stOpeningSent || request.Step == stHeaderSent) return CcmPeerAnswer(rx, request);
      return -1;
    default:
      return SnpAnswer(rx, request);
  }
}

TFrameMatch TSerialPortDM::Search(TReceiveContext& rx, uint8_t startChar, TEndChars endChars,
                                  int32_t maxLength, TCheckKind check) {
  return FindFrameIn(rx.Data, rx.Size, startChar, endChars, maxLength, check);
}

// The PLC refused the opening with NAK: the request rests until it is due again. A refusal is an
// answer: its PLC is alive, so it is not set aside for it, else a read it always refuses would keep
// its other reads off the line.
void TSerialPortDM::Refuse() {
  if (!FLastReq) return;
  FCounters.NakReceived();
  TRequestItem& request = *FLastReq;
  request.Busy = false;
  request.Step = stRefused;
  FLastReq = nullptr;
  ResponseData.clear();
  if (FDemotions.erase(TargetKey(request)) != 0) CountDemoted();
  if (Retry(request, false)) return;
  ReportFailure(request, TTransactionFailure::Nak);
  RestUnanswered(request);
  ExchangeEnded();
}

// The last frame of an answer is in: decode what was collected and hand it to the host.
void TSerialPortDM::Complete(TReceiveContext& rx, const std::string& packetText) {
  if (FLastReq) TransactionAnswered(*FLastReq);
  // A CCM master still awaits the slave's EOT and answers it with its own; a peer's target ends
  // with its EOT.
  if (!FPeerEotAwaited.load() && (!FLastReq || FLastReq->Step != stAwaitingEot)) ExchangeEnded();
  auto list = std::make_unique<TParsedDataList>();
  if (Decode(FLastReq, *list) > 0) {
    list->PacketText = packetText;
    const uint64_t now = platform::Now();
    TDecodedPacket packet{std::move(list), now > FTransactionStart ? now - FTransactionStart : 0};
    if (rx.Packets) {
      rx.Packets->push_back(std::move(packet));
    } else {
      std::vector<TDecodedPacket> single;
      single.push_back(std::move(packet));
      DeliverPackets(rx.Record, single);
    }
  }
  StartMinIntervalGate();
}

int TSerialPortDM::Decode(TRequestItem* request, TParsedDataList& list) {
  if (Queue) Queue->SetEnabled(false);
  int count = 0;
  TRequestItem* found = nullptr;
  {
    InstanceGuard instance(*FOwner);
    try {
      {
        platform::ReadGuard guard(*RequestList);
        auto& queue = *static_cast<TObjectList*>(RequestList->GuardedObject());
        if (request && queue.IndexOf(request) >= 0) found = request;
      }
      if (found) {
        found->Timer.Restart();
        if (!ResponseData.empty()) {
          const std::string data = ResponseData;
          count += FOwner->AddStandardFields(list, data, DataSourceId, DataSourceName, DataSourceFullName);
          std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(data.data()), data.size());
          count += DecodeResponseItems(*found, bytes, Protocol, FOwner->LocalAddress(), list);
        }
      }
    } catch (...) {
      // What was decoded before the failure is handed on.
    }
    if (found) {
      found->Busy = false;
      found->Timer.Restart();
    }
    ResponseData.clear();
  }
  if (count > 0) list.AddNewRow();
  Restart();
  return count;
}

}  // namespace kelda
