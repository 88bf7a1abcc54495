#include "module/PluginDM_Statistics.h"

#include <limits>

namespace kelda {

namespace {

uint32_t ClampMs(uint64_t ms) {
  return ms > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                   : static_cast<uint32_t>(ms);
}

}  // namespace

void TEngineCounters::RoundTrip(uint64_t ms) {
  FRoundTripSum += ms;
  ++FRoundTripCount;
  FRoundTripMs.store(ClampMs(ms), std::memory_order_relaxed);
  FRoundTripAverageMs.store(ClampMs((FRoundTripSum + FRoundTripCount / 2) / FRoundTripCount),
                            std::memory_order_relaxed);
}

TEngineStatistics TEngineCounters::Read() const {
  TEngineStatistics s;
  s.Requests = FRequests.load(std::memory_order_relaxed);
  s.Answers = FAnswers.load(std::memory_order_relaxed);
  s.Timeouts = FTimeouts.load(std::memory_order_relaxed);
  s.Checks = FChecks.load(std::memory_order_relaxed);
  s.Naks = FNaks.load(std::memory_order_relaxed);
  s.BytesOut = FBytesOut.load(std::memory_order_relaxed);
  s.BytesIn = FBytesIn.load(std::memory_order_relaxed);
  s.RoundTripMs = FRoundTripMs.load(std::memory_order_relaxed);
  s.RoundTripAverageMs = FRoundTripAverageMs.load(std::memory_order_relaxed);
  s.Retries = FRetries.load(std::memory_order_relaxed);
  s.Demotions = FDemotions.load(std::memory_order_relaxed);
  s.Demoted = FDemoted.load(std::memory_order_relaxed);
  return s;
}

std::string StatisticsLine(int32_t dataSourceId, const TEngineStatistics& s) {
  std::string line = std::to_string(dataSourceId);
  auto field = [&line](const char* name, uint64_t value) {
    line += ';';
    line += name;
    line += '=';
    line += std::to_string(value);
  };
  field("requests", s.Requests);
  field("answers", s.Answers);
  field("timeouts", s.Timeouts);
  field("checks", s.Checks);
  field("naks", s.Naks);
  field("out", s.BytesOut);
  field("in", s.BytesIn);
  field("rtt", s.RoundTripMs);
  field("rtt_avg", s.RoundTripAverageMs);
  field("retries", s.Retries);
  field("demotions", s.Demotions);
  field("demoted", s.Demoted);
  return line;
}

}  // namespace kelda
