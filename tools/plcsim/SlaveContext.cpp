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
    // Wrong under every reading of the check: a CCM LRC over the data alone differs from the
    // framed one in bit 0 (ETX) or bits 0, 2 and 4 (ETB).
    frame.back() ^= 0x80;
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

void SlaveContext::emit(std::vector<uint8_t>& bytes, std::vector<std::vector<uint8_t>>& chunks) const {
  const size_t chunk = faults.chunkSize;
  if (chunk == 0) {
    chunks.push_back(std::move(bytes));
    return;
  }
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    const size_t end = at + chunk < bytes.size() ? at + chunk : bytes.size();
    chunks.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(end));
  }
}

void SlaveContext::tuneNoiseClock(uint64_t now) {
  if (faults.noiseEveryMs == noisePeriodMs_) return;
  noisePeriodMs_ = faults.noiseEveryMs;
  nextNoiseAt_ = now + static_cast<uint64_t>(noisePeriodMs_);
}

std::vector<std::vector<uint8_t>> SlaveContext::takeOutput(uint64_t now) {
  ValidateFaults(faults);
  tuneNoiseClock(now);
  const uint64_t period = static_cast<uint64_t>(noisePeriodMs_);
  if (period != 0 && nextNoiseAt_ <= now) {
    // A caller that let the line alone for long gets the latest noise only, not a flood.
    const uint64_t due = (now - nextNoiseAt_) / period + 1;
    if (due > Simulator::kSteadyNoiseBurst) nextNoiseAt_ += (due - Simulator::kSteadyNoiseBurst) * period;
  }
  std::vector<std::vector<uint8_t>> chunks;
  std::vector<uint8_t> noise;  // steady noise not yet handed out
  for (;;) {
    const bool answerDue = !queue_.empty() && queue_.front().due <= now;
    const bool noiseDue = period != 0 && nextNoiseAt_ <= now;
    if (noiseDue && (!answerDue || nextNoiseAt_ < queue_.front().due)) {
      noise.push_back(NextNoiseByte(mode, faults, random(), noiseRun_));
      ++counters.noiseBytes;
      nextNoiseAt_ += period;
      continue;
    }
    if (!answerDue) break;
    if (!noise.empty()) emit(noise, chunks);
    noise.clear();
    noiseRun_.clear();  // the master's frame search starts over at the answer
    emit(queue_.front().bytes, chunks);
    queue_.pop_front();
  }
  if (!noise.empty()) emit(noise, chunks);
  return chunks;
}

}  // namespace kelda::plcsim
