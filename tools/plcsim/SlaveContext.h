// What every protocol slave shares: memory, options, faults, counters, log and the answer queue.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "tools/plcsim/PlcMemory.h"
#include "tools/plcsim/PlcSim.h"

namespace kelda::plcsim {

enum class CheckKind { None, Binary, AsciiPair };

// How an answer may be disturbed and how it counts.
struct AnswerTraits {
  CheckKind check = CheckKind::None;  // where its check byte is, for the corruptCheck fault
  bool isNak = false;                 // a negative acknowledgement
  bool dataFrame = false;             // carries read data: the repeatFrame fault applies
  bool completesRead = false;         // the last data frame of a read
};

class SlaveContext {
public:
  SlaveContext(Mode mode, std::string snpId, uint8_t ccmId);

  const Mode mode;
  const std::string snpId;
  const uint8_t ccmId;
  PlcMemory memory;
  Faults faults;
  Simulator::Counters counters;

  uint16_t plcStatus = 0;
  uint8_t privilege = 1;
  size_t snpDataSize = 1000;
  bool ccmLrcIncludesFraming = true;
  bool breakRequired = false;
  bool ccmPeerSendsEot = true;
  uint16_t snpT1Ms = 5;  // SNP: the T1 the last attach agreed on

  void note(std::string event);
  const std::vector<std::string>& log() const { return log_; }
  uint64_t eventCount() const { return events_; }

  // Counts a request and decides the silent fault for it: true when it must not be answered.
  bool acceptRequest(const std::string& what);
  // Decides the nak fault for the request being answered.
  bool nakFault();

  // A new read starts: its data frames may complete it once, however often they are sent.
  void beginRead() { readCompleted_ = false; }
  // Queues one answer, due at now + lateMs, with the faults that apply to it.
  void send(uint64_t now, const std::vector<uint8_t>& frame, const AnswerTraits& traits);
  std::vector<std::vector<uint8_t>> takeOutput(uint64_t now);
  bool hasPendingOutput() const { return !queue_.empty(); }

private:
  struct Answer {
    std::vector<uint8_t> bytes;
    uint64_t due;
  };
  void enqueue(std::vector<uint8_t> bytes, uint64_t due);
  void countIntact(const AnswerTraits& traits);
  std::mt19937& random();
  // Appends `bytes` to `chunks`, in chunkSize pieces when the fault asks for them.
  void emit(std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& chunks) const;
  // Starts, restarts or stops the steady-noise clock as faults.noiseEveryMs says.
  void tuneNoiseClock(uint64_t now);

  std::deque<Answer> queue_;
  std::vector<std::string> log_;
  uint64_t events_ = 0;
  std::mt19937 random_;
  uint32_t seededWith_;
  bool readCompleted_ = true;
  int noisePeriodMs_ = 0;          // the steady-noise period the clock runs with; 0: stopped
  uint64_t nextNoiseAt_ = 0;       // when the next steady-noise byte is due
  std::vector<uint8_t> noiseRun_;  // steady noise sent since the last answer
};

}  // namespace kelda::plcsim
