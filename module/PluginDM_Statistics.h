// What an engine counts about its line, for the host's "Statistics" module parameter and for the
// people who commission a PLC link: transactions begun and answered, how the others failed,
// bytes each way and the round-trip time.
//
// The counters are written by the scheduler tick (timer thread) and by the receive path (the
// host's data thread) and read by a command in a third thread: each is an atomic of its own, so
// counting takes no lock and reading never waits for a tick or a data call. A reading is not one
// instant across all counters; each value is exact in itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kelda {

// Why a transaction ended without its answer.
enum class TTransactionFailure : uint8_t {
  HandshakeTimeout,  // no acknowledgement of the opening or header within the handshake time
  DataTimeout,       // no data within the request's time-out
  CheckFailed,       // an answer was spoiled on the line (bad LRC or BCC) and nothing valid followed
  Nak,               // the PLC refused the request
  SendFailed,        // the host could not write a frame to the port
  BadAnswer,         // the answer did not fit the read (text buffers past or short of its bytes)
  PlcError,          // the PLC answered with an error (SNP Error Nack, SNP-X error response)
};

// One reading of an engine's counters.
struct TEngineStatistics {
  uint64_t Requests = 0;            // transactions begun: opening frames sent
  uint64_t Answers = 0;             // answers decoded into a row for the host
  uint64_t Timeouts = 0;            // steps that timed out, handshake or data
  uint64_t Checks = 0;              // received frames dropped: their check failed, or they overran the read
  uint64_t Naks = 0;                // refusals and error answers received from the PLC
  uint64_t BytesOut = 0;            // bytes the host took for the port (a line break is no byte)
  uint64_t BytesIn = 0;             // bytes the host handed over from the port
  uint32_t RoundTripMs = 0;         // the last transaction's, first send to decoded row
  uint32_t RoundTripAverageMs = 0;  // over every round trip, rounded to whole ms
  uint64_t Retries = 0;             // failed transactions repeated at once ("Retries" setting)
  uint64_t Demotions = 0;           // times a PLC was set aside after failing in a row
  uint32_t Demoted = 0;             // PLCs set aside now, or on trial after being set aside
};

// The statistics line of one data source, without its line end:
// "1;requests=12;answers=11;timeouts=1;checks=0;naks=0;out=240;in=560;rtt=35;rtt_avg=36;
// retries=1;demotions=0;demoted=0" (one line).
std::string StatisticsLine(int32_t dataSourceId, const TEngineStatistics& statistics);

class TEngineCounters {
public:
  void RequestSent() { FRequests.fetch_add(1, std::memory_order_relaxed); }
  void AnswerDecoded() { FAnswers.fetch_add(1, std::memory_order_relaxed); }
  void TimedOut() { FTimeouts.fetch_add(1, std::memory_order_relaxed); }
  void ChecksFailed(int32_t frames) {
    if (frames > 0) FChecks.fetch_add(static_cast<uint64_t>(frames), std::memory_order_relaxed);
  }
  void NakReceived() { FNaks.fetch_add(1, std::memory_order_relaxed); }
  void BytesSent(int32_t count) {
    if (count > 0) FBytesOut.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
  }
  void BytesReceived(int32_t count) {
    if (count > 0) FBytesIn.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
  }
  void Retried() { FRetries.fetch_add(1, std::memory_order_relaxed); }
  void Demoted(uint32_t demotedNow) {
    FDemotions.fetch_add(1, std::memory_order_relaxed);
    SetDemoted(demotedNow);
  }
  void SetDemoted(uint32_t demotedNow) { FDemoted.store(demotedNow, std::memory_order_relaxed); }
  // Records a round trip. Only the receive path completes transactions, and one data call at a
  // time does so: the sum and count behind the average have a single writer.
  void RoundTrip(uint64_t ms);

  TEngineStatistics Read() const;

private:
  std::atomic<uint64_t> FRequests{0};
  std::atomic<uint64_t> FAnswers{0};
  std::atomic<uint64_t> FTimeouts{0};
  std::atomic<uint64_t> FChecks{0};
  std::atomic<uint64_t> FNaks{0};
  std::atomic<uint64_t> FBytesOut{0};
  std::atomic<uint64_t> FBytesIn{0};
  std::atomic<uint32_t> FRoundTripMs{0};
  std::atomic<uint32_t> FRoundTripAverageMs{0};
  std::atomic<uint64_t> FRetries{0};
  std::atomic<uint64_t> FDemotions{0};
  std::atomic<uint32_t> FDemoted{0};
  uint64_t FRoundTripSum = 0;    // the writer's own
  uint64_t FRoundTripCount = 0;  // the writer's own
};

}  // namespace kelda
