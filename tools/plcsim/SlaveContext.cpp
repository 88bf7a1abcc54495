#include "tools/plcsim/SlaveContext.h"

#include <utility>

#include "tools/plcsim/Checks.h"
#include "tools/plcsim/Faults.h"

namespace kelda::plcsim {

namespace {

// A long-running test keeps the newest events; diagnostics need the end of the story.
constexpr size_t kLogLimit = 20000;

void CorruptCheck(std::vector<uint8_t>& frame, CheckKind check) {
  if (frame.empty()) return;
  if (check == CheckKind::Binary) {
    frame.back() ^= 0x80;  // wrong under every reading of the check (a CCM LRC over the data alone differs in bit 0 or 2)
  } else if (check == CheckKind::AsciiPair) {
    uint8_t& digit = frame.back();  // another valid hex digit, so only the value is wrong
    digit = digit == '0' ? '1' : '0';
  }
}

}  // namespace

SlaveContext::SlaveContext(Mode m, std::string id, uint8_t ccm)
    : mode(m), snpId(std::move(id)), ccmId(ccm), random_(1), seededWith_(1) {
  memory.initScratchPad(snpId, ccmId, plcStatus);
}

void SlaveContext::note(std::string event) {
  if (log_.size() >= kLogLimit) log_.erase(log_.begin(), log_.begin() + kLogLimit / 2);
  log_.push_back(std::move(event));
  ++events_;
}

bool SlaveContext::acceptRequest(const std::string& what) {
  ValidateFaults(faults);
  ++counters.requests;
  note(what);
  if (!TakeFault(faults.silent)) return true;
  ++counters.silenced;
  note("silent");
  return false;
}

bool SlaveContext::nakFault() {
  if (!TakeFault(faults.nak)) return false;
  note("nak fault");
  return true;
}

std::mt19937& SlaveContext::random() {
  if (faults.seed != seededWith_) {
    random_.seed(faults.seed);
    seededWith_ = faults.seed;
  }
  return random_;
}

void SlaveContext::enqueue(std::vector<uint8_t> bytes, uint64_t due) {
  queue_.push_back(Answer{std::move(bytes), due});
}

void SlaveContext::send(uint64_t now, const std::vector<uint8_t>& frame, const AnswerTraits& traits) {
  ValidateFaults(faults);
  const uint64_t due = now + static_cast<uint64_t>(faults.lateMs);
  std::vector<uint8_t> answer = frame;
  bool corrupted = false;
  if (traits.check != CheckKind::None && TakeFault(faults.corruptCheck)) {
    CorruptCheck(answer, traits.check);
    corrupted = true;
    ++counters.corrupted;
    note("corrupt check");
  }
  if (!corrupted) countIntact(traits);
  const std::vector<uint8_t> copy = answer;
  if (TakeFault(faults.noiseBeforeFrames)) {
    std::vector<uint8_t> noisy = MakeNoise(mode, faults, random());
    note("noise " + std::to_string(noisy.size()));
    noisy.insert(noisy.end(), answer.begin(), answer.end());
    answer = std::move(noisy);
  }
  enqueue(std::move(answer), due);
  if (traits.dataFrame && TakeFault(faults.repeatFrame)) {
    ++counters.repeated;
    note("repeat frame");
    enqueue(copy, due);
  }
}

void SlaveContext::countIntact(const AnswerTraits& traits) {
  if (traits.isNak) {
    ++counters.naks;
    return;
  }
  ++counters.validAnswers;
  if (traits.completesRead && !readCompleted_) {
    ++counters.completeReads;
    readCompleted_ = true;
  }
}

std::vector<std::vector<uint8_t>> SlaveContext::takeOutput(uint64_t now) {
  std::vector<std::vector<uint8_t>> chunks;
  const size_t chunk = faults.chunkSize;
  while (!queue_.empty() && queue_.front().due <= now) {
    std::vector<uint8_t>& bytes = queue_.front().bytes;
    if (chunk == 0) {
      chunks.push_back(std::move(bytes));
    } else {
      for (size_t at = 0; at < bytes.size(); at += chunk) {
        const size_t end = at + chunk < bytes.size() ? at + chunk : bytes.size();
        chunks.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(end));
      }
    }
    queue_.pop_front();
  }
  return chunks;
}

}  // namespace kelda::plcsim
