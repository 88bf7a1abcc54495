#include "tools/ScanAnswers.h"

#include <algorithm>

#include "tools/PollLine.h"
#include "tools/plcsim/Checks.h"

namespace kelda::host {

namespace {

constexpr uint8_t kEsc = 0x1B, kEtb = 0x17, kAck = 0x06, kNak = 0x15;
constexpr std::size_t kAttachLength = 24, kMailboxLength = 40, kXResponseLeast = 15;

const uint8_t* Bytes(const std::string& frame) {
  return reinterpret_cast<const uint8_t*>(frame.data());
}

// The SNP ID field of an attach answer, up to its first NUL.
std::string IdField(const std::string& frame) {
  const std::string field = frame.substr(2, 8);
  return field.substr(0, field.find('\0'));
}

bool BinaryCheckOk(const std::string& frame) {
  return Bytes(frame)[frame.size() - 1] == plcsim::snpBcc(Bytes(frame), frame.size() - 1);
}

}  // namespace

TScanWire::TScanWire(plcsim::Mode protocol) : FProtocol(protocol), FDecoder(TraceProtocolOf(protocol)) {}

void TScanWire::Sent(const std::string& bytes, uint64_t ms) {
  std::vector<trace::TFrame> frames;
  FDecoder.Feed(trace::TDirection::ToPlc, bytes, ms, frames);
  Look(frames);
}

void TScanWire::Received(const std::string& bytes, uint64_t ms) {
  std::vector<trace::TFrame> frames;
  FDecoder.Feed(trace::TDirection::FromPlc, bytes, ms, frames);
  Look(frames);
}

void TScanWire::Look(const std::vector<trace::TFrame>& frames) {
  for (const trace::TFrame& frame : frames) {
    if (frame.Direction != trace::TDirection::FromPlc || frame.Bytes.empty()) continue;
    if (FProtocol == plcsim::Mode::Snp || FProtocol == plcsim::Mode::SnpX)
      LookSnp(frame.Bytes);
    else
      LookCcm(frame.Bytes);
  }
}

void TScanWire::LookSnp(const std::string& frame) {
  const uint8_t* b = Bytes(frame);
  if (frame.size() < kXResponseLeast || b[0] != kEsc) return;
  if (FProtocol == plcsim::Mode::Snp) {
    // The attach answer carries its check as two hexadecimal characters.
    uint32_t check = 0;
    if (frame.size() == kAttachLength && b[1] == 'R' && b[18] == kEtb && plcsim::ParseHex(b + 22, 2, check) &&
        check == plcsim::snpBcc(b, 22)) {
      FAnswers.Opened = true;
      FAnswers.PlcId = IdField(frame);
    }
    // A completion ACK: its piggy-back status ends with the PLC status word.
    if (frame.size() == kMailboxLength && b[1] == 'M' && (b[9] == 0xD4 || b[9] == 0x94) &&
        BinaryCheckOk(frame))
      FAnswers.Status = static_cast<uint16_t>(b[32] | b[33] << 8);
    return;
  }
  if (b[1] != 'X' || !BinaryCheckOk(frame)) return;
  if (frame.size() == kAttachLength && b[10] == 0x80) {
    FAnswers.Opened = true;
    FAnswers.PlcId = IdField(frame);
  } else if (b[2] == 0x81 && b[5] == 0x00) {
    FAnswers.Status = static_cast<uint16_t>(b[3] | b[4] << 8);
  }
}

void TScanWire::LookCcm(const std::string& frame) {
  const uint8_t* b = Bytes(frame);
  if (FProtocol == plcsim::Mode::CcmMasterSlave) {
    if (frame.size() == 3 && b[0] == 'N' && b[1] > 0x20 && (b[2] == kAck || b[2] == kNak)) {
      FAnswers.Opened = true;
      FAnswers.Station = b[1] - 0x20;
      if (std::find(FAnswers.Stations.begin(), FAnswers.Stations.end(), *FAnswers.Station) ==
          FAnswers.Stations.end())
        FAnswers.Stations.push_back(*FAnswers.Station);
    }
    return;
  }
  // A peer answers the enquiry with an ACK; a lone NAK is as likely a byte of noise.
  if (frame.size() == 1 && b[0] == kAck) FAnswers.Opened = true;
}

}  // namespace kelda::host
