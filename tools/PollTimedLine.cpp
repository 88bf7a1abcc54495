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

// The PLCs on the line, IDs counting up; the last --sim-dead of them never answer.
std::vector<std::unique_ptr<plcsim::Simulator>> MakePlcs(const TPollOptions& options) {
  std::vector<std::unique_ptr<plcsim::Simulator>> plcs;
  for (int k = 0; k < options.SimPlcs; ++k) {
    TPollOptions one = options;
    one.SimId = SimPlcId(options, k);
    auto plc =
        std::make_unique<plcsim::Simulator>(one.Protocol, SimulatedPlcSnpId(one), SimulatedPlcCcmId(one));
    SetUpSimulatedPlc(*plc, one);
    if (k >= options.SimPlcs - options.SimDead) plc->faults().silent = -1;
    plcs.push_back(std::move(plc));
  }
  return plcs;
}

std::vector<plcsim::Simulator*> Pointers(const std::vector<std::unique_ptr<plcsim::Simulator>>& plcs) {
  std::vector<plcsim::Simulator*> pointers;
  for (const auto& plc : plcs) pointers.push_back(plc.get());
  return pointers;
}

std::string Names(const TPollOptions& options) {
  if (options.SimPlcs == 1 && options.SimDead == 0) return SimulatedPlcName(options);
  std::string text = std::to_string(options.SimPlcs) + " simulated PLCs (" + SimPlcId(options, 0);
  if (options.SimPlcs > 1) text += " to " + SimPlcId(options, options.SimPlcs - 1);
  if (options.SimDead > 0) text += ", the last " + std::to_string(options.SimDead) + " dead";
  return text + ")";
}

const char* ParityLetter(platform::TParity parity) {
  return parity == platform::TParity::None ? "N" : parity == platform::TParity::Even ? "E" : "O";
}

}  // namespace

TTimedPollLine::TTimedPollLine(const TPollOptions& options)
    : FPlcs(MakePlcs(options)),
      FLine(Pointers(FPlcs), SimLineFormat(options)),
      FMaxPiece(options.SimChunk),
      FStart(std::chrono::steady_clock::now()) {
  FLine.unplugUntil(uint64_t{options.SimDownMs} * 1000);
  FDescription = Names(options) + " on a timed line at " + std::to_string(options.SimBaud) + " baud, 8" +
                 ParityLetter(options.Serial.Parity) + std::to_string(options.Serial.StopBits);
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

uint64_t TTimedPollLine::UsUntilNextEvent() const {
  const uint64_t next = FLine.nextEventUs();
  if (next == UINT64_MAX) return UINT64_MAX;
  const uint64_t now = NowUs();
  return next > now ? next - now : 0;
}

bool TTimedPollLine::Break(uint32_t ms, uint64_t) {
  FLine.holdBreak(ms, NowUs());
  return true;
}

}  // namespace kelda::host
