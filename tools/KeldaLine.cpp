#include "tools/KeldaLine.h"

#include <algorithm>

namespace kelda::host {

bool IsBreakCommand(const std::string& bytes) {
  static const std::string kStart = "<<BREAK=", kEnd = ">>";
  if (bytes.size() <= kStart.size() + kEnd.size()) return false;
  if (bytes.compare(0, kStart.size(), kStart) != 0) return false;
  if (bytes.compare(bytes.size() - kEnd.size(), kEnd.size(), kEnd) != 0) return false;
  auto digits = bytes.substr(kStart.size(), bytes.size() - kStart.size() - kEnd.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

TSimulatedLine::TSimulatedLine(plcsim::Mode mode, std::string snpId, uint8_t ccmId, std::size_t maxChunk,
                               uint32_t seed)
    : FPlc(mode, std::move(snpId), ccmId), FMaxChunk(std::max<std::size_t>(maxChunk, 1)), FRandom(seed) {}

void TSimulatedLine::Write(const std::string& bytes, uint64_t now) {
  ++FWrites;
  if (IsBreakCommand(bytes)) {
    ++FBreaks;
    FPlc.lineBreak(now);
    return;
  }
  FBytesWritten += bytes.size();
  FPlc.receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now);
}

std::vector<std::string> TSimulatedLine::Read(uint64_t now) {
  std::string arrived;
  for (const std::vector<uint8_t>& chunk : FPlc.takeOutput(now)) arrived.append(chunk.begin(), chunk.end());
  FBytesRead += arrived.size();
  std::vector<std::string> pieces;
  std::uniform_int_distribution<std::size_t> size(1, FMaxChunk);
  for (std::size_t at = 0; at < arrived.size();) {
    std::size_t take = std::min(size(FRandom), arrived.size() - at);
    pieces.push_back(arrived.substr(at, take));
    at += take;
  }
  return pieces;
}

}  // namespace kelda::host
