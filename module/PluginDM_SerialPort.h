// The protocol engine TSerialPortDM: one per data source (one serial port of the host). It owns
// the request queue and sends the requests in turn from a 50 ms timer, receives the bytes the host
// read from the port, drives the CCM, SNP and SNP-X transaction steps with them and decodes each
// complete answer into a row of named values for the host.
//
// Threads and locks: the scheduler tick runs in the thread that created the engine (the timer's
// thread) and holds the queue's write lock while it examines a request and starts its
// transaction.

// Life: the plug-in holds its engines by counted references (std::shared_ptr, made by
// MakeShared), and so does whoever works on one without the plug-in's engines lock: a data call,
// a command, a tick (its timer's handler holds the engine for the tick's run). Whoever lets the
// last reference go ends the engine there, and the end never waits for another thread: the
// timer is ended in its owner thread, at once when that is the calling thread or the thread is
// gone, else at its next dispatch (EndTimer). A retired engine starts nothing more, and its
// tick no longer reaches the plug-in, which may be gone by then. An engine that no counted
// reference owns (tests, tools) is freed directly, and its destruction waits for a tick under
// way. The receive path runs in the host's
// data-call thread and holds, in this order, the queue's read lock, the receive buffer's lock and, for the
// decode, the plug-in's instance lock. So a tick and the processing of received bytes never overlap.
//
// Frames are not written under those locks. Each step puts its state in place (step, stopwatch,
// emptied buffer) and posts its frame to the engine's outbox; the frame goes to the host once the
// locks are released. A host may therefore hand the PLC's answer to a data call before its send
// returns, from the same thread or another one, and the answer finds the exchange ready for it.
// One thread at a time writes the outbox to the host, in the order the frames were posted, so
// frames of the tick and of data calls never interleave; a send that fails undoes the step it
// began, unless the exchange has moved on meanwhile. The plug-in is called back the same way:
// failures to report and decoded packets wait in the engine until its locks are released, so
// whatever the host does inside those calls (a command that refills this queue, a data call)
// finds no lock of the engine held.
//
// Each engine counts its transactions, failures and bytes (TEngineCounters, lock-free); the
// counters live as long as the engine, so they survive every rebuild of its request queue.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Common/Component.h"
#include "Common/FIFOStream.h"
#include "Common/Thread_ObjectList.h"
#include "Common/zorTimeout.h"
#include "module/PluginDM.h"
#include "module/PluginDM_FrameSearch.h"
#include "module/PluginDM_Statistics.h"
#include "platform/Sync.h"

namespace kelda {

class TzorTimerEx;
class TParsedDataList;
class TPluginCallRecIntft;
class TSerialPortDM;

// Transaction steps of a request.
enum TStep : uint8_t {
  stIdle = 0,          // no transaction under way, or the last one completed
  stRefused = 1,       // the PLC answered the opening with NAK
  stOpeningSent = 2,   // CCM: enquiry sent; SNP/SNP-X: attach sent
  stMailboxSent = 3,   // SNP: mailbox read request sent
  stHeaderSent = 4,    // CCM: header sent, acknowledgement awaited
  stAwaitingData = 5,  // data awaited (the request's Timeout applies)
  stAwaitingEot = 6,   // CCM master to slave: last block taken, the slave's EOT awaited
};

// What the engine needs of the plug-in that owns it.
class ISerialPortOwner : public IRequestQueuePlugin {
public:
  // False until the plug-in has its settings object; data calls are refused until then.
  virtual bool HasSettings() const = 0;
  // The module's own link address setting (spLocalAddress.Value).
  virtual double LocalAddress() const = 0;
  // Asks the host to write the bytes to the port of a data source; a negative answer is a failure.
  virtual int32_t SendToPort(int32_t dataSourceId, const uint8_t* data, int32_t count) = 0;
  // The engine that serves a data source, or none.
  virtual TSerialPortDM* FindEngine(int32_t dataSourceId) = 0;
  // Keeps the plug-in alive for the run of a tick; false when it is already being freed, and the
  // tick then does nothing. Each true answer is matched by one ReleaseFromTick at the tick's end,
  // which may free the plug-in in the tick's thread.
  virtual bool HoldForTick() { return true; }
  virtual void ReleaseFromTick() {}
  // The plug-in's own exclusive lock, under which decodes of one instance never overlap.
  virtual void LockInstance() = 0;
  virtual void UnlockInstance() = 0;
  // Adds the standard packet items for a decoded answer; returns how many it added.
  virtual int AddStandardFields(TParsedDataList& list, const std::string& data, int32_t dataSourceId,
                                const std::string& name, const std::string& fullName) = 0;
  // Hands a decoded packet to the host in the call record of the running data call. Called
  // with none of the engine's locks held.
  virtual void DeliverPacket(TPluginCallRecIntft& record, TParsedDataList& list) = 0;
  // A transaction of `request` ended without its answer. The plug-in logs it only when asked
  // to: framing trouble is normal on a noisy line and is not logged by default. Called with
  // none of the engine's locks held, once the tick or data call that met the failure is done
  // with its exchange; `request` is a copy.
  // `plcError` is the PLC's own error of a PlcError failure: major status in the high byte,
  // minor in the low one.
  virtual void TransactionFailed(int32_t dataSourceId, const std::string& dataSourceName,
                                 const TRequestItem& request, TTransactionFailure cause,
                                 uint16_t plcError) = 0;

protected:
  ~ISerialPortOwner() = default;
};

class TSerialPortDM : public TComponent,
                      public IRequestQueueEngine,
                      public std::enable_shared_from_this<TSerialPortDM> {
public:
  // The longest frame GE allows is a text buffer of a Series 90-70 at its largest data size
  // (8 KB and the 8 bytes around it); the receive buffer holds two of them.
  static constexpr int32_t kSnpTextMaxData = 8192;
  static constexpr int32_t kRxBufferSize = 16384;
  static constexpr int32_t kRxDiscardChunk = 64;
  static constexpr uint32_t kTickMs = 50;
  static constexpr uint32_t kReceiveGapMs = 64000;
  static constexpr int32_t kCcmBlockMaxLength = 260;
  static constexpr int32_t kCcmBlockSize = 256;
  // A CCM read without a size still ends: no header can ask for more bytes than this.
  static constexpr int32_t kCcmUnsizedLimit = 0xFFFF;
  static constexpr int32_t kSnpFrameMaxLength = 1100;
  static constexpr int32_t kSnpOpeningMinBytes = 24;

  // GE's line timing, kept with either speed setting on (TSpeedSettings::Timed).
  static constexpr uint32_t kBreakMs = 100;  // the line break the host makes of kBreakCommand
  static constexpr uint32_t kT4Ms = 50;      // quiet line after the break before an attach
  static constexpr uint32_t kOwnT1Ms = 10;   // the T1 our SNP attach offers ("0A00")
  static constexpr uint32_t kMaxT1Ms = 1000;
  // SNP-X defines no turnaround: the next request may follow the response at once. The engine
  // sees the response's last byte only after the host's port has received it and handed it
  // over, so the PLC has finished sending by then, and the line is free for the master.
  static constexpr uint32_t kSnpXGapMs = 0;
  // CCM, both modes: a transaction ends with an EOT, and GE's stations expect the next enquiry
  // right after it. Master to slave the last EOT is the master's own, which the port sends
  // before the enquiry that follows it; peer to peer it is the target's, already received. A
  // slave delays its answer to an enquiry and drops it when more characters follow the
  // enquiry, which concerns nobody's characters before it. The module does not know the
  // line's rate, so no gap counted in character times could be kept anyway.
  static constexpr uint32_t kCcmGapMs = 0;
  // CCM peer to peer: a target that sends no EOT after its last block is given this much quiet
  // line after the last character either way instead. It is counted from our ACK's hand-over,
  // so it covers the ACK's and the EOT's own time on the wire and GE's 4 character times of
  // turnaround at 300 baud, the slowest rate CCM runs at (6 characters of 11 bits, 220 ms): a
  // target's late EOT is never overtaken by the next enquiry. A target that keeps to GE ends
  // with its EOT, and the wait costs it nothing.
  static constexpr uint32_t kCcmPeerEotWaitMs = 220;
  // A kept session is used only while the line has been idle for less than this. The shortest
  // link idle time (T3') a GE CPU has by default is 5 s (Series 90-70); the engine sees the line
  // later than the PLC does (the host's data call, the timer's grain, the next request's own
  // wire time: 40 bytes take 370 ms at 1200 baud), so it keeps 2 s of that for them.
  static constexpr uint32_t kSessionIdleMs = 3000;
  // A read-once request that failed rests before it is tried again: "Demote for" at first, twice
  // as long after each further failure, never longer than an hour.
  static constexpr int32_t kOnceRestDoublings = 32;
  static constexpr uint64_t kOnceRestMaxMs = 3600000;

  // The engine belongs to `component` (none when counted references own it) and works for
  // `owner` (the plug-in's engine view).
  TSerialPortDM(TComponent* component, ISerialPortOwner* owner);
  ~TSerialPortDM() override;
  // An engine owned by counted references, made in the thread whose message loop runs its timer.
  static std::shared_ptr<TSerialPortDM> MakeShared(ISerialPortOwner* owner);

  // --- scheduler
  void QueueTick();  // the queue timer's tick handler
  void Restart() override;
  // The plug-in's "PORT-OPEN": every request, once-only ones included, is sent again.
  void RequestReset(uint8_t code);
  // The plug-in took the engine out of its list: it starts nothing more, whoever still holds it,
  // and its ticks no longer reach the plug-in.
  void Retire();
  // Whether the thread that runs the timer has ended, or has not dispatched a tick that was due
  // for kStalledMs: the engine then polls no more until it is replaced.
  bool TimerThreadStopped() const;
  uint32_t TimerThread() const;  // the id of the thread whose message loop runs the timer
  static constexpr uint64_t kStalledMs = 5000;

  // --- request queue loader
  void StopQueueTimer() override;
  void ClearLastRequest() override;
  void SetMinInterval(int32_t ms) override { MinInterval = ms; }
  void SetProtocol(uint8_t protocol) override;
  void SetSpeed(const TSpeedSettings& speed) override;
  const TSpeedSettings& Speed() const { return FSpeed; }
  // SNP, SNP-X: whether a session is kept open for the next read, and the T1 of the last attach.
  bool SessionKept() const { return FSessionOpen; }
  uint32_t NegotiatedT1() const { return FT1.load(); }
  // The interval the scheduler's timer runs at next: the tick interval, shortened to wake the
  // engine for a frame that waits for the line or for the next request ("Send when ready");
  // 0 when the engine has asked its timer for a tick at once.
  uint32_t NextTickMs() const;

  // --- sending
  void Send(TRequestItem* request);  // starts a transaction (under the queue's write lock)
  // Writes the frames posted so far to the host, unless another call is doing so (it then
  // writes them too). Called with none of the engine's locks held.
  void FlushOutbox();

  // --- receive path: the handler of the plug-in's data calls. Answers the call's result code.
  int ReceiveData(TPluginCallRecIntft& record);

  // --- the frame of the outstanding exchange that has begun to arrive (SNP and SNP-X, whose
  // frames tell their length): where its start lies, how many of its bytes are in and how many
  // it has in all. Under the queue's lock.
  TFrameProgress ArrivingFrame() const;

  // --- statistics: readable from any thread at any time.
  TEngineStatistics Statistics() const { return FCounters.Read(); }

  // Published fields.
  TRequestItem* FLastReq = nullptr;
  std::unique_ptr<TThreadObjectList> RequestList;
  ISerialPortOwner* FOwner;
  TzorTimerEx* Queue = nullptr;  // owned as a component; tag: queue position of the current request

  int16_t SequenceBase = 0;
  int32_t DataSourceId = 0;
  std::string DataSourceName;
  std::string DataSourceFullName;
  TzorTimeout MinIntervalGate;
  std::atomic<uint8_t> ResetRequest{0};
  // Written by the tick, read by data calls that restart the timer.
  std::atomic<uint32_t> TimerInterval{kTickMs};
  int32_t MinInterval = 0;
  uint8_t Protocol = protoCcmMasterSlave;
  TzorTimeout LastReceive;
  std::string ResponseData;  // bytes
  std::unique_ptr<TFIFOStream> RxBuffer;

private:
  // What a frame is to the exchange, which says what its failed send undoes.
  enum class TFrameRole : uint8_t {
    LineBreak,  // nothing: the attach after it decides
    Opening,    // the transaction: the request rests, its stopwatch cleared, and is tried again
    Request,    // the step it began: as Opening, and the step goes back
    Reply,      // nothing: the PLC repeats or the step times out
  };
  struct TOutFrame {
    std::string Bytes;
    TFrameRole Role = TFrameRole::Reply;
    TRequestItem* Request = nullptr;  // compared with FLastReq only, never followed unless equal
    uint64_t Transaction = 0;
    uint8_t Step = 0;          // the step the frame began
    uint8_t PreviousStep = 0;  // the step before it
    // When the frame may leave, with GE's timing kept: this long after the previous frame was
    // handed to the host (the attach after a break), and this long after the line was last
    // busy either way (T1, the gap before a request).
    uint32_t AfterHandedMs = 0;
    uint32_t QuietMs = 0;
  };

  // SNP: the length of the next text buffer as the frame before it announced it; 0 for none.
  int32_t FAnnouncedLength = 0;
  // Bytes ever written to RxBuffer, so that the position of its first unread byte in the stream
  // of received bytes is known: the SNP frame search goes on from call to call while it stays.
  // Written under the queue's lock and the receive buffer's; the outbox writer reads it too.
  std::atomic<uint64_t> FRxReceived{0};
  TSizedFrameSearch FSnpFrames;
  // CCM: which reading of the data blocks' LRC a station uses, by station number. Framed (STX to
  // ETX) is presumed until a station shows otherwise. The two readings of a last block differ in
  // bit 0 alone (STX ^ ETX), so one flipped bit turns either into the other: a last block that
  // passes only the other reading is refused with NAK, and GE's slave sends it again; only the
  // same block twice proves the other reading. Those of a full block differ in three bits
  // (STX ^ ETB), so a full block tells the reading at once. Under the queue's lock.
  enum class TCcmLrcReading : uint8_t { Framed, DataOnly };
  static constexpr int kCcmBlockNaks = 3;  // GE's data block retries
  std::map<uint8_t, TCcmLrcReading> FCcmReadings;
  // The outstanding sized CCM read's full blocks, as runs of equal blocks, and its last block
  // refused for its reading with how often. A block equal to the one before it is the slave's
  // repeat of a block whose ACK it missed, or the next block holding the same bytes: the count
  // the header asked for tells, once the last block is in.
  std::vector<std::pair<std::string, int32_t>> FCcmRuns;
  int32_t FCcmBlocks = 0;  // full blocks received, repeats included
  std::string FCcmHeldBlock;
  int FCcmNaks = 0;
  // Numbers the transactions, under the queue's lock, so that a late failed send never undoes a
  // newer exchange.
  uint64_t FTransaction = 0;
  platform::TCriticalSection FOutboxLock;
  std::deque<TOutFrame> FOutbox;  // under FOutboxLock
  bool FFlushing = false;         // under FOutboxLock: a call is writing the outbox
  // The minimum-interval gate is started by the receive path and tested by the tick, which
  // run in different threads without a common lock at that point.
  platform::TCriticalSection FGateLock;
  // A tick takes the plug-in under this lock, and retirement is set under it: so a tick of an
  // engine the plug-in let go never touches the plug-in, which may be gone. Held only briefly.
  platform::TCriticalSection FOwnerLock;
  std::atomic<bool> FRetired{false};  // written under FOwnerLock
  bool FCounted = false;              // made by MakeShared
  // Since when the timer has been on without a tick (0: off, or a tick came since).
  std::atomic<uint64_t> FTickWantedSince{0};
  // What the plug-in is told once the engine's locks are released: failures met and packets
  // decoded, in the order they came.
  struct TFailureReport {
    TRequestItem Request;
    TTransactionFailure Cause;
    uint16_t PlcError;
  };
  std::deque<TFailureReport> FReports;  // under FOutboxLock
  struct TDecodedPacket {
    std::unique_ptr<TParsedDataList> List;
    uint64_t RoundTripMs = 0;
  };

  TEngineCounters FCounters;

  // Speed settings and what they keep. Session, sequence and demotions are under the queue's
  // lock like the outstanding transaction; the line times are read by the outbox writer too.
  TSpeedSettings FSpeed;
  std::atomic<bool> FSendWhenReady{false};  // FSpeed.SendWhenReady, for the tick outside the lock
  bool FSessionOpen = false;
  std::array<uint8_t, 8> FSessionId{};
  uint8_t FMailboxSequence = 0;  // SNP with kept sessions: each read's own sequence number
  std::atomic<uint32_t> FT1{kOwnT1Ms};
  // The last bytes from the line or frame handed to it. The line's gaps (T1, the gap before a
  // request) are counted from here, not from the wire: DataLogger_SendDataEx says only that the
  // host took the bytes, not when the last of them left the port, and the port's rate is the
  // host's, so the engine cannot work out the wire's end. After the PLC's frame that errs on
  // the safe side (the data call comes after the wire's end); after a frame of our own, a host
  // that returns from its write before the bytes are out shortens the gap by what is still
  // being sent. Two frames of ours follow each other only at the attach, which waits from the
  // break's request for the break and T4, and where a closing frame of ours (the CCM master's
  // EOT, the last ACK of a kept SNP session) is followed by the next request.
  std::atomic<uint64_t> FLineActivity{0};
  std::atomic<uint64_t> FLastHandedAt{0};  // when the last frame was handed to the host
  // No byte that came before a frame was handed to the host can answer it: the PLC had not seen
  // the frame yet (a frame the line repeats, the tail of an exchange given up). Positions count
  // the bytes ever written to RxBuffer (FRxReceived), and where the answers to the last frame handed over may
  // begin (set under FOutboxLock as the frame leaves the outbox, before the host is called, so that a host
  // that hands the answer over before its send returns finds it in place).
  std::atomic<uint64_t> FAnswersFrom{0};
  std::atomic<uint64_t> FWakeAt{0};  // a tick is wanted then; 0 for none
  // CCM peer to peer with "Send when ready": the last block was taken and acknowledged, and the
  // target's EOT that ends the exchange has not been seen yet.
  std::atomic<bool> FPeerEotAwaited{false};
  // Until then at most, whatever the line does: bytes that are no EOT (noise, a spoiled EOT) must
  // not hold the next enquiry back for ever.
  std::atomic<uint64_t> FPeerEotLatest{0};
  struct TDemotion {
    int32_t Failures = 0;  // failed transactions in a row
    bool Demoted = false;  // set aside until Until, then on trial for one transaction
    uint64_t Until = 0;
  };
  std::map<std::string, TDemotion> FDemotions;  // by target address
  // The outstanding transaction, under the queue's lock (written by Send under the write lock,
  // by the receive path under the read lock and the receive buffer's lock): when its first
  // frame went out, and the first trouble its answers met, which names the failure should the
  // transaction then time out.
  uint64_t FTransactionStart = 0;
  bool FSpoiled = false;
  TTransactionFailure FSpoiledBy = TTransactionFailure::CheckFailed;
  bool FNakNoted = false;   // SNP: a NAK without a known code was counted
  int FMailboxResends = 0;  // SNP: times the PLC's NAK had the read's mailbox sent again
  // SNP-X: the outstanding read went out in a kept session, without an attach of its own.
  bool FSnpXReadInKeptSession = false;
  // The data step's frame that is still arriving (its start is in, its length not yet reached),
  // under the queue's lock like the transaction. Positions count the bytes ever written to
  // RxBuffer, so that a frame keeps its position while the bytes before it are consumed.
  struct TArrival {
    bool Arriving = false;
    uint64_t At = 0;         // the position of its start character
    int32_t Bytes = 0;       // of its bytes received so far
    uint64_t FirstSeen = 0;  // the data call that brought its start
    int32_t FirstBytes = 0;  // of its bytes that call brought
    uint64_t LastGrew = 0;   // the data call that last added to it
  };
  TArrival FArrival;
  // SNP-X: the character time the PLC's answers show on the line, and the last answer's length.
  std::atomic<uint32_t> FSnpXCharUs{0};
  std::atomic<int32_t> FSnpXAnswerBytes{0};
  uint64_t FArrivalScanned = 0;  // no frame that may still complete starts before this position
  uint64_t FDeferredRun = 0;     // Timer.Start of the data step whose time-out a frame deferred
  uint64_t FDeferredFrame = 0;   // that frame's position + 1
  // 300 baud, GE's slowest, at 11 bits a character: a frame arriving slower is none.
  static constexpr uint64_t kSlowestLineByteMs = 37;

  // A data call's context while its bytes are processed: where packets go.
  struct TReceiveContext {
    TPluginCallRecIntft& Record;
    const uint8_t* Data;  // the unread bytes of RxBuffer, under its lock
    int32_t Size;
    std::vector<TDecodedPacket>* Packets = nullptr;  // delivered once the locks are released
  };

  // scheduler
  enum class TExamined : uint8_t { Waiting, Finished, Started, NotDue };
  void Reset();
  bool HoldOwner();
  void GuardedTick();
  void RunTick();
  TExamined ExamineRequest(int32_t index, bool mayStart);
  TExamined StartTransaction(TRequestItem& request);
  void StartMinIntervalGate();

  // speed settings: kept sessions, line timing, retries, demotion
  bool UseSession(const TRequestItem& request) const;
  void OpenSession(const TRequestItem& request);
  void DropSession() { FSessionOpen = false; }
  void NoteAttachT1(const uint8_t* field);
  uint32_t GapMs() const;
  void SetLineTiming(TOutFrame& frame) const;
  uint64_t DueAt(const TOutFrame& frame) const;
  void ScheduleWake(uint64_t at);
  void ClearPassedWake();
  void ExchangeEnded();
  bool LastExchangeOver();
  void AwaitPeerEot(const TRequestItem& request);
  void NotePeerEot(const uint8_t* data, int32_t size);
  bool Retry(TRequestItem& request, bool countsAgainstPlc = true);
  bool AttemptFailed(const TRequestItem& request);
  void TransactionAnswered(TRequestItem& request);
  std::string TargetKey(const TRequestItem& request) const;
  bool IsDemoted(const TRequestItem& request) const;
  uint32_t CountDemoted();  // publishes and answers how many PLCs are set aside

  // failures and counting
  void ReportFailure(const TRequestItem& request, TTransactionFailure cause, uint16_t plcError = 0);
  void DeliverReports();  // with none of the engine's locks held
  void RestUnanswered(TRequestItem& request);
  void RestRefused(TRequestItem& request, int32_t onceFailures, uint16_t plcError);
  void FailTransaction(TRequestItem& request, TTransactionFailure cause, uint16_t plcError = 0);
  void NoteTrouble(TTransactionFailure cause);
  TFrameMatch Counted(const TFrameMatch& match);
  TTransactionFailure TimeoutCause(const TRequestItem& request) const;

  // sending
  void Post(TRequestItem& request, TFrameRole role, std::string bytes, uint8_t previousStep = 0);
  void PostReply(const uint8_t* data, int32_t count);
  void PostChar(uint8_t value) { PostReply(&value, 1); }
  bool SendToHost(const std::string& bytes);
  void SendFrames();
  void SendFailed(TRequestItem& request);
  void FrameFailed(const TOutFrame& frame);
  // Drops the frames of the exchange that just ended which still wait for the line (and with
  // `replies` the acknowledgements too, for a port opened anew).
  void DropWaitingFrames(bool replies);
  // How long the opening may wait for GE's gaps before it leaves, on top of the handshake time-out.
  uint32_t OpeningHoldMs() const;

  // a frame of the data step that is still arriving
  int32_t ArrivingFrameBytes(const uint8_t* data, int32_t size, int32_t at) const;
  void NoteArrival(const uint8_t* data, int32_t size);
  void NoteSnpXAnswerPace(const TReceiveContext& rx, const TFrameMatch& m);
  uint32_t SnpXQuietMs(const TOutFrame& frame) const;
  bool MayWaitForArrival(const TRequestItem& request) const;
  bool FrameStillArriving(const TRequestItem& request);
  void ForgetArrival();

  // receive path
  void ProcessReceived(TPluginCallRecIntft& record, const uint8_t* data, int32_t size);
  bool FrameAwaitsHandOver();
  void DropBytesBeforeHandOver();
  void ProcessLocked(TPluginCallRecIntft& record, const uint8_t* data, int32_t size,
                     std::vector<TDecodedPacket>& packets);
  void DeliverPackets(TPluginCallRecIntft& record, std::vector<TDecodedPacket>& packets);
  int32_t HandleAnswer(TReceiveContext& rx);
  TFrameMatch Search(TReceiveContext& rx, uint8_t startChar, TEndChars endChars, int32_t maxLength,
                     TCheckKind check);
  void Refuse();
  void Complete(TReceiveContext& rx, const std::string& packetText);
  int Decode(TRequestItem* request, TParsedDataList& list);

  // CCM, both modes
  void SendCcmEnquiry(TRequestItem& request);
  void SendCcmHeader(TRequestItem& request);
  int32_t CcmMasterAnswer(TReceiveContext& rx, TRequestItem& request);
  int32_t CcmPeerAnswer(TReceiveContext& rx, TRequestItem& request);
  int32_t CcmDataBlock(TReceiveContext& rx, TRequestItem& request);
  TFrameMatch FindCcmBlock(TReceiveContext& rx, const TRequestItem& request);
  bool CcmReadingHolds(TRequestItem& request, const std::string& block, bool dataOnly, bool last);
  bool TakeCcmFullBlock(const std::string& block, int32_t fullBlocks);
  bool CcmBlocksAddUp(int32_t fullBlocks);
  int32_t RefuseCcmHeader(const TFrameMatch& nak);

  // SNP and SNP-X
  void OpenSnp(TRequestItem& request, bool snpX);
  void SendSnpXRead(TRequestItem& request, TFrameRole role = TFrameRole::Request);
  void SendMailboxRead(TRequestItem& request, TFrameRole role = TFrameRole::Request);
  void SendReadRequest(TRequestItem& request, const std::string& frame, TStep next, TFrameRole role);
  void SendSnpAck();
  TFrameMatch SearchSnpFrame(TReceiveContext& rx, TFrameLengthRule rule, const void* context,
                             TCheckKind check);
  int32_t SnpAnswer(TReceiveContext& rx, TRequestItem& request);
  int32_t SnpOpeningAnswer(TReceiveContext& rx, TRequestItem& request);
  int32_t SnpMailboxAnswer(TReceiveContext& rx, TRequestItem& request);
  int32_t SnpMailboxNak(TReceiveContext& rx, TRequestItem& request, int32_t at);
  int32_t SnpDataAnswer(TReceiveContext& rx, TRequestItem& request);
  void SnpXAnswer(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& frame);
  void SnpMailboxReply(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& frame);
  void SnpTextBuffer(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& frame);
  static int32_t AnnouncedLength(const TReceiveContext& rx, const TFrameMatch& frame);
  void CompleteSnp(TReceiveContext& rx, TRequestItem& request, const TFrameMatch& frame);
};

// Whether a request's data address and size fit the fixed-width fields of the wire (16 bits in
// every protocol). A request that does not fit is never sent.
bool RequestFitsWire(const TRequestItem& request);

// A configured interval or time-out as the scheduler uses it: at least 1 ms.
uint32_t EffectiveMs(int32_t ms);

// Frames, built without sending (exposed for tests and the wire trace).
std::string CcmEnquiryFrame(uint8_t protocol, const TRequestItem& request);
std::string CcmHeaderFrame(const TRequestItem& request, double localAddress);
std::string SnpAttachFrame(const TRequestItem& request);
std::string SnpXAttachFrame(const TRequestItem& request);
std::string SnpXReadFrame(const TRequestItem& request);
std::string SnpMailboxReadFrame(const TRequestItem& request, uint8_t sequence);
inline constexpr char kBreakCommand[] = "<<BREAK=100>>";

}  // namespace kelda
