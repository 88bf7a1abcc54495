#include "tools/PollTimedLine.h"

#include <algorithm>

#include "tools/PollOptions.h"

namespace kelda::host {

plcsim::LineFormat SimLineFormat(const TPollOptions& options) {
  plcsim::LineFormat format;
  format.baud = options.SimBaud;
  format.parity = options.Serial.Parity != platform::TParity::None;
  format.stopBits = options.Serial.StopBits;
  return format;
}

namespace {

std::unique_ptr<plcsim::Simulator> MakePlc(const TPollOptions& options) {
  auto plc = std::make_unique<plcsim::Simulator>(options.Protocol, SimulatedPlcSnpId(options),
                                                 SimulatedPlcCcmId(options));
  SetUpSimulatedPlc(*plc, options);
  return plc;
}

const char* ParityLetter(platform::TParity parity) {
  return parity == platform::TParity::None ? "N" : parity == platform::TParity::Even ? "E" : "O";
}

}  // namespace

TTimedPollLine::TTimedPollLine(const TPollOptions& options)
    : FPlc(MakePlc(options)),
      FLine(*FPlc, SimLineFormat(options)),
      FMaxPiece(options.SimChunk),
      FStart(std::chrono::steady_clock::now()) {
  FDescription = SimulatedPlcName(options) + " on a timed line at " + std::to_string(options.SimBaud) +
                 " baud, 8" + ParityLetter(options.Serial.Parity) + std::to_string(options.Serial.StopBits);
}

uint64_t TTimedPollLine::NowUs() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - FStart)
          .count());
}

void TTimedPollLine::Write(const std::string& bytes, uint64_t) {
  FLine.write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), NowUs());
}

std::vector<std::string> TTimedPollLine::Read(uint64_t) {
  const std::vector<uint8_t> arrived = FLine.read(NowUs());
  std::vector<std::string> pieces;
  const std::size_t piece = FMaxPiece ? FMaxPiece : arrived.size();
  for (std::size_t at = 0; at < arrived.size(); at += piece) {
    const std::size_t take = std::min(piece, arrived.size() - at);
    pieces.emplace_back(reinterpret_cast<const char*>(arrived.data() + at), take);
  }
  return pieces;
}

bool TTimedPollLine::Break(uint32_t ms, uint64_t) {
  FLine.holdBreak(ms, NowUs());
  return true;
}

}  // namespace kelda::host
