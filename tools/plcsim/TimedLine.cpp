#include "tools/plcsim/TimedLine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace kelda::plcsim {

namespace {

constexpr uint8_t kEnq = 0x05;

uint64_t Ms(uint64_t us) {
  return us / 1000;
}

}  // namespace

TimedLine::TimedLine(Simulator& plc, const LineFormat& format)
    : TimedLine(std::vector<Simulator*>{&plc}, format) {}

TimedLine::TimedLine(std::vector<Simulator*> plcs, const LineFormat& format)
    : plcs_(std::move(plcs)), mode_(plcs_.at(0)->mode()), format_(format) {
  for (const Simulator* plc : plcs_)
    if (plc->mode() != mode_) throw std::invalid_argument("the PLCs on one line speak one protocol");
}

void TimedLine::write(const uint8_t* data, size_t size, uint64_t nowUs) {
  advance(nowUs);
  const uint64_t start = std::max(nowUs, masterFreeUs_);
  for (size_t k = 0; k < size; ++k) toPlc_.push_back({format_.endOfCharUs(start, k + 1), false, data[k]});
  if (size > 0) masterFreeUs_ = toPlc_.back().atUs;
}

void TimedLine::holdBreak(uint32_t ms, uint64_t nowUs) {
  advance(nowUs);
  masterFreeUs_ = std::max(nowUs, masterFreeUs_) + uint64_t{ms} * 1000;
  toPlc_.push_back({masterFreeUs_, true, 0});
}

std::vector<uint8_t> TimedLine::read(uint64_t nowUs) {
  advance(nowUs);
  std::vector<uint8_t> arrived;
  while (!toMaster_.empty() && toMaster_.front().atUs <= nowUs) {
    arrived.push_back(toMaster_.front().byte);
    toMaster_.pop_front();
  }
  return arrived;
}

uint64_t TimedLine::nextEventUs() const {
  uint64_t next = std::numeric_limits<uint64_t>::max();
  if (!toPlc_.empty()) next = toPlc_.front().atUs;
  if (!toMaster_.empty()) next = std::min(next, toMaster_.front().atUs);
  return next;
}

// The PLC takes each byte when its last bit has arrived, and answers from that moment: an answer
// is never ready before the request's last byte is through.
void TimedLine::advance(uint64_t nowUs) {
  while (!toPlc_.empty() && toPlc_.front().atUs <= nowUs) {
    const ToPlc item = toPlc_.front();
    toPlc_.pop_front();
    if (item.atUs < unpluggedUntilUs_) continue;
    for (Simulator* plc : plcs_) {
      if (item.isBreak)
        plc->lineBreak(Ms(item.atUs));
      else
        plc->receive(&item.byte, 1, Ms(item.atUs));
    }
    if (!item.isBreak) lastFromMaster_ = item.byte;
    takeAnswers(item.atUs, Ms(item.atUs));
  }
  // Answers held back on purpose (--delay) and steady noise fall due between the master's bytes.
  takeAnswers(nowUs, Ms(nowUs));
}

void TimedLine::takeAnswers(uint64_t readyUs, uint64_t nowMs) {
  for (Simulator* plc : plcs_)
    for (const std::vector<uint8_t>& frame : plc->takeOutput(nowMs)) send(*plc, frame, readyUs);
}

// SNP: T1 after the last message either way, before every message and ACK. CCM: the target's
// delay before the answer to an enquiry. SNP-X mandates no gap.
uint64_t TimedLine::gapBeforeUs(const Simulator& from) const {
  switch (mode_) {
    case Mode::Snp:
      return uint64_t{from.snpT1Ms()} * 1000;
    case Mode::CcmMasterSlave:
    case Mode::CcmPeerToPeer:
      if (lastFromMaster_ != kEnq) return 0;
      return static_cast<uint64_t>(std::llround(CcmEnquiryDelayMs(format_) * 1000));
    case Mode::SnpX:
      break;
  }
  return 0;
}

void TimedLine::send(const Simulator& from, const std::vector<uint8_t>& frame, uint64_t readyUs) {
  if (frame.empty()) return;
  const uint64_t gap = gapBeforeUs(from);
  uint64_t start = readyUs + gap;
  // The PLC's next frame follows its previous one on the wire, SNP's T1 after it.
  if (plcHasSent_) start = std::max(start, plcFreeUs_ + (mode_ == Mode::Snp ? gap : 0));
  for (size_t k = 0; k < frame.size(); ++k)
    toMaster_.push_back({format_.endOfCharUs(start, k + 1), frame[k]});
  plcFreeUs_ = toMaster_.back().atUs;
  plcHasSent_ = true;
}

}  // namespace kelda::plcsim
